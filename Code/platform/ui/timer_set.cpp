#include "platform/ui/timer_set.h"

namespace platform::ui {

uint64_t TimerSet::Start(int64_t nowMs, uint32_t periodMs, std::function<void()> onTick) {
  if (periodMs == 0) periodMs = 1;  // a zero period would fire without end
  const uint64_t handle = next_++;
  timers_[handle] = Timer{periodMs, nowMs + periodMs, std::make_shared<std::function<void()>>(std::move(onTick))};
  return handle;
}

bool TimerSet::Stop(uint64_t handle) { return timers_.erase(handle) != 0; }

std::optional<int64_t> TimerSet::NextDue() const {
  std::optional<int64_t> due;
  for (const auto& [handle, t] : timers_)
    if (!due || t.dueMs < *due) due = t.dueMs;
  return due;
}

bool TimerSet::FireOne(int64_t nowMs) {
  auto earliest = timers_.end();
  for (auto it = timers_.begin(); it != timers_.end(); ++it)
    if (it->second.dueMs <= nowMs && (earliest == timers_.end() || it->second.dueMs < earliest->second.dueMs))
      earliest = it;
  if (earliest == timers_.end()) return false;
  earliest->second.dueMs = nowMs + earliest->second.periodMs;
  // Held here so that a tick that stops its own timer runs to its end.
  std::shared_ptr<std::function<void()>> onTick = earliest->second.onTick;
  (*onTick)();
  return true;
}

}  // namespace platform::ui
