// What the gateway learns from the client's new-key (5) or rekey (10)
// request: the client's SPI, key material and CPI, and the key block the
// gateway derives from that material on its own. The test gateway records
// one for every such request it reads, so tests can check that both ends
// hold the same keys and build the gateway's data plane from them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "gateway/gateway_codec.h"
#include "gateway/gateway_key_block.h"

namespace vqgw {

struct KeyRequest {
  uint16_t type = 0;                     // kMsgNewKey or kMsgRekey
  std::optional<uint16_t> keyVersion{};  // payload 32
  Bytes keyMaterial{};                   // payload 16 as received
  std::optional<uint32_t> clientSpi{};   // payload 48, network order read as a number
  std::optional<uint16_t> clientCpi{};   // payload 128
  std::optional<uint32_t> sessionId{};   // payload 51 (rekey)
  // Present when the material is exactly 48 bytes.
  std::optional<KeyBlock> keyBlock{};
};

// A request of type 5 or 10 (flags without the response bit) that the
// gateway codec can decode; nullopt for anything else.
std::optional<KeyRequest> DecodeKeyRequest(std::span<const uint8_t> message);

}  // namespace vqgw
