#include "common/eventually.h"
#include "platform/sync/event.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Polls cond every millisecond for up to 5 s of real time.
using vqtest::Eventually;

TEST(SyncEvent, ManualStaysSetForEveryWaiterUntilReset) {
  Event ev(Event::Reset::Manual);
  EXPECT_FALSE(ev.IsSet());
  EXPECT_FALSE(ev.Wait(0));
  ev.Set();
  ev.Set();  // no effect on a set event
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_TRUE(ev.TryConsume());
  EXPECT_EQ(WaitAny({&ev}, 0), 0);
  EXPECT_TRUE(ev.IsSet());
  ev.Reset();
  EXPECT_FALSE(ev.IsSet());
  EXPECT_FALSE(ev.Wait(0));
  ev.Reset();  // reset of a clear event is harmless
  EXPECT_FALSE(ev.IsSet());
}

TEST(SyncEvent, ManualStateAndDescriptorAgreeAfterRacingSetsAndResets) {
  for (const bool initially : {false, true}) {
    Event ev(Event::Reset::Manual, initially);
    EXPECT_EQ(ev.IsSet(), initially);
    EXPECT_EQ(ev.Wait(0), initially);
    std::thread setter([&] {
      for (int i = 0; i < 2000; ++i) ev.Set();
    });
    std::thread resetter([&] {
      for (int i = 0; i < 2000; ++i) ev.Reset();
    });
    setter.join();
    resetter.join();
    // Whichever came last, looking and waiting say the same.
    EXPECT_EQ(ev.IsSet(), ev.Wait(0));
  }
}

TEST(SyncEvent, AutoIsConsumedByOneWaitAndSetsDoNotAccumulate) {
  Event ev(Event::Reset::Auto);
  ev.Set();
  ev.Set();
  EXPECT_TRUE(ev.IsSet());  // looking does not consume
  EXPECT_TRUE(ev.IsSet());
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_FALSE(ev.IsSet());
  EXPECT_FALSE(ev.Wait(0));

  ev.Set();
  EXPECT_TRUE(ev.TryConsume());
  EXPECT_FALSE(ev.TryConsume());

  ev.Set();
  ev.Reset();
  EXPECT_FALSE(ev.Wait(0));
}

TEST(SyncEvent, InitiallySet) {
  Event manual(Event::Reset::Manual, true);
  Event automatic(Event::Reset::Auto, true);
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
}

TEST(SyncEvent, FdIsReadableExactlyWhileSignalled) {
  Event ev(Event::Reset::Auto);
  pollfd pfd{ev.Fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&pfd, 1, 0), 0);
  ev.Set();
  EXPECT_EQ(::poll(&pfd, 1, 0), 1);
  EXPECT_TRUE(ev.TryConsume());
  EXPECT_EQ(::poll(&pfd, 1, 0), 0);
}

TEST(SyncEvent, OneAutoSetReleasesExactlyOneOfTwoWaiters) {
  Event ev(Event::Reset::Auto);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      if (ev.Wait(INFINITE_WAIT)) released.fetch_add(1);
    });
  }
  std::this_thread::sleep_for(milliseconds(50));  // let both block
  ev.Set();
  EXPECT_TRUE(Eventually([&] { return released.load() >= 1; }));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(released.load(), 1);
  EXPECT_FALSE(ev.IsSet());
  ev.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 2);
  EXPECT_FALSE(ev.IsSet());
}

TEST(SyncEvent, ManualSetReleasesAllWaiters) {
  Event ev(Event::Reset::Manual);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (ev.Wait(INFINITE_WAIT)) released.fetch_add(1);
    });
  }
  ev.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_TRUE(ev.IsSet());
}

TEST(SyncEvent, WaitTimesOutNoEarlierThanAsked) {
  Event ev(Event::Reset::Manual);
  const auto start = Clock::now();
  EXPECT_FALSE(ev.Wait(60));
  EXPECT_GE(MsSince(start), 60);
}

TEST(SyncEvent, WaitAnyReturnsLowestSignalledIndexAndConsumesOnlyIt) {
  struct Case {
    const char* name;
    std::vector<enum Event::Reset> kinds;
    std::vector<bool> set;
    int expected;
    std::vector<bool> setAfter;
  };
  using R = enum Event::Reset;
  const Case cases[] = {
      {"none set", {R::Auto, R::Manual}, {false, false}, WAIT_TIMEOUT_RESULT, {false, false}},
      {"lowest of two autos", {R::Auto, R::Auto, R::Auto}, {false, true, true}, 1, {false, false, true}},
      {"manual stays set", {R::Manual, R::Auto}, {true, true}, 0, {true, true}},
      {"auto below manual", {R::Manual, R::Auto, R::Manual}, {false, true, true}, 1, {false, false, true}},
      {"last only", {R::Auto, R::Manual, R::Auto}, {false, false, true}, 2, {false, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<Event>> events;
    std::vector<const Event*> ptrs;
    for (size_t i = 0; i < c.kinds.size(); ++i) {
      events.push_back(std::make_unique<Event>(c.kinds[i], c.set[i]));
      ptrs.push_back(events.back().get());
    }
    EXPECT_EQ(WaitAny(ptrs, 0), c.expected);
    for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i]->IsSet(), c.setAfter[i]) << "event " << i;
  }
}

TEST(SyncEvent, WaitAnyTimesOutAndWakesOnLaterSet) {
  Event a(Event::Reset::Auto);
  Event b(Event::Reset::Manual);
  const auto start = Clock::now();
  EXPECT_EQ(WaitAny({&a, &b}, 40), WAIT_TIMEOUT_RESULT);
  EXPECT_GE(MsSince(start), 40);

  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(20));
    a.Set();
  });
  EXPECT_EQ(WaitAny({&b, &a}, INFINITE_WAIT), 1);
  setter.join();
  EXPECT_FALSE(a.IsSet());
}

TEST(SyncEvent, WaitAnyRejectsEmptyAndNull) {
  Event a(Event::Reset::Manual, true);
  EXPECT_EQ(WaitAny(std::span<const Event* const>(), 0), WAIT_FAILED_RESULT);
  EXPECT_EQ(WaitAny({&a, nullptr}, 0), WAIT_FAILED_RESULT);
}

// Two threads race for each of many auto-reset signals: every Set is taken by
// exactly one of them, none is lost to a waiter that poll woke too.
TEST(SyncEvent, AutoSignalsAreNeitherDuplicatedNorLost) {
  constexpr int kRounds = 300;
  Event ev(Event::Reset::Auto);
  Event taken(Event::Reset::Auto);
  Event stop(Event::Reset::Manual);
  std::atomic<int> count{0};
  auto waiter = [&] {
    for (;;) {
      const int r = WaitAny({&stop, &ev}, INFINITE_WAIT);
      if (r != 1) return;
      count.fetch_add(1);
      taken.Set();
    }
  };
  std::thread t1(waiter), t2(waiter);
  for (int i = 0; i < kRounds; ++i) {
    ev.Set();
    if (!taken.Wait(5000)) {
      ADD_FAILURE() << "signal " << i << " lost";
      break;
    }
  }
  stop.Set();
  t1.join();
  t2.join();
  EXPECT_EQ(count.load(), kRounds);
}

void NoOpHandler(int) {}

// Signals interrupt poll with EINTR; the wait must carry on with the time
// that is left, neither failing nor starting its timeout over.
TEST(SyncEvent, WaitSurvivesSignalsAndKeepsItsDeadline) {
  struct sigaction sa{};
  struct sigaction old{};
  sa.sa_handler = NoOpHandler;  // no SA_RESTART: poll returns EINTR
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

  Event ev(Event::Reset::Manual);
  std::atomic<bool> done{false};
  std::atomic<bool> result{true};
  std::atomic<int64_t> elapsed{0};
  std::thread waiter([&] {
    const auto start = Clock::now();
    result = ev.Wait(200);
    elapsed = MsSince(start);
    done = true;
  });
  const pthread_t handle = waiter.native_handle();
  const auto start = Clock::now();
  while (!done && MsSince(start) < 3000) {
    ::pthread_kill(handle, SIGUSR1);
    std::this_thread::sleep_for(milliseconds(10));
  }
  waiter.join();
  ::sigaction(SIGUSR1, &old, nullptr);

  EXPECT_FALSE(result.load());
  EXPECT_GE(elapsed.load(), 200);
  EXPECT_LT(elapsed.load(), 2000);
}

}  // namespace
}  // namespace platform
