// The time source of timers and timed waits. Production code uses
// SystemClock(); tests inject a FakeClock and run hours of protocol time in
// milliseconds.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace platform {

class Event;

// Told when a clock's time moves, so that waits on that clock re-check
// their deadlines. Wake() may be called from any thread.
class ClockWaker {
 public:
  virtual ~ClockWaker() = default;
  virtual void Wake() = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;

  // Monotonic milliseconds. Never takes a lock of the caller's.
  virtual int64_t NowMs() const = 0;

  // Blocks on cv (lock held, released while blocked) until it is notified or
  // the clock reaches deadlineMs (INT64_MAX: no deadline). May return early;
  // the caller re-checks its condition.
  virtual void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                         int64_t deadlineMs) = 0;

  // Sleeps ms of this clock's time. Returns false at once when cancel
  // (may be null) is or becomes set, true when the time passed.
  virtual bool SleepFor(int64_t ms, const Event* cancel) = 0;

  // Wakers are woken whenever the time moves other than by itself. A waker
  // must be removed before it is destroyed; RemoveWaker waits for a Wake()
  // in progress.
  virtual void AddWaker(ClockWaker* waker) = 0;
  virtual void RemoveWaker(ClockWaker* waker) = 0;
};

// The real monotonic clock.
Clock& SystemClock();

// A clock that moves only when told to. Starts at 0.
class FakeClock final : public Clock {
 public:
  FakeClock();
  ~FakeClock() override;
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  int64_t NowMs() const override;
  void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 int64_t deadlineMs) override;
  bool SleepFor(int64_t ms, const Event* cancel) override;
  void AddWaker(ClockWaker* waker) override;
  void RemoveWaker(ClockWaker* waker) override;

  // Moves the time forward and wakes every waiter.
  void Advance(int64_t ms);

  // Number of SleepFor calls now blocked (lets a test wait until a thread
  // reached its sleep before advancing).
  int Sleepers() const;
  // Of those, the ones whose time is not up yet: a sleeper that Advance
  // has made due but that has not run again is left out, so a test that
  // moves the time only while this is above 0 never moves it under a
  // thread that is still on its way out of a sleep.
  int PendingSleepers() const;
  // Number of WaitUntil calls now blocked, likewise for queue waits.
  int Waiters() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
