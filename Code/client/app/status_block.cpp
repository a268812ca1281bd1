#include "client/app/status_block.h"

#include "support/wire.h"

namespace client {

bool StatusBlock::Store(const uint8_t* r, size_t length) {
  if (r == nullptr || length < kInqueryReplySize) return false;
  gateway_ = wire::GetU32(r + 5);
  local_ = wire::GetU32(r + 9);
  packetsReceived_ = wire::GetU32(r + 13);
  packetsSent_ = wire::GetU32(r + 17);
  bytesReceived_ = wire::GetU32(r + 21);
  bytesSent_ = wire::GetU32(r + 25);
  connectedTime_ = wire::GetF64(r + 29);
  cipher_ = wire::GetU16(r + 41);
  hash_ = wire::GetU16(r + 43);
  protocol_ = wire::GetU16(r + 45);
  compression_ = wire::GetU16(r + 47);
  for (size_t i = 0; i < compressionCounters_.size(); ++i) compressionCounters_[i] = wire::GetU32(r + 49 + 4 * i);
  return true;
}

void StatusBlock::Clear() {
  gateway_ = 0;
  local_ = 0;
  packetsReceived_ = 0;
  packetsSent_ = 0;
  connectedTime_ = 0;
}

}  // namespace client
