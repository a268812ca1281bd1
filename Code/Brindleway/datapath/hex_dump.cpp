#include "Brindleway/datapath/hex_dump.h"

#include <string>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"

namespace brindleway {

void hex_dump(const char* title, const uint8_t* data, int length) {
  // Formatting a dump costs more than the packet's crypto: skip it unless
  // it will be written.
  if ((g_dwDebugTraceMask.load(std::memory_order_relaxed) & TRACE_PACKETS) == 0) return;
  if (title != nullptr) DebugTrace(TRACE_PACKETS, "%s (%d):\n", title, length);
  if (data == nullptr) return;
  static const char kHex[] = "0123456789abcdef";
  constexpr int kRow = 16;
  for (int offset = 0; offset < length; offset += kRow) {
    const int count = length - offset < kRow ? length - offset : kRow;
    std::string line = FormatText("%08x: ", offset);
    for (int i = 0; i < kRow; ++i) {
      if (i < count) {
        line += kHex[data[offset + i] >> 4];
        line += kHex[data[offset + i] & 0xF];
      } else {
        line += "  ";
      }
      line += i == 7 ? "  " : i == kRow - 1 ? "    " : " ";
    }
    for (int i = 0; i < count; ++i) {
      const uint8_t b = data[offset + i];
      line += (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
      if (i == 7) line += ' ';
    }
    line += '\n';
    DebugTraceText(TRACE_PACKETS, line);
  }
}

}  // namespace brindleway
