#include "support/byte_counters.h"

namespace support {

ByteCounter& SendByteCounter() {
  static ByteCounter counter;
  return counter;
}

ByteCounter& RecvByteCounter() {
  static ByteCounter counter;
  return counter;
}

}  // namespace support

uint32_t GetSendByteCount() { return support::SendByteCounter().Get(); }
void SetSendByteCount(uint32_t value) { support::SendByteCounter().Set(value); }
uint32_t GetRecvByteCount() { return support::RecvByteCounter().Get(); }
void SetRecvByteCount(uint32_t value) { support::RecvByteCounter().Set(value); }
