// The tunnel service's byte counters: bytes read from the adapter (sent
// into the tunnel) and written to it (received). Each is a u32 on its own;
// every single read or write of it is atomic. The process-wide traffic
// counters keep their two byte counts here, so these accessors and the
// status reply see the same values.
#pragma once

#include <atomic>
#include <cstdint>

namespace support {

// One u32 counter, wrapping. Safe from any thread; an Add is never lost.
class ByteCounter {
 public:
  uint32_t Get() const { return m_value.load(std::memory_order_relaxed); }
  void Set(uint32_t value) { m_value.store(value, std::memory_order_relaxed); }
  void Add(uint32_t value) { m_value.fetch_add(value, std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> m_value{0};
};

// The process-wide counters behind the accessors below.
ByteCounter& SendByteCounter();
ByteCounter& RecvByteCounter();

}  // namespace support

uint32_t GetSendByteCount();
void SetSendByteCount(uint32_t value);
uint32_t GetRecvByteCount();
void SetRecvByteCount(uint32_t value);
