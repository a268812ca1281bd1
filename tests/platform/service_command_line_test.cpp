#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/service/service.h"

namespace {

struct SplitCase {
  const char* line;
  std::vector<std::string> args;
};

TEST(SplitCommandLineTest, Table) {
  const SplitCase cases[] = {
      {"\"/opt/Tarnwick Gate/bin/Brindleway\" -s control",
       {"/opt/Tarnwick Gate/bin/Brindleway", "-s", "control"}},
      {"/opt/tarnwickgate/bin/Brindleway -s control", {"/opt/tarnwickgate/bin/Brindleway", "-s", "control"}},
      {"", {}},
      {"   \t ", {}},
      {"  a   b\tc  ", {"a", "b", "c"}},
      {"\"\"", {""}},
      {"a \"\" b", {"a", "", "b"}},
      {"pre\"fix mid\"post next", {"prefix midpost", "next"}},
      {"C:\\Program Files\\x.exe", {"C:\\Program", "Files\\x.exe"}},
      {"\"C:\\Program Files\\\" tail", {"C:\\Program Files\\", "tail"}},
      {"\"unterminated quote", {"unterminated quote"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(platform::service::SplitCommandLine(c.line), c.args);
  }
}

}  // namespace
