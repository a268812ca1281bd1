#include "Brindleway/common/debug_trace.h"

#include "support/utf16.h"

namespace brindleway {

std::atomic<uint32_t> g_dwDebugTraceMask{0};

void DebugTraceText(uint32_t mask, std::string_view text) {
  if ((mask & g_dwDebugTraceMask.load(std::memory_order_relaxed)) == 0) return;
  // The same 255-unit bound as a log line.
  std::u16string wide = Utf8ToUtf16(text);
  wide.resize(Utf16CutLength(wide, LOG_LINE_UNITS - 1));
  WriteLine(Utf16ToUtf8(wide));
}

}  // namespace brindleway
