// ShellExecute of a program file: made executable, started detached with
// the parameters split like a stored command line, elevated through
// $VQ_ELEVATE when not root.
#include "platform/shell/shell_execute.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/eventually.h"
#include "common/temp_root.h"

namespace platform::shell {
namespace {

class ShellExecuteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    record_ = root_.At("/record.txt");
    ::setenv("VQ_TEST_INSTALLER_RECORD", record_.c_str(), 1);
    program_ = root_.At("/installer.bin");
    // A copy without its execute bits, as a download arrives.
    std::filesystem::copy_file(RECORDING_INSTALLER_PATH, program_);
    ::chmod(program_.c_str(), 0600);
  }
  void TearDown() override { ::unsetenv("VQ_TEST_INSTALLER_RECORD"); }

  std::string Record() {
    EXPECT_TRUE(vqtest::Eventually([&] { return std::filesystem::exists(record_); }));
    return vqtest::ReadFileBytes(record_);
  }

  vqtest::TempRoot root_;
  std::string record_;
  std::string program_;
};

TEST_F(ShellExecuteTest, StartsTheFileDetachedWithItsParametersAndNothingOfOurs) {
  ASSERT_EQ(ShellExecute("runas", program_, "/WebInstall \"two words\" x\\y"), 0);
  const std::string record = Record();
  EXPECT_EQ(record.substr(0, record.find("session")),
            "arg=" + program_ + "\narg=/WebInstall\narg=two words\narg=x\\y\n");
  EXPECT_EQ(record.find("session=" + std::to_string(::getsid(0)) + "\n"), std::string::npos) << record;
  EXPECT_NE(record.find("session="), std::string::npos);
  EXPECT_NE(record.find("descriptors=3\n"), std::string::npos) << record;
  struct stat st{};
  ASSERT_EQ(::stat(program_.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IXUSR, 0u);
}

TEST_F(ShellExecuteTest, RunasGoesThroughTheElevatorWhenNotRoot) {
  if (::geteuid() == 0) {
    // As root the program starts directly, whatever the elevator.
    ::setenv("VQ_ELEVATE", "/nonexistent/elevator", 1);
    EXPECT_EQ(ShellExecute("runas", program_, "/WebInstall"), 0);
    ::unsetenv("VQ_ELEVATE");
    EXPECT_NE(Record().find("arg=/WebInstall"), std::string::npos);
    return;
  }
  ::setenv("VQ_ELEVATE", "/nonexistent/elevator", 1);
  EXPECT_EQ(ShellExecute("runas", program_, "/WebInstall"), ENOENT);
  ::setenv("VQ_ELEVATE", "", 1);
  EXPECT_EQ(ShellExecute("runas", program_, "/WebInstall"), 0);
  ::unsetenv("VQ_ELEVATE");
  EXPECT_NE(Record().find("arg=/WebInstall"), std::string::npos);
}

TEST_F(ShellExecuteTest, RefusesWhatItCannotStart) {
  EXPECT_EQ(ShellExecute("open", root_.At("/missing"), ""), ENOENT);
  EXPECT_EQ(ShellExecute("print", program_, ""), EINVAL);
  EXPECT_EQ(ShellExecute("open", root_.path(), ""), EACCES);
  vqtest::WriteFileBytes(root_.At("/not-a-program"), "just text\n");
  EXPECT_EQ(ShellExecute("open", root_.At("/not-a-program"), ""), ENOEXEC);
}

}  // namespace
}  // namespace platform::shell
