// Polls a condition every millisecond for up to 10 s of real time (or the
// limit given, for steps a sanitizer build takes long over).
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace vqtest {

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

// Whole milliseconds of real time since start.
inline int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace vqtest
