#include "platform/process/wake_without_preempting.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <thread>

namespace platform::process {
namespace {

// The hint is the calling thread's own: the thread that asked runs under
// the batch policy, the others keep theirs.
TEST(WakeWithoutPreempting, AppliesToTheCallingThreadOnly) {
  const int before = ::sched_getscheduler(0);
  int inThread = -1;
  bool applied = false;
  std::thread t([&] {
    applied = WakeWithoutPreempting();
    inThread = ::sched_getscheduler(0);
  });
  t.join();
  ASSERT_TRUE(applied);
  EXPECT_EQ(inThread, SCHED_BATCH);
  EXPECT_EQ(::sched_getscheduler(0), before);
}

}  // namespace
}  // namespace platform::process
