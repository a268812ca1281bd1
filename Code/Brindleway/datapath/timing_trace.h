// How long a step took, for the timing trace.
#pragma once

#include <atomic>
#include <chrono>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"

namespace brindleway {

// Milliseconds for the timing trace, only read when it will be written.
class TimingTrace {
 public:
  TimingTrace() : m_on((g_dwDebugTraceMask.load(std::memory_order_relaxed) & TRACE_TIMING) != 0) {
    if (m_on) m_start = std::chrono::steady_clock::now();
  }
  void Write(const char* format) const {
    if (!m_on) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start);
    DebugTrace(TRACE_TIMING, format, static_cast<unsigned>(ms.count()));
  }

 private:
  bool m_on;
  std::chrono::steady_clock::time_point m_start;
};

}  // namespace brindleway
