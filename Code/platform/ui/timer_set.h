// The timers of a host: periodic, on the host's clock, fired one at a time
// in deadline order (ties in start order). A timer stopped while others
// fire (even by one of them) never fires again.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace platform::ui {

class TimerSet {
 public:
  uint64_t Start(int64_t nowMs, uint32_t periodMs, std::function<void()> onTick);
  bool Stop(uint64_t handle);
  std::optional<int64_t> NextDue() const;
  // Fires the earliest timer due at nowMs, if any; its next period counts
  // from nowMs. False when none was due.
  bool FireOne(int64_t nowMs);
  size_t size() const { return timers_.size(); }
  void Clear() { timers_.clear(); }

 private:
  struct Timer {
    uint32_t periodMs;
    int64_t dueMs;
    std::shared_ptr<std::function<void()>> onTick;
  };
  std::map<uint64_t, Timer> timers_;
  uint64_t next_ = 1;
};

}  // namespace platform::ui
