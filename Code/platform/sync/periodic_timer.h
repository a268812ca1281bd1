// A waitable periodic timer (SetWaitableTimer, auto-reset) on an injectable
// clock: it becomes due firstDueMs after Start and then every periodMs.
//
// Wait() blocks until the timer is due or a stop event is set, in one call.
// Each successful wait takes one expiry; expiries missed while nobody
// waited collapse into one, and the next one keeps the original schedule
// (start + firstDue + k * period), as an auto-reset timer's signal does.
// A timer is used by one thread at a time.
#pragma once

#include <cstdint>

#include "platform/sync/clock.h"
#include "platform/sync/event.h"

namespace platform {

class PeriodicTimer {
 public:
  enum class WaitResult { Fired, Stopped, Failed };

  explicit PeriodicTimer(Clock& clock = SystemClock());
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // (Re)arms the timer: first expiry firstDueMs from now, then one every
  // periodMs. False, leaving the timer as it was, when firstDueMs is
  // negative or periodMs is not positive.
  bool Start(int64_t firstDueMs, int64_t periodMs);

  // Fired when an expiry was taken, Stopped when stop (may be null) is set
  // (a set stop wins over a due timer), Failed when the wait could never
  // end: the timer was never started and there is no stop event.
  WaitResult Wait(const Event* stop);

  bool Started() const { return periodMs_ > 0; }
  // The clock time of the next expiry (meaningful once started).
  int64_t NextDueMs() const { return dueMs_; }

 private:
  Clock& clock_;
  int64_t dueMs_ = 0;
  int64_t periodMs_ = 0;
};

}  // namespace platform
