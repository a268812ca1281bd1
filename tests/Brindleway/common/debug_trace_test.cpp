// Trace lines appear only for the mask bits the client application set, and
// are cut like a log line.
#include "Brindleway/common/debug_trace.h"

#include <gtest/gtest.h>

#include "common/log_reader.h"
#include "common/temp_root.h"

namespace brindleway {
namespace {

TEST(DebugTrace, OnlyForSetBitsAndCutAt255Units) {
  vqtest::TempRoot root;
  LogInit(nullptr);
  g_dwDebugTraceMask = 0x2;
  DebugTrace(0x1, "set-up line %d\n", 1);
  DebugTrace(0x4, "packet line\n");
  EXPECT_EQ(vqtest::ReadLogText(), "");
  DebugTrace(0x2 | 0x1, "timing line %s\n", "ok");
  EXPECT_EQ(vqtest::ReadLogText(), "timing line ok\r\n");
  // 300 three-byte characters: cut to 255 units, whole characters.
  std::string longText;
  for (int i = 0; i < 300; ++i) longText += "\xE4\xB8\xAD";
  DebugTrace(0x2, "%s", longText);
  const std::string log = vqtest::ReadLogText();
  EXPECT_EQ(log.substr(16), std::string(longText, 0, 255 * 3) + "\r\n");
  g_dwDebugTraceMask = 0;
}

}  // namespace
}  // namespace brindleway
