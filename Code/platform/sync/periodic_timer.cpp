#include "platform/sync/periodic_timer.h"

namespace platform {

namespace {

int64_t AddClamped(int64_t a, int64_t b) { return b > INT64_MAX - a ? INT64_MAX : a + b; }

// Set, and taken when it resets automatically (another waiter may take it
// first: then it is not ours).
bool TakeStop(const Event* stop) { return stop != nullptr && stop->TryConsume(); }

}  // namespace

PeriodicTimer::PeriodicTimer(Clock& clock) : clock_(clock) {}

bool PeriodicTimer::Start(int64_t firstDueMs, int64_t periodMs) {
  if (firstDueMs < 0 || periodMs <= 0) return false;
  dueMs_ = AddClamped(clock_.NowMs(), firstDueMs);
  periodMs_ = periodMs;
  return true;
}

PeriodicTimer::WaitResult PeriodicTimer::Wait(const Event* stop) {
  if (!Started()) {
    if (stop == nullptr) return WaitResult::Failed;
    return stop->Wait(INFINITE_WAIT) ? WaitResult::Stopped : WaitResult::Failed;
  }
  for (;;) {
    if (TakeStop(stop)) return WaitResult::Stopped;
    const int64_t now = clock_.NowMs();
    if (now >= dueMs_) {
      // Every expiry that has passed was one signal; the next one stays on
      // the schedule.
      const int64_t steps = (now - dueMs_) / periodMs_ + 1;
      dueMs_ = steps > (INT64_MAX - dueMs_) / periodMs_ ? INT64_MAX : dueMs_ + steps * periodMs_;
      return WaitResult::Fired;
    }
    // The sleep ends when the stop event is set, and may end early (a fake
    // clock wakes its sleepers on every advance): the loop looks again.
    clock_.SleepFor(dueMs_ - now, stop);
  }
}

}  // namespace platform
