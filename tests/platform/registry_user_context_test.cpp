// The user context: which user a thread acts for decides the HKCU hive, and
// the desktop user is found from the command pipe or the process list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "common/fake_proc_root.h"
#include "common/temp_root.h"
#include "platform/paths/paths.h"
#include "platform/process/desktop_user.h"
#include "platform/process/user_context.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"

namespace proc = platform::process;
namespace reg = platform::registry;

namespace {

class UserContextTest : public ::testing::Test {
 protected:
  void TearDown() override {
    proc::SetCommandPipePeerUid(std::nullopt);
    proc::RevertToSelf();
    ::unsetenv("VQ_DESKTOP_SHELLS");
  }
  vqtest::TempRoot root_;
};

TEST_F(UserContextTest, DesktopUserIsTheOwnerOfTheFirstShell) {
  vqtest::FakeProcRoot fake(root_.At("/proc"));
  EXPECT_EQ(proc::FindDesktopUser(fake.dir()), std::nullopt);
  fake.Add(5, {std::nullopt, "/usr/sbin/sshd", "sshd", 0});
  fake.Add(100, {std::nullopt, "/usr/bin/PLASMASHELL", "plasmashell", 1001});  // name without regard to case
  fake.Add(20, {std::nullopt, "", "gnome-shell", 1002});                      // kernel name only
  fake.Add(3000, {std::nullopt, "/usr/bin/gnome-shell", "gnome-shell", 1003});
  fake.Add(2, {std::nullopt, "/usr/bin/gnome-shell", "gnome-shell", std::nullopt});  // owner unknown: not root
  EXPECT_EQ(proc::FindDesktopUser(fake.dir()), 1002u);

  ::setenv("VQ_DESKTOP_SHELLS", " sshd , other", 1);
  EXPECT_EQ(proc::FindDesktopUser(fake.dir()), 0u);
  ::setenv("VQ_DESKTOP_SHELLS", "nothing-runs-this", 1);
  EXPECT_EQ(proc::FindDesktopUser(fake.dir()), std::nullopt);

  // An interpreted shell with a name longer than the kernel keeps: only
  // argv[0] names it, not the exe (the interpreter) nor the cut kernel name.
  fake.Add(50, {"/usr/bin/python3.11", "/usr/libexec/budgie-desktop-shell", "budgie-desktop-", 1004});
  ::setenv("VQ_DESKTOP_SHELLS", "budgie-desktop-shell", 1);
  EXPECT_EQ(proc::FindDesktopUser(fake.dir()), 1004u);
}

TEST_F(UserContextTest, TheCommandPipeClientWinsWhenKnown) {
  vqtest::FakeProcRoot fake(root_.At("/proc"));
  fake.Add(20, {std::nullopt, "/usr/bin/gnome-shell", "gnome-shell", 1002});
  proc::SetCommandPipePeerUid(4242);
  EXPECT_EQ(proc::FindDesktopUser(fake.dir()), 4242u);
  proc::SetCommandPipePeerUid(std::nullopt);
  EXPECT_EQ(proc::FindDesktopUser(fake.dir()), 1002u);
}

TEST_F(UserContextTest, CurrentUserHiveFollowsTheThreadsUserAndReverts) {
  const std::string ownHive = platform::paths::HkcuHive();
  {
    reg::Key mine;
    ASSERT_EQ(reg::Key::Create(reg::HKEY_CURRENT_USER, "Software\\Who", reg::Access::Write, mine),
              platform::ERROR_SUCCESS);
    ASSERT_EQ(mine.SetValue("me", reg::REG_DWORD, {{1, 0, 0, 0}}), platform::ERROR_SUCCESS);
  }

  const proc::UserContext alice{4242, 4243, "alice", "/home/alice"};
  proc::ImpersonateUser(alice);
  EXPECT_EQ(platform::paths::HkcuHive(), root_.At("/home/alice/.config/tarnwickgate/registry/HKCU.db"));
  {
    reg::Key theirs;
    EXPECT_EQ(reg::Key::Open(reg::HKEY_CURRENT_USER, "Software\\Who", reg::Access::Read, theirs),
              platform::ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(reg::Key::Create(reg::HKEY_CURRENT_USER, "Software\\Who", reg::Access::Write, theirs),
              platform::ERROR_SUCCESS);
    ASSERT_EQ(theirs.SetValue("alice", reg::REG_DWORD, {{2, 0, 0, 0}}), platform::ERROR_SUCCESS);
  }
  // Another thread keeps its own user.
  std::string otherThreadHive;
  std::thread([&] { otherThreadHive = platform::paths::HkcuHive(); }).join();
  EXPECT_EQ(otherThreadHive, ownHive);

  if (::geteuid() == 0) {
    // Root working for alice leaves her a hive she owns.
    struct stat st{};
    ASSERT_EQ(::stat(platform::paths::HkcuHive().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_gid, 4243u);
    ASSERT_EQ(::stat(root_.At("/home/alice/.config/tarnwickgate").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);
  }

  proc::RevertToSelf();
  EXPECT_EQ(proc::ImpersonatedUser(), std::nullopt);
  EXPECT_EQ(platform::paths::HkcuHive(), ownHive);
  reg::Key mine;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_CURRENT_USER, "Software\\Who", reg::Access::Read, mine),
            platform::ERROR_SUCCESS);
  EXPECT_EQ(mine.QueryValue("me", nullptr, nullptr), platform::ERROR_SUCCESS);
  EXPECT_EQ(mine.QueryValue("alice", nullptr, nullptr), platform::ERROR_FILE_NOT_FOUND);
}

TEST_F(UserContextTest, ImpersonatingOneselfChangesNothing) {
  const std::string ownHive = platform::paths::HkcuHive();
  proc::ImpersonateUser(proc::UserContext{::geteuid(), ::getegid(), "self", "/elsewhere"});
  EXPECT_EQ(platform::paths::HkcuHive(), ownHive);
}

TEST_F(UserContextTest, LookupUserReadsTheUserDatabase) {
  const auto rootUser = proc::LookupUser(0);
  ASSERT_TRUE(rootUser.has_value());
  EXPECT_EQ(rootUser->name, "root");
  EXPECT_FALSE(rootUser->home.empty());
  EXPECT_EQ(proc::LookupUser(3999999), std::nullopt);
}

}  // namespace
