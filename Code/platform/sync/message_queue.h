// A thread's message queue: PostThreadMessage, GetMessage and thread timers
// (SetTimer on no window) for threads that own one.
//
// Posted messages are delivered in order. A timer that is due and not yet
// delivered yields one WM_TIMER (wParam = its id) when no posted message is
// waiting, then counts its next period from that delivery. Timer ids are
// assigned by the queue, are never 0 and are not reused while the queue
// lives. Time comes from the queue's Clock.
#pragma once

#include <any>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <condition_variable>

#include "platform/sync/clock.h"

namespace platform {

inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_TIMER = 0x0113;
inline constexpr uint32_t WM_USER = 0x0400;

struct Message {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
  // A record travelling with the message (owned by the message, freed with it).
  std::any data;
};

class MessageQueue final : private ClockWaker {
 public:
  explicit MessageQueue(Clock& clock = SystemClock());
  ~MessageQueue() override;
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // From any thread. False once the queue is closed.
  bool Post(uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0, std::any data = {});

  // Blocks until a message can be delivered. WM_QUIT is delivered like any
  // other message.
  Message Get();

  // Like Get() but gives up after timeoutMs of the queue's clock; false then.
  // A negative timeout waits without limit.
  bool GetFor(Message& out, int64_t timeoutMs);

  // Starts a periodic timer; returns its id (never 0). A period of 0 runs
  // as 1 ms.
  uintptr_t SetTimer(uint32_t periodMs);
  // Stops a timer and drops its pending WM_TIMER; false when unknown.
  bool KillTimer(uintptr_t id);

  // Later posts fail; messages already queued stay deliverable.
  void Close();

  size_t PendingCount() const;  // posted messages waiting (timers not counted)
  // True when Get() would block now: nothing posted and no timer due.
  bool Idle() const;
  size_t TimerCount() const;

  Clock& clock() const { return clock_; }

 private:
  void Wake() override;
  bool TryTake(Message& out);  // with mutex_ held

  struct Timer {
    uint32_t periodMs;
    int64_t dueMs;
  };

  Clock& clock_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Message> posted_;
  std::map<uintptr_t, Timer> timers_;
  uintptr_t nextTimerId_ = 1;
  bool closed_ = false;
};

}  // namespace platform
