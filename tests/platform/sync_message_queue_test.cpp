#include "common/eventually.h"
#include "platform/sync/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

using vqtest::Eventually;

using vqtest::MsSince;

class MessageQueueTest : public ::testing::Test {
 protected:
  // The next deliverable message without waiting, or 0 when none is.
  uint32_t Next(uintptr_t* wParam = nullptr) {
    Message m;
    if (!queue.GetFor(m, 0)) return 0;
    if (wParam) *wParam = m.wParam;
    return m.message;
  }

  FakeClock clock;
  MessageQueue queue{clock};
};

TEST_F(MessageQueueTest, PostedMessagesArriveInOrderWithTheirData) {
  auto record = std::make_shared<std::string>("payload");
  ASSERT_TRUE(queue.Post(WM_USER + 1, 11, -1));
  ASSERT_TRUE(queue.Post(WM_USER + 2, 22, -2, record));
  ASSERT_TRUE(queue.Post(WM_USER + 3, 33, -3, std::string("text")));
  EXPECT_EQ(queue.PendingCount(), 3u);

  Message m = queue.Get();
  EXPECT_EQ(m.message, WM_USER + 1);
  EXPECT_EQ(m.wParam, 11u);
  EXPECT_EQ(m.lParam, -1);
  EXPECT_FALSE(m.data.has_value());

  m = queue.Get();
  EXPECT_EQ(m.message, WM_USER + 2);
  ASSERT_EQ(m.data.type(), typeid(std::shared_ptr<std::string>));
  EXPECT_EQ(std::any_cast<std::shared_ptr<std::string>>(m.data), record);

  m = queue.Get();
  EXPECT_EQ(m.message, WM_USER + 3);
  EXPECT_EQ(m.lParam, -3);
  EXPECT_EQ(std::any_cast<std::string>(m.data), "text");
  EXPECT_EQ(queue.PendingCount(), 0u);
}

TEST_F(MessageQueueTest, QuitIsJustAMessage) {
  queue.Post(WM_QUIT, 7);
  queue.Post(WM_USER);
  uintptr_t w = 0;
  EXPECT_EQ(Next(&w), WM_QUIT);
  EXPECT_EQ(w, 7u);
  EXPECT_EQ(Next(), WM_USER);
  EXPECT_TRUE(queue.Post(WM_USER + 1));
  EXPECT_EQ(Next(), WM_USER + 1);
}

TEST_F(MessageQueueTest, CloseRefusesPostsButKeepsQueuedMessages) {
  queue.Post(WM_USER);
  queue.Close();
  EXPECT_FALSE(queue.Post(WM_USER + 1));
  EXPECT_EQ(Next(), WM_USER);
  EXPECT_EQ(Next(), 0u);
}

TEST_F(MessageQueueTest, TimerFiresOncePerDueAndCountsPeriodFromDelivery) {
  const uintptr_t id = queue.SetTimer(100);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(queue.TimerCount(), 1u);
  clock.Advance(99);
  EXPECT_EQ(Next(), 0u);
  clock.Advance(1);
  uintptr_t w = 0;
  EXPECT_EQ(Next(&w), WM_TIMER);
  EXPECT_EQ(w, id);
  EXPECT_EQ(Next(), 0u);

  // Late by several periods: still one WM_TIMER, next due a period after it.
  clock.Advance(350);  // now 450
  EXPECT_EQ(Next(), WM_TIMER);
  EXPECT_EQ(Next(), 0u);
  clock.Advance(99);
  EXPECT_EQ(Next(), 0u);
  clock.Advance(1);
  EXPECT_EQ(Next(), WM_TIMER);
}

TEST_F(MessageQueueTest, PostedMessagesComeBeforeTimers) {
  const uintptr_t id = queue.SetTimer(10);
  clock.Advance(10);
  queue.Post(WM_USER + 1);
  queue.Post(WM_USER + 2);
  EXPECT_EQ(Next(), WM_USER + 1);
  EXPECT_EQ(Next(), WM_USER + 2);
  uintptr_t w = 0;
  EXPECT_EQ(Next(&w), WM_TIMER);
  EXPECT_EQ(w, id);
}

TEST_F(MessageQueueTest, EarliestDueTimerFirst) {
  const uintptr_t slow = queue.SetTimer(300);
  const uintptr_t fast = queue.SetTimer(100);
  clock.Advance(300);
  uintptr_t first = 0, second = 0;
  EXPECT_EQ(Next(&first), WM_TIMER);
  EXPECT_EQ(Next(&second), WM_TIMER);
  EXPECT_EQ(first, fast);
  EXPECT_EQ(second, slow);
  EXPECT_EQ(Next(), 0u);
}

TEST_F(MessageQueueTest, KillTimerDropsPendingTimerMessage) {
  const uintptr_t keep = queue.SetTimer(50);
  const uintptr_t kill = queue.SetTimer(50);
  clock.Advance(50);
  EXPECT_TRUE(queue.KillTimer(kill));
  EXPECT_FALSE(queue.KillTimer(kill));
  EXPECT_FALSE(queue.KillTimer(0));
  EXPECT_EQ(queue.TimerCount(), 1u);
  uintptr_t w = 0;
  EXPECT_EQ(Next(&w), WM_TIMER);
  EXPECT_EQ(w, keep);
  EXPECT_EQ(Next(), 0u);
}

TEST_F(MessageQueueTest, TimerIdsAreNonZeroAndNeverReused) {
  std::set<uintptr_t> seen;
  for (int i = 0; i < 50; ++i) {
    const uintptr_t id = queue.SetTimer(10);
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(seen.insert(id).second) << "id " << id << " reused";
    if (i % 2 == 0) {
      EXPECT_TRUE(queue.KillTimer(id));
    }
  }
}

TEST_F(MessageQueueTest, ZeroPeriodTimerDoesNotStarvePostedMessages) {
  queue.SetTimer(0);
  clock.Advance(1);
  queue.Post(WM_USER);
  EXPECT_EQ(Next(), WM_USER);
  EXPECT_EQ(Next(), WM_TIMER);
  EXPECT_EQ(Next(), 0u);  // not due again until the clock moves
}

TEST_F(MessageQueueTest, GetForTimesOutOnTheQueueClock) {
  std::atomic<bool> done{false};
  std::atomic<bool> got{true};
  std::thread waiter([&] {
    Message m;
    got = queue.GetFor(m, 500);
    done = true;
  });
  EXPECT_TRUE(Eventually([&] { return clock.Waiters() == 1; }));
  clock.Advance(499);
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(done.load());
  clock.Advance(1);
  waiter.join();
  EXPECT_FALSE(got.load());
}

TEST_F(MessageQueueTest, GetForReturnsPostFromAnotherThread) {
  std::thread waiter([&] {
    Message m;
    EXPECT_TRUE(queue.GetFor(m, 1'000'000));
    EXPECT_EQ(m.message, WM_USER + 5);
  });
  EXPECT_TRUE(Eventually([&] { return clock.Waiters() == 1; }));
  queue.Post(WM_USER + 5);
  waiter.join();
}

// A consumer blocked in Get() must see every Advance that makes a timer due;
// a lost wake-up hangs it and fails the Eventually below.
TEST_F(MessageQueueTest, GetWakesOnAdvanceAcrossThreads) {
  constexpr int kTicks = 300;
  const uintptr_t id = queue.SetTimer(10);
  std::atomic<int> ticks{0};
  std::thread consumer([&] {
    for (;;) {
      Message m = queue.Get();
      if (m.message == WM_QUIT) return;
      if (m.message == WM_TIMER && m.wParam == id) ticks.fetch_add(1);
    }
  });
  for (int i = 1; i <= kTicks; ++i) {
    clock.Advance(10);
    if (!Eventually([&] { return ticks.load() >= i; })) {
      ADD_FAILURE() << "tick " << i << " never delivered";
      break;
    }
  }
  queue.Post(WM_QUIT);
  consumer.join();
  EXPECT_EQ(ticks.load(), kTicks);
}

TEST(MessageQueueSystemClock, TimersAndTimeoutsRunOnRealTime) {
  MessageQueue queue;
  Message m;
  // The clock counts whole milliseconds, so a wait may end up to 1 ms short.
  auto start = Steady::now();
  EXPECT_FALSE(queue.GetFor(m, 30));
  EXPECT_GE(MsSince(start), 29);

  // Get() blocked without any deadline takes up a timer set meanwhile.
  start = Steady::now();
  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(20));
    queue.SetTimer(10);
  });
  m = queue.Get();
  setter.join();
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_GE(MsSince(start), 29);
}

}  // namespace
}  // namespace platform
