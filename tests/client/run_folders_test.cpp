// The shared run folder as root prepares it, and who may serve and reach a
// name there: the client as an ordinary user, another user's server, a
// stale socket file the sticky bit keeps.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "client/app/client_constants.h"
#include "client/app/single_instance.h"
#include "common/child_process.h"
#include "common/eventually.h"
#include "common/foreign_pipe_server.h"
#include "common/run_as_user.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "platform/paths/paths.h"
#include "platform/pipe/pipe.h"
#include "platform/sync/instance_lock.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace {

using namespace vqtest;
namespace pipe = platform::pipe;

constexpr uid_t kOtherUid = 65533;
constexpr char kTestPipe[] = "\\\\.\\pipe\\VardenlowRunFolderTest";

mode_t ModeOf(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class RunFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: switches users and hands folders to root";
    // Other users must reach the folders below the test's root.
    ::chmod(root_.path().c_str(), 0755);
    ASSERT_EQ(RunProgram({BRINDLEWAY_PATH, "-s", "install"}), 0);
  }
  TempRoot root_;
};

TEST_F(RunFolders, InstallMakesThemSharedAndSticky) {
  const std::string run = platform::paths::RunDir();
  EXPECT_EQ(ModeOf(run), 0755u);
  EXPECT_EQ(ModeOf(run + "/pipe"), 01777u);
  EXPECT_EQ(ModeOf(run + "/global"), 01777u);
}

TEST_F(RunFolders, EarlierFoldersAreCorrected) {
  const std::string run = platform::paths::RunDir();
  ASSERT_EQ(::chmod((run + "/pipe").c_str(), 0755), 0);
  ASSERT_TRUE(platform::paths::PrepareRunFolders());
  EXPECT_EQ(ModeOf(run + "/pipe"), 01777u);
}

TEST_F(RunFolders, AnOrdinaryUserTakesTheClientLock) {
  // Also when root made the lock file first.
  {
    platform::InstanceLock root;
    ASSERT_EQ(root.Acquire(client::kInstanceMutexName, platform::InstanceLock::Role::Console), 0u);
  }
  EXPECT_EQ(RunAsUser(kNobodyUid, kNobodyGid, [] {
              platform::InstanceLock lock;
              return static_cast<int>(lock.Acquire(client::kInstanceMutexName,
                                                   platform::InstanceLock::Role::Console));
            }),
            0);
}

TEST_F(RunFolders, AServerOfAnotherUserIsRefusedAndGetsNothing) {
  ForeignPipeServer server(kNobodyUid, client::kWendlePipeName);
  ASSERT_TRUE(server.Listening());
  pipe::PipeConnection connection;
  EXPECT_EQ(pipe::Connect(client::kWendlePipeName, connection, 1000, ::getuid()), platform::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(connection.Valid());
  // The hand-over of a second copy refuses it just the same.
  EXPECT_EQ(client::SendStartToRunningInstance(), -1);
  EXPECT_EQ(server.Result(), kForeignGotNothing);
}

TEST_F(RunFolders, ClientLogsToItsOwnFolderWhenTheSharedLogIsClosed) {
  LogInit(nullptr);
  LogPrint(LOG_INFO, "service line\n");  // root makes the shared file, 0644
  const std::string config = root_.At("/nobody-config");
  ASSERT_EQ(::mkdir(config.c_str(), 0700), 0);
  ASSERT_EQ(::chown(config.c_str(), kNobodyUid, kNobodyGid), 0);
  EXPECT_EQ(RunAsUser(kNobodyUid, kNobodyGid, [&config] {
              ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
              LogAllowUserFallback(true);
              LogPrint(LOG_INFO, "client line one\n");
              LogPrint(LOG_INFO, "client line two\n");
              return 0;
            }),
            0);
  const std::string shared = ReadLogText();
  EXPECT_NE(shared.find("service line"), std::string::npos);
  EXPECT_EQ(shared.find("client line"), std::string::npos);
  const std::string own = ReadLogFile(config + "/tarnwickgate/log.txt");
  EXPECT_NE(own.find("client line one"), std::string::npos) << own;
  EXPECT_NE(own.find("client line two"), std::string::npos);
  const size_t notice = own.find("Cannot write ");
  ASSERT_NE(notice, std::string::npos);
  EXPECT_EQ(own.find("Cannot write ", notice + 1), std::string::npos);  // said once
}

TEST_F(RunFolders, AnotherUsersStaleSocketFailsWithItsOwner) {
  ASSERT_TRUE(LeaveStaleSocketAs(kNobodyUid, kTestPipe));
  EXPECT_EQ(RunAsUser(kOtherUid, kOtherUid, [] {
              pipe::PipeServer server;
              const uint32_t error = server.Create(kTestPipe, 0600);
              return error == platform::ERROR_ACCESS_DENIED && server.StaleOwner() == kNobodyUid ? 0 : 1;
            }),
            0);
  // Root, as the service is, removes a file nobody serves.
  EXPECT_EQ(pipe::RemoveStale(kTestPipe), 0u);
  EXPECT_FALSE(PipeFileExists(kTestPipe));
}

}  // namespace
