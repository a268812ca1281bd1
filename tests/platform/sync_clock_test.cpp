#include "common/eventually.h"
#include "platform/sync/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/sync/event.h"

namespace platform {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

using vqtest::Eventually;

using vqtest::MsSince;

TEST(SyncClock, FakeSleepEndsExactlyWhenFakeTimeArrives) {
  FakeClock clock;
  for (const bool withCancel : {false, true}) {
    SCOPED_TRACE(withCancel ? "with cancel" : "without cancel");
    Event cancel(Event::Reset::Manual);
    std::atomic<bool> done{false};
    std::atomic<bool> result{false};
    const int64_t start = clock.NowMs();
    std::thread sleeper([&] {
      result = clock.SleepFor(1000, withCancel ? &cancel : nullptr);
      done = true;
    });
    EXPECT_TRUE(Eventually([&] { return clock.Sleepers() == 1; }));
    clock.Advance(999);
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_FALSE(done.load());
    clock.Advance(1);
    sleeper.join();
    EXPECT_TRUE(result.load());
    EXPECT_EQ(clock.NowMs(), start + 1000);
    EXPECT_EQ(clock.Sleepers(), 0);
  }
}

TEST(SyncClock, ASleeperWhoseTimeIsUpIsNoLongerPending) {
  FakeClock clock;
  std::mutex gate;
  std::unique_lock held(gate);
  std::thread sleeper([&] {
    clock.SleepFor(1000, nullptr);
    // Held here, just out of its sleep, until the test lets it go.
    std::lock_guard wait(gate);
  });
  ASSERT_TRUE(Eventually([&] { return clock.PendingSleepers() == 1; }));
  clock.Advance(999);
  EXPECT_EQ(clock.PendingSleepers(), 1);
  clock.Advance(1);
  // Due at once, whether or not the sleeper has run since.
  EXPECT_EQ(clock.PendingSleepers(), 0);
  EXPECT_TRUE(Eventually([&] { return clock.Sleepers() == 0; }));
  held.unlock();
  sleeper.join();
}

TEST(SyncClock, FakeSleepReturnsFalseOnCancel) {
  FakeClock clock;
  Event cancel(Event::Reset::Manual);
  std::atomic<bool> result{true};
  std::thread sleeper([&] { result = clock.SleepFor(1000, &cancel); });
  EXPECT_TRUE(Eventually([&] { return clock.Sleepers() == 1; }));
  cancel.Set();
  sleeper.join();
  EXPECT_FALSE(result.load());
  EXPECT_EQ(clock.NowMs(), 0);

  // Already set: no wait at all, and a set cancel wins over a zero sleep.
  EXPECT_FALSE(clock.SleepFor(1000, &cancel));
  EXPECT_FALSE(clock.SleepFor(0, &cancel));
  EXPECT_TRUE(clock.SleepFor(0, nullptr));
}

TEST(SyncClock, SystemSleepForHonoursCancelAndTime) {
  Clock& clock = SystemClock();
  Event cancel(Event::Reset::Manual);

  auto start = Steady::now();
  EXPECT_TRUE(clock.SleepFor(30, &cancel));
  EXPECT_GE(MsSince(start), 30);

  start = Steady::now();
  EXPECT_TRUE(clock.SleepFor(20, nullptr));
  EXPECT_GE(MsSince(start), 20);

  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(20));
    cancel.Set();
  });
  start = Steady::now();
  EXPECT_FALSE(clock.SleepFor(60'000, &cancel));
  EXPECT_LT(MsSince(start), 5000);
  setter.join();
}

TEST(SyncClock, SystemWaitUntilHonoursDeadlineAndFarFuture) {
  Clock& clock = SystemClock();
  std::mutex m;
  std::condition_variable cv;
  std::unique_lock lock(m);
  const int64_t deadline = clock.NowMs() + 30;
  while (clock.NowMs() < deadline) clock.WaitUntil(lock, cv, deadline);
  EXPECT_GE(clock.NowMs(), deadline);

  // A deadline too far for the steady clock's range waits for a notify.
  bool flag = false;
  std::thread notifier([&] {
    std::this_thread::sleep_for(milliseconds(20));
    {
      std::lock_guard g(m);
      flag = true;
    }
    cv.notify_all();
  });
  while (!flag) clock.WaitUntil(lock, cv, INT64_MAX - 1);
  lock.unlock();
  notifier.join();
}

class CountingWaker final : public ClockWaker {
 public:
  void Wake() override { ++wakes; }
  std::atomic<int> wakes{0};
};

TEST(SyncClock, FakeAdvanceWakesRegisteredWakersOnly) {
  FakeClock clock;
  CountingWaker a, b;
  clock.AddWaker(&a);
  clock.AddWaker(&b);
  clock.Advance(5);
  clock.RemoveWaker(&a);
  clock.Advance(5);
  EXPECT_EQ(a.wakes.load(), 1);
  EXPECT_EQ(b.wakes.load(), 2);
  EXPECT_EQ(clock.NowMs(), 10);
  clock.RemoveWaker(&b);
}

}  // namespace
}  // namespace platform
