#include "support/impersonation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/temp_root.h"
#include "platform/process/desktop_user.h"
#include "platform/process/user_context.h"

namespace proc = platform::process;

namespace {

class ImpersonationTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(procDir()); }
  void TearDown() override {
    proc::SetCommandPipePeerUid(std::nullopt);
    proc::RevertToSelf();
  }
  std::string procDir() const { return root_.At("/proc"); }
  void AddProcess(int pid, const std::string& name, uid_t uid) {
    const std::string base = procDir() + "/" + std::to_string(pid);
    std::filesystem::create_directories(base);
    vqtest::WriteFileBytes(base + "/status", "Name:\t" + name + "\nUid:\t" + std::to_string(uid) + "\t0\t0\t0\n");
    vqtest::WriteFileBytes(base + "/cmdline", "/usr/bin/" + name + std::string(1, '\0'));
  }

  vqtest::TempRoot root_;
};

TEST_F(ImpersonationTest, NobodyLoggedOnKeepsTheThreadsIdentity) {
  AddProcess(1, "init", 0);
  EXPECT_EQ(ImpersonateExplorerUser(procDir()), 0);
  EXPECT_EQ(proc::ImpersonatedUser(), std::nullopt);
}

TEST_F(ImpersonationTest, ActsForTheOwnerOfTheDesktopShell) {
  AddProcess(1, "init", 0);
  AddProcess(700, "gnome-shell", 65534);  // "nobody", in every user database
  ASSERT_EQ(ImpersonateExplorerUser(procDir()), 1);
  const auto user = proc::ImpersonatedUser();
  ASSERT_TRUE(user.has_value());
  EXPECT_EQ(user->uid, 65534u);
  EXPECT_EQ(user->name, "nobody");
  proc::RevertToSelf();
  EXPECT_EQ(proc::ImpersonatedUser(), std::nullopt);
}

TEST_F(ImpersonationTest, AUserWithoutAnEntryCannotBeImpersonated) {
  proc::SetCommandPipePeerUid(3999999);
  EXPECT_EQ(ImpersonateExplorerUser(procDir()), 0);
  EXPECT_EQ(proc::ImpersonatedUser(), std::nullopt);
}

}  // namespace
