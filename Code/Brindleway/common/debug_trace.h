// Diagnostic lines that appear only when the client application asked for
// them with its trace mask (set-up, timing, per-packet).
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "support/log.h"

namespace brindleway {

// Set by the command pipe; 0 at start.
extern std::atomic<uint32_t> g_dwDebugTraceMask;

void DebugTraceText(uint32_t mask, std::string_view text);

template <typename... Args>
void DebugTrace(uint32_t mask, std::string_view format, const Args&... args) {
  if ((mask & g_dwDebugTraceMask.load(std::memory_order_relaxed)) == 0) return;
  DebugTraceText(mask, FormatText(format, args...));
}

}  // namespace brindleway
