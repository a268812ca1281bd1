#include "gateway/key_request.h"

namespace vqgw {

std::optional<KeyRequest> DecodeKeyRequest(std::span<const uint8_t> bytes) {
  const std::optional<Message> message = Decode(bytes);
  if (!message || (message->flags & kFlagResponse) != 0) return std::nullopt;
  if (message->type != kMsgNewKey && message->type != kMsgRekey) return std::nullopt;
  KeyRequest request;
  request.type = message->type;
  request.keyVersion = message->U16(kPayloadKeyVersion);
  if (const Payload* material = message->Find(kPayloadKeyMaterial)) request.keyMaterial = material->value;
  request.clientSpi = message->U32(kPayloadSpi);
  request.clientCpi = message->U16(kPayloadCpi);
  request.sessionId = message->U32(kPayloadSessionId);
  if (request.keyMaterial.size() == kKeyMaterialBytes) {
    request.keyBlock = DeriveGatewayKeyBlock(
        std::span<const uint8_t, kKeyMaterialBytes>(request.keyMaterial.data(), kKeyMaterialBytes));
  }
  return request;
}

}  // namespace vqgw
