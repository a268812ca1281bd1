// The command line of the tunnel service, run as a process so that each
// case gets its exit status: the action word, skipped options, missing
// arguments and "--".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/log_reader.h"
#include "common/temp_root.h"

namespace {

TEST(BrindlewayOptions, ActionWordsAndOddArguments) {
  struct Case {
    std::vector<std::string> args;
    bool succeeds;
    const char* logged;  // a line the run must leave, or ""
  };
  const Case cases[] = {
      {{"-s", "INSTALL"}, true, "Service Marrowlantern installed"},
      {{"-s", "bogus"}, false, ""},
      {{"-x", "-s", "uninstall"}, true, "Service Marrowlantern uninstalled"},
      {{"-s"}, false, ""},
      {{"--", "-s", "install"}, false, ""},
      {{"extra"}, false, ""},
      {{"-d"}, false, ""},  // no virtual adapter known
  };
  for (const Case& c : cases) {
    std::string name;
    for (const auto& a : c.args) name += a + " ";
    SCOPED_TRACE(name);
    vqtest::TempRoot root;
    std::vector<std::string> argv{BRINDLEWAY_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    if (c.args[0] == "-x") {
      ASSERT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "install"}), 0);
    }
    EXPECT_EQ(vqtest::RunProgram(argv) == 0, c.succeeds);
    if (*c.logged) {
      EXPECT_NE(vqtest::ReadLogText().find(c.logged), std::string::npos);
    }
    // No action ran: nothing was installed.
    if (!c.succeeds) {
      EXPECT_NE(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "uninstall"}), 0);
    }
  }
}

}  // namespace
