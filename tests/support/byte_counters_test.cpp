#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "support/byte_counters.h"

namespace {

// The two counters are independent, and each reads back whole values while
// another thread writes (a torn or mixed-up value would break the checks;
// the thread sanitizer build checks the locking).
TEST(ByteCountersTest, CountersFromTwoThreads) {
  constexpr uint32_t kRounds = 20000;
  SetSendByteCount(0);
  SetRecvByteCount(0);
  bool sendMonotonic = true;
  bool recvMonotonic = true;
  {
    std::jthread sender([&] {
      uint32_t last = 0;
      for (uint32_t i = 1; i <= kRounds; ++i) {
        SetSendByteCount(i * 3);
        const uint32_t seen = GetRecvByteCount();
        if (seen < last || seen % 5 != 0) recvMonotonic = false;
        last = seen;
      }
    });
    std::jthread receiver([&] {
      uint32_t last = 0;
      for (uint32_t i = 1; i <= kRounds; ++i) {
        SetRecvByteCount(i * 5);
        const uint32_t seen = GetSendByteCount();
        if (seen < last || seen % 3 != 0) sendMonotonic = false;
        last = seen;
      }
    });
  }
  EXPECT_TRUE(sendMonotonic);
  EXPECT_TRUE(recvMonotonic);
  EXPECT_EQ(GetSendByteCount(), kRounds * 3);
  EXPECT_EQ(GetRecvByteCount(), kRounds * 5);
  SetSendByteCount(0xFFFFFFFFu);
  EXPECT_EQ(GetSendByteCount(), 0xFFFFFFFFu);
  EXPECT_EQ(GetRecvByteCount(), kRounds * 5);
}

}  // namespace
