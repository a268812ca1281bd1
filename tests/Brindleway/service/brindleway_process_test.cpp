// The Brindleway program as a process under a VQ_ROOT: console runs, the
// instance mutex, stopping by signal, and the service round trip through
// the supervisor.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <climits>
#include <thread>

#include "common/child_process.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "platform/sync/instance_lock.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kMutex = "Global\\VardenlowBrindleway";

bool WaitHeld(bool held) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (platform::InstanceLock::IsHeld(kMutex) == held) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(BrindlewayProcess, ConsoleRunStopsOnSigtermAndASecondConsoleRunEndsWithMinus2) {
  vqtest::TempRoot root;
  vqtest::ChildProcess first({BRINDLEWAY_PATH});
  ASSERT_TRUE(WaitHeld(true));

  EXPECT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH}), 254);  // -2
  EXPECT_TRUE(Contains(vqtest::ReadLogText(), "LOG_ERR ["));
  EXPECT_TRUE(Contains(vqtest::ReadLogText(), "The application has already started"));

  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(20000), 0);
  EXPECT_FALSE(platform::InstanceLock::IsHeld(kMutex));
  const std::string log = vqtest::ReadLogText();
  EXPECT_TRUE(Contains(log, "Init SSL channel"));
  EXPECT_TRUE(Contains(log, "Handle channel exit message"));
  EXPECT_TRUE(Contains(log, "Clean SSL channel"));
  // Once stopped, a new console run may take the mutex again.
  vqtest::ChildProcess again({BRINDLEWAY_PATH});
  ASSERT_TRUE(WaitHeld(true));
  again.Signal(SIGINT);
  EXPECT_EQ(again.Wait(20000), 0);
}

TEST(BrindlewayProcess, ServiceRoundTripAndAConsoleRunBesideItEndsWithMinus3) {
  vqtest::TempRoot root;
  // Nothing installed yet: every action but install fails.
  EXPECT_NE(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "start"}), 0);
  EXPECT_NE(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "uninstall"}), 0);

  ASSERT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "INSTALL"}), 0);
  EXPECT_NE(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "install"}), 0);  // exists already
  EXPECT_NE(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "stop"}), 0);      // not running
  ASSERT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "start"}), 0);
  ASSERT_TRUE(WaitHeld(true));

  EXPECT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH}), 253);  // -3
  EXPECT_TRUE(Contains(vqtest::ReadLogText(), "The application has already run as service"));
  // Run by hand, the service's own command line cannot reach the manager.
  EXPECT_NE(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "control"}), 0);

  EXPECT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "stop"}), 0);
  EXPECT_TRUE(WaitHeld(false));
  EXPECT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "uninstall"}), 0);
  const std::string log = vqtest::ReadLogText();
  for (const char* line : {"Service Marrowlantern installed", "Service Marrowlantern started",
                           "Handle channel exit message", "Service Marrowlantern stopped",
                           "Service Marrowlantern uninstalled", "StartServiceCtrlDispatcher failed",
                           "The service is already stopped", "CreateService failed"})
    EXPECT_TRUE(Contains(log, line)) << line;
}

TEST(BrindlewayProcess, UninstallStopsARunningServiceFirst) {
  vqtest::TempRoot root;
  ASSERT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "install"}), 0);
  ASSERT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "start"}), 0);
  ASSERT_TRUE(WaitHeld(true));
  EXPECT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "uninstall"}), 0);
  EXPECT_TRUE(WaitHeld(false));
  EXPECT_TRUE(Contains(vqtest::ReadLogText(), "The service is still running"));
}

}  // namespace
