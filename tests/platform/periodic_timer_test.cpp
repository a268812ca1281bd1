// The waitable periodic timer: its schedule on a fake clock (first due time,
// period, missed expiries collapsing into one), the stop event beside it in
// the same wait, refused arguments, and the real clock.
#include "platform/sync/periodic_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/eventually.h"
#include "platform/sync/clock.h"
#include "platform/sync/event.h"

namespace platform {
namespace {

using std::chrono::milliseconds;
using vqtest::Eventually;
using Result = PeriodicTimer::WaitResult;

// A thread that waits on the timer once per Begin() and reports the result.
// Its stop event (its own when none is given) also ends a wait that a
// failed assertion left behind.
class Waiter {
 public:
  explicit Waiter(PeriodicTimer& timer, Event* stop = nullptr) : timer_(timer), stop_(stop ? stop : &own_) {}
  ~Waiter() {
    if (thread_.joinable()) {
      stop_->Set();
      thread_.join();
    }
  }
  void Begin() {
    done_ = false;
    thread_ = std::thread([this] {
      result_ = timer_.Wait(stop_);
      done_ = true;
    });
  }
  Result End() {
    thread_.join();
    return result_;
  }
  bool Done() const { return done_.load(); }

 private:
  PeriodicTimer& timer_;
  Event own_{Event::Reset::Manual};
  Event* stop_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  std::atomic<Result> result_{Result::Failed};
};

TEST(PeriodicTimer, FiresAtFirstDueTimeThenEveryPeriod) {
  FakeClock clock;
  clock.Advance(500);
  PeriodicTimer timer(clock);
  ASSERT_TRUE(timer.Start(100, 30000));
  EXPECT_EQ(timer.NextDueMs(), 600);

  Waiter waiter(timer);
  const struct {
    int64_t justBefore;  // advance that must not fire yet
    int64_t nextDue;     // after the expiry
  } steps[] = {{99, 30600}, {29999, 60600}, {29999, 90600}};
  for (const auto& step : steps) {
    waiter.Begin();
    ASSERT_TRUE(Eventually([&] { return clock.Sleepers() == 1; }));
    clock.Advance(step.justBefore);
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_FALSE(waiter.Done());
    clock.Advance(1);
    EXPECT_EQ(waiter.End(), Result::Fired);
    EXPECT_EQ(timer.NextDueMs(), step.nextDue);
  }
}

TEST(PeriodicTimer, MissedExpiriesCollapseIntoOneAndKeepTheSchedule) {
  FakeClock clock;
  PeriodicTimer timer(clock);
  ASSERT_TRUE(timer.Start(100, 1000));
  // Three and a half periods late: one expiry at once, the next on the grid.
  clock.Advance(100 + 3 * 1000 + 500);
  EXPECT_EQ(timer.Wait(nullptr), Result::Fired);
  EXPECT_EQ(timer.NextDueMs(), 4100);

  Event stop(Event::Reset::Manual);
  Waiter waiter(timer, &stop);
  waiter.Begin();
  ASSERT_TRUE(Eventually([&] { return clock.Sleepers() == 1; }));
  EXPECT_FALSE(waiter.Done());
  clock.Advance(500);
  EXPECT_EQ(waiter.End(), Result::Fired);

  // Exactly on an expiry counts as that expiry, not the next.
  clock.Advance(1000);
  EXPECT_EQ(timer.Wait(nullptr), Result::Fired);
  EXPECT_EQ(timer.NextDueMs(), 6100);
}

TEST(PeriodicTimer, StopEventEndsTheWaitAndWinsOverADueTimer) {
  FakeClock clock;
  PeriodicTimer timer(clock);
  ASSERT_TRUE(timer.Start(1000, 1000));

  Event stop(Event::Reset::Manual);
  Waiter waiter(timer, &stop);
  waiter.Begin();
  ASSERT_TRUE(Eventually([&] { return clock.Sleepers() == 1; }));
  stop.Set();
  EXPECT_EQ(waiter.End(), Result::Stopped);
  EXPECT_EQ(clock.NowMs(), 0);

  // Both due: the stop is taken, the expiry is not.
  clock.Advance(1000);
  EXPECT_EQ(timer.Wait(&stop), Result::Stopped);
  stop.Reset();
  EXPECT_EQ(timer.Wait(&stop), Result::Fired);
  EXPECT_EQ(timer.NextDueMs(), 2000);
}

TEST(PeriodicTimer, AnAutoResetStopIsConsumedByTheWait) {
  FakeClock clock;
  PeriodicTimer timer(clock);
  ASSERT_TRUE(timer.Start(0, 1000));
  Event stop(Event::Reset::Auto, true);
  EXPECT_EQ(timer.Wait(&stop), Result::Stopped);
  EXPECT_FALSE(stop.IsSet());
  EXPECT_EQ(timer.Wait(&stop), Result::Fired);
}

TEST(PeriodicTimer, RefusedArgumentsAndAWaitThatCouldNeverEnd) {
  FakeClock clock;
  PeriodicTimer timer(clock);
  EXPECT_FALSE(timer.Start(-1, 1000));
  EXPECT_FALSE(timer.Start(100, 0));
  EXPECT_FALSE(timer.Start(100, -5));
  EXPECT_FALSE(timer.Started());
  EXPECT_EQ(timer.Wait(nullptr), Result::Failed);

  // Never started: only the stop event can end the wait.
  Event stop(Event::Reset::Manual);
  Waiter waiter(timer, &stop);
  waiter.Begin();
  clock.Advance(1'000'000);
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(waiter.Done());
  stop.Set();
  EXPECT_EQ(waiter.End(), Result::Stopped);

  // A refused restart keeps the running schedule.
  ASSERT_TRUE(timer.Start(10, 20));
  EXPECT_FALSE(timer.Start(5, 0));
  EXPECT_EQ(timer.NextDueMs(), 1'000'010);
}

TEST(PeriodicTimer, RealClockNeverFiresEarlyAndStopsFromAnotherThread) {
  PeriodicTimer timer;
  // Measured in the clock's own whole milliseconds, as the schedule is.
  const int64_t start = SystemClock().NowMs();
  ASSERT_TRUE(timer.Start(30, 40));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(timer.Wait(nullptr), Result::Fired);
    EXPECT_GE(SystemClock().NowMs(), start + 30 + i * 40);
  }

  ASSERT_TRUE(timer.Start(3'600'000, 3'600'000));
  Event stop(Event::Reset::Manual);
  Waiter waiter(timer, &stop);
  waiter.Begin();
  std::this_thread::sleep_for(milliseconds(20));
  stop.Set();
  EXPECT_EQ(waiter.End(), Result::Stopped);
}

}  // namespace
}  // namespace platform
