// What the login dialog keeps between its openings, one per client
// application: whether its controls are enabled (no login runs from it),
// whether a login was started from it, and the pending profile, the
// connection built at the last Login and stored once the tunnel service
// reports "connected".
//
// Threads: idle and started are read and written on the UI thread; the
// pending profile is also read by the report pipe's thread, so it is
// handed out as a copy under a lock.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>

#include "client/store/user_info.h"

namespace client {

class LoginState {
 public:
  std::atomic<bool> idle{true};
  std::atomic<bool> started{false};

  std::optional<user_info> Pending() const {
    std::lock_guard lock(mutex_);
    return pending_;
  }
  // The previous pending profile is dropped.
  void SetPending(const user_info& record) {
    std::lock_guard lock(mutex_);
    pending_ = record;
  }
  void FreePending() {
    std::lock_guard lock(mutex_);
    pending_.reset();
  }
  // Nothing without a pending profile; else whether its PROXDETECT is "1".
  std::optional<bool> PendingDetectsProximity() const {
    std::lock_guard lock(mutex_);
    if (!pending_) return std::nullopt;
    return pending_->PROXDETECT == "1";
  }

 private:
  mutable std::mutex mutex_;
  std::optional<user_info> pending_;
};

}  // namespace client
