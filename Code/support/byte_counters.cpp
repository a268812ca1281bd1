#include "support/byte_counters.h"

#include <mutex>

namespace {

class LockedCounter {
 public:
  uint32_t Get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void Set(uint32_t value) {
    std::lock_guard lock(mutex_);
    value_ = value;
  }

 private:
  mutable std::mutex mutex_;
  uint32_t value_ = 0;
};

LockedCounter g_sendBytes;
LockedCounter g_recvBytes;

}  // namespace

uint32_t GetSendByteCount() { return g_sendBytes.Get(); }
void SetSendByteCount(uint32_t value) { g_sendBytes.Set(value); }
uint32_t GetRecvByteCount() { return g_recvBytes.Get(); }
void SetRecvByteCount(uint32_t value) { g_recvBytes.Set(value); }
