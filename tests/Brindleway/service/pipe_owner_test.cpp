// Whom the tunnel service talks to in the shared pipe folder: reports go
// only to a report pipe of root or of the user who asked for the channel,
// a stale report socket is cleared, and the service does not start beside
// a command pipe another user serves.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "Brindleway/common/gui_reports.h"
#include "common/child_process.h"
#include "common/foreign_pipe_server.h"
#include "common/log_reader.h"
#include "common/run_as_user.h"
#include "common/temp_root.h"
#include "platform/paths/paths.h"

namespace brindleway {
namespace {

using namespace vqtest;

class PipeOwner : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: serves pipes as other users";
    ::chmod(root_.path().c_str(), 0755);
    ASSERT_TRUE(platform::paths::PrepareRunFolders());
  }
  void TearDown() override { SetReportPipeUser(std::nullopt); }
  TempRoot root_;
};

// Sends one event while another user serves the report pipe; what that
// server saw.
int ReportToForeignServer() {
  ForeignPipeServer server(kNobodyUid, kReportPipeName, 3000);
  EXPECT_TRUE(server.Listening());
  NotifyGuiEvent(13);
  return server.Result();
}

TEST_F(PipeOwner, ReportsGoOnlyToTheOpenersUser) {
  SetReportPipeUser(std::nullopt);
  EXPECT_EQ(ReportToForeignServer(), kForeignGotNothing);
  EXPECT_NE(ReadLogText().find("The report pipe is served by another user, nothing sent"), std::string::npos);
  SetReportPipeUser(kNobodyUid);
  EXPECT_EQ(ReportToForeignServer(), kForeignGotMessage);
}

TEST_F(PipeOwner, AStaleReportSocketIsRemoved) {
  ASSERT_TRUE(LeaveStaleSocketAs(kNobodyUid, kReportPipeName));
  NotifyGuiEvent(13);
  EXPECT_FALSE(PipeFileExists(kReportPipeName));
}

TEST_F(PipeOwner, ServiceRefusesACommandPipeOfAnotherUser) {
  // The wait ends when the service connects; a sanitizer build on a loaded
  // machine may take seconds to get there.
  ForeignPipeServer server(kNobodyUid, "\\\\.\\pipe\\VardenlowBrindleway", 30000);
  ASSERT_TRUE(server.Listening());
  // The console run ends with its result -7 as the exit status.
  EXPECT_EQ(RunProgram({BRINDLEWAY_PATH}, 20000), 256 - 7);
  EXPECT_EQ(server.Result(), kForeignGotNothing);
  EXPECT_NE(ReadLogText().find("The command pipe is served by a process of uid 65534, not starting"),
            std::string::npos);
}

}  // namespace
}  // namespace brindleway
