#include "platform/sync/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "common/temp_root.h"
#include "platform/paths/paths.h"
#include "platform/win32/win32_error.h"

namespace platform {
namespace {

using Role = InstanceLock::Role;

class InstanceLockTest : public ::testing::Test {
 protected:
  vqtest::TempRoot root;
};

TEST_F(InstanceLockTest, HolderRecordsItsRoleAndASecondStartTellsThemApart) {
  struct Case {
    Role holder;
    uint32_t secondResult;
    const char* record;
  };
  const Case cases[] = {
      {Role::Console, ERROR_ALREADY_EXISTS, "console "},
      {Role::Service, ERROR_ACCESS_DENIED, "service "},
  };
  const std::string path = paths::GlobalLockPath("Global\\VqInstance");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    InstanceLock first;
    ASSERT_EQ(first.Acquire("Global\\VqInstance", c.holder), 0u);
    EXPECT_TRUE(first.Held());
    EXPECT_EQ(vqtest::ReadFileBytes(path), c.record + std::to_string(::getpid()) + "\n");

    // A second open of the file is refused like another process would be.
    for (Role second : {Role::Console, Role::Service}) {
      InstanceLock other;
      EXPECT_EQ(other.Acquire("Global\\VqInstance", second), c.secondResult);
      EXPECT_FALSE(other.Held());
    }
    EXPECT_TRUE(InstanceLock::IsHeld("Global\\VqInstance"));

    first.Release();
    EXPECT_FALSE(first.Held());
    EXPECT_FALSE(InstanceLock::IsHeld("Global\\VqInstance"));
    EXPECT_EQ(vqtest::ReadFileBytes(path), "");
  }
}

TEST_F(InstanceLockTest, ReleaseAndDestructionFreeTheLock) {
  {
    InstanceLock a;
    ASSERT_EQ(a.Acquire("Global\\VqFree", Role::Service), 0u);
  }
  InstanceLock b;
  EXPECT_EQ(b.Acquire("Global\\VqFree", Role::Console), 0u);
  b.Release();
  b.Release();  // harmless
  InstanceLock c;
  EXPECT_EQ(c.Acquire("Global\\VqFree", Role::Console), 0u);
}

TEST_F(InstanceLockTest, LockFileLivesInTheGlobalFolderWithMode0644) {
  const mode_t oldMask = ::umask(022);
  EXPECT_FALSE(InstanceLock::IsHeld("Global\\VqMode"));  // no file yet
  InstanceLock lock;
  ASSERT_EQ(lock.Acquire("Global\\VqMode", Role::Console), 0u);
  struct stat st{};
  ASSERT_EQ(::stat((root.path() + "/run/tarnwickgate/global/VqMode.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ::umask(oldMask);
}

TEST_F(InstanceLockTest, AnEmptyRecordCountsAsConsole) {
  // The holder took the lock but has not written its role yet.
  GlobalSemaphore bare;
  ASSERT_EQ(bare.Create("Global\\VqEarly"), 0u);
  ASSERT_TRUE(bare.TryAcquire());
  InstanceLock second;
  EXPECT_EQ(second.Acquire("Global\\VqEarly", Role::Service), ERROR_ALREADY_EXISTS);
}

TEST_F(InstanceLockTest, UnusableFolderGivesAWin32Error) {
  // A file where the run folder should be: the lock file cannot be made.
  paths::CreateDirectories(root.path() + "/run");
  vqtest::WriteFileBytes(root.path() + "/run/tarnwickgate", "not a folder");
  InstanceLock lock;
  const uint32_t err = lock.Acquire("Global\\VqBlocked", Role::Console);
  EXPECT_NE(err, 0u);
  EXPECT_NE(err, ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(lock.Held());
  GlobalSemaphore sem;
  EXPECT_NE(sem.Create("Global\\VqBlocked"), 0u);
  EXPECT_FALSE(sem.Created());
  EXPECT_FALSE(sem.TryAcquire());
}

// The lock belongs to the holding process: another process is refused while
// it lives and gets the lock once it is gone, even without a Release.
TEST_F(InstanceLockTest, HolderInAnotherProcessAndItsDeath) {
  int ready[2], quit[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(quit), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    ::close(quit[1]);
    InstanceLock lock;
    const char status = lock.Acquire("Global\\VqCross", Role::Service) == 0 ? 'y' : 'n';
    ssize_t rc = ::write(ready[1], &status, 1);
    char c;
    rc = ::read(quit[0], &c, 1);
    (void)rc;
    ::_exit(0);  // dies holding the lock
  }
  ::close(ready[1]);
  ::close(quit[0]);
  char status = 0;
  ASSERT_EQ(::read(ready[0], &status, 1), 1);
  EXPECT_EQ(status, 'y');

  InstanceLock mine;
  EXPECT_EQ(mine.Acquire("Global\\VqCross", Role::Console), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(InstanceLock::IsHeld("Global\\VqCross"));

  ::close(quit[1]);  // the child reads EOF and exits
  int wstatus = 0;
  ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
  ::close(ready[0]);
  EXPECT_FALSE(InstanceLock::IsHeld("Global\\VqCross"));
  EXPECT_EQ(mine.Acquire("Global\\VqCross", Role::Console), 0u);
}

TEST_F(InstanceLockTest, SemaphoreTakesOneHolderAtATime) {
  GlobalSemaphore sem;
  EXPECT_FALSE(sem.Created());
  EXPECT_FALSE(sem.TryAcquire());  // nothing to take before Create
  ASSERT_EQ(sem.Create("Global\\VqSem"), 0u);
  EXPECT_TRUE(sem.Created());

  EXPECT_EQ(sem.Release(), ERROR_TOO_MANY_POSTS);
  EXPECT_TRUE(sem.TryAcquire());
  EXPECT_FALSE(sem.TryAcquire());  // count is 1, even for the same object

  GlobalSemaphore other;  // the same name opened elsewhere in the process
  ASSERT_EQ(other.Create("Global\\VqSem"), 0u);
  EXPECT_FALSE(other.TryAcquire());

  EXPECT_EQ(sem.Release(), 0u);
  EXPECT_EQ(sem.Release(), ERROR_TOO_MANY_POSTS);
  EXPECT_TRUE(other.TryAcquire());
  EXPECT_FALSE(sem.TryAcquire());
  EXPECT_EQ(other.Release(), 0u);
}

TEST_F(InstanceLockTest, SemaphoreReleasedFromAnotherThread) {
  GlobalSemaphore sem;
  ASSERT_EQ(sem.Create("Global\\VqSemThread"), 0u);
  ASSERT_TRUE(sem.TryAcquire());
  uint32_t released = 1;
  std::thread t([&] { released = sem.Release(); });
  t.join();
  EXPECT_EQ(released, 0u);
  EXPECT_TRUE(sem.TryAcquire());

  // Concurrent takers: exactly one wins.
  EXPECT_EQ(sem.Release(), 0u);
  int wins = 0;
  bool a = false, b = false;
  std::thread ta([&] { a = sem.TryAcquire(); });
  std::thread tb([&] { b = sem.TryAcquire(); });
  ta.join();
  tb.join();
  wins = int(a) + int(b);
  EXPECT_EQ(wins, 1);
}

}  // namespace
}  // namespace platform
