// A program started on its own: in its folder, not the caller's child,
// with its arguments as given, and the reasons it could not start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "common/eventually.h"
#include "common/temp_root.h"
#include "platform/process/detached_process.h"

namespace {

TEST(DetachedProcessTest, RunsInItsFolderOnItsOwn) {
  vqtest::TempRoot root;
  const std::string program = root.At("/prog.sh");
  // A descriptor the caller left inheritable must not reach the program.
  const int leak = ::open("/dev/null", O_RDONLY);
  ASSERT_GT(leak, 2);
  const std::string fd = std::to_string(leak);
  vqtest::WriteFileBytes(program,
                         "#!/bin/sh\n"
                         "{ pwd; echo \"$PPID\"; for a in \"$@\"; do echo \"[$a]\"; done;\n"
                         "  if [ -e /proc/$$/fd/" + fd + " ]; then echo inherited; fi; } > out.tmp\n"
                         "mv out.tmp out\n");
  ::chmod(program.c_str(), 0755);
  std::filesystem::create_directories(root.At("/work"));
  ASSERT_EQ(platform::process::StartDetachedProcess({program, "a b", "-k", ""}, root.At("/work")), 0u);
  ASSERT_TRUE(vqtest::Eventually([&] { return std::filesystem::exists(root.At("/work/out")); }));
  const std::string out = vqtest::ReadFileBytes(root.At("/work/out"));
  EXPECT_EQ(out.substr(0, out.find('\n')), root.At("/work"));
  const std::string rest = out.substr(out.find('\n') + 1);
  EXPECT_NE(std::stoi(rest), ::getpid()) << "the caller is its parent";
  EXPECT_NE(rest.find("\n[a b]\n[-k]\n[]\n"), std::string::npos) << rest;
  EXPECT_EQ(rest.find("inherited"), std::string::npos);
  ::close(leak);
}

TEST(DetachedProcessTest, WhyItCouldNotStart) {
  vqtest::TempRoot root;
  const std::string notExecutable = root.At("/plain.txt");
  vqtest::WriteFileBytes(notExecutable, "text");
  ::chmod(notExecutable.c_str(), 0644);
  const std::string script = root.At("/ok.sh");
  vqtest::WriteFileBytes(script, "#!/bin/sh\n");
  ::chmod(script.c_str(), 0755);
  struct Case {
    const char* what;
    std::vector<std::string> argv;
    std::string dir;
    uint32_t error;
  };
  const Case cases[] = {
      {"no such program", {root.At("/missing")}, "", 2},
      {"not executable", {notExecutable}, "", 5},
      {"no such folder", {script}, root.At("/nowhere"), 3},
      {"no program at all", {}, "", 87},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(platform::process::StartDetachedProcess(c.argv, c.dir), c.error);
  }
}

}  // namespace
