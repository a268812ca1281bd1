// A list that any thread may add to while the test reads it: what a
// callback under test was handed, in order.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

namespace vqtest {

template <typename T>
class SharedList {
 public:
  void Add(T item) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(item));
  }
  std::vector<T> Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<T> items_;
};

}  // namespace vqtest
