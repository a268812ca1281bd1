#include "Brindleway/hostcheck/host_check_messages.h"

#include <algorithm>
#include <limits>

#include "Brindleway/control/ctrl_message.h"
#include "Brindleway/control/ctrl_protocol.h"

namespace brindleway {
namespace {

WireBytes Bytes(const CtrlMessage& message) { return WireBytes(message.Data(), message.Data() + message.Size()); }

}  // namespace

std::optional<WireBytes> BuildDigestAnswer(uint32_t same, bool ownLink, uint32_t sessionId) {
  CtrlMessage message;
  if (!message.HasBuffer()) return std::nullopt;
  const uint16_t type = ownLink ? CTRLMSG_TYPE_HOST_CHECK_LINK : CTRLMSG_TYPE_HOST_CHECK;
  if (message.WriteHeader(CTRLMSG_FLAG_REQUEST, type) != 0) return std::nullopt;
  if (ownLink && message.WriteU32Payload(CM_PAYLOAD_SESSION_ID, sessionId) != 0) return std::nullopt;
  if (message.WriteU32Payload(CM_PAYLOAD_HOST_CHECK_MD5, same) != 0) return std::nullopt;
  return Bytes(message);
}

std::optional<std::vector<WireBytes>> BuildCheckResultMessages(std::string_view result) {
  if (result.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  std::vector<WireBytes> messages;
  size_t offset = 0;
  do {
    CtrlMessage message;
    if (!message.HasBuffer() || message.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_HOST_CHECK) != 0) {
      return std::nullopt;
    }
    if (offset == 0 &&
        message.WriteU32Payload(CM_PAYLOAD_HOST_CHECK_RESULT_SIZE, static_cast<uint32_t>(result.size())) != 0) {
      return std::nullopt;
    }
    const size_t piece = std::min(kCheckResultPieceBytes, result.size() - offset);
    if (piece > 0 && message.WritePayload(CM_PAYLOAD_HOST_CHECK_RESULT, result.data() + offset, piece) != 0) {
      return std::nullopt;
    }
    offset += piece;
    messages.push_back(Bytes(message));
  } while (offset < result.size());
  return messages;
}

}  // namespace brindleway
