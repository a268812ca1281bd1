// One value behind its own lock: each read and each write takes it for
// that one access (a critical section around a get/set pair).
#pragma once

#include <mutex>
#include <utility>

namespace platform {

template <typename T>
class LockedValue {
 public:
  explicit LockedValue(T initial = T{}) : value_(std::move(initial)) {}

  T Get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void Set(T value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }
  // The value before, and value in its place, in one locked step.
  T Exchange(T value) {
    std::lock_guard lock(mutex_);
    std::swap(value_, value);
    return value;
  }

 private:
  mutable std::mutex mutex_;
  T value_;
};

}  // namespace platform
