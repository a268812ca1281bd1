#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_root.h"
#include "platform/service/process_identity.h"
#include "platform/service/service.h"
#include "platform/service/service_status_file.h"
#include "platform/service/stop_signals.h"
#include "platform/service_signal_state.h"
#include "platform/win32/win32_error.h"

namespace svc = platform::service;

namespace {

std::map<std::string, std::string> ReadReport(const std::string& path) {
  std::map<std::string, std::string> out;
  std::istringstream in(vqtest::ReadFileBytes(path));
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uint32_t err = 1;
    manager_ = svc::OpenServiceManager(err);
    ASSERT_EQ(err, platform::ERROR_SUCCESS);
    ASSERT_NE(manager_, nullptr);
    // The program path holds a blank, so the stored command line must quote it.
    const std::string dir = root_.At("/opt/Tarnwick Gate");
    std::filesystem::create_directories(dir);
    child_ = dir + "/service child";
    std::filesystem::create_symlink(SERVICE_TEST_CHILD_PATH, child_);
  }

  // A service left running by a failing test must not outlive it.
  void TearDown() override {
    for (const std::string& name : started_) {
      svc::detail::StatusRecord record;
      if (svc::detail::ReadStatusRecord(name, record) != platform::ERROR_SUCCESS) continue;
      if (svc::detail::IsProcessAlive(record.pid, record.startTime)) {
        ::kill(record.pid, SIGKILL);
        ::waitpid(record.pid, nullptr, 0);
      }
    }
  }

  svc::ServiceConfig Config(const std::string& name, const std::string& args) {
    svc::ServiceConfig c;
    c.name = name;
    c.displayName = "Test " + name;
    c.binaryPathName = "\"" + child_ + "\" " + args;
    c.startType = svc::SERVICE_DEMAND_START;
    return c;
  }

  uint32_t Start(const std::string& name) {
    started_.push_back(name);
    return manager_->StartService(name);
  }

  // Polls the state until it is `want` (or any state but START_PENDING when
  // want is 0); returns the last state seen.
  uint32_t WaitForState(const std::string& name, uint32_t want) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    svc::ServiceStatus status;
    for (;;) {
      EXPECT_EQ(manager_->QueryServiceStatus(name, status), platform::ERROR_SUCCESS);
      if (want ? status.currentState == want : status.currentState != svc::SERVICE_START_PENDING)
        return status.currentState;
      if (std::chrono::steady_clock::now() > deadline) return status.currentState;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  vqtest::ScopedSignalState signals_;  // restored last
  vqtest::TempRoot root_;
  std::unique_ptr<svc::ServiceManager> manager_;
  std::string child_;
  std::vector<std::string> started_;
};

TEST_F(ServiceManagerTest, CreateStartStopDelete) {
  // The starter's own state must not reach the service.
  svc::BlockStopSignals();
  ::setenv("VQ_TEST_MARKER", "passed-through", 1);
  const int leakFd = ::open("/dev/null", O_RDONLY);  // deliberately not close-on-exec
  ASSERT_GE(leakFd, 0);
  const std::string report = root_.At("/report.txt");

  svc::ServiceConfig config = Config("VqTestSvc", "VqTestSvc serve \"" + report + "\" " + std::to_string(leakFd));
  ASSERT_EQ(manager_->CreateService(config), platform::ERROR_SUCCESS);
  EXPECT_EQ(manager_->CreateService(Config("VQTESTSVC", "x")), platform::ERROR_SERVICE_EXISTS);
  EXPECT_EQ(manager_->OpenService("vqtestsvc"), platform::ERROR_SUCCESS);

  svc::ServiceStatus status;
  ASSERT_EQ(manager_->QueryServiceStatus("VqTestSvc", status), platform::ERROR_SUCCESS);
  EXPECT_EQ(status.currentState, svc::SERVICE_STOPPED);

  ASSERT_EQ(Start("vqtestsvc"), platform::ERROR_SUCCESS);
  ::close(leakFd);
  ASSERT_EQ(WaitForState("VqTestSvc", svc::SERVICE_RUNNING), svc::SERVICE_RUNNING);
  EXPECT_EQ(Start("VqTestSvc"), platform::ERROR_SERVICE_ALREADY_RUNNING);

  ASSERT_EQ(manager_->QueryServiceStatus("VqTestSvc", status), platform::ERROR_SUCCESS);
  EXPECT_EQ(status.controlsAccepted, svc::SERVICE_ACCEPT_STOP | svc::SERVICE_ACCEPT_SHUTDOWN);
  svc::ServiceConfig stored;
  ASSERT_EQ(manager_->QueryServiceConfig("VQTESTSVC", stored), platform::ERROR_SUCCESS);
  EXPECT_EQ(stored.name, "VqTestSvc");
  EXPECT_EQ(stored.binaryPathName, config.binaryPathName);
  EXPECT_EQ(stored.displayName, config.displayName);

  auto seen = ReadReport(report);
  EXPECT_EQ(seen["name"], "VqTestSvc");
  EXPECT_EQ(seen["marker"], "passed-through");
  EXPECT_EQ(seen["sessionLeader"], "1");
  EXPECT_EQ(seen["stdin"], "/dev/null");
  EXPECT_EQ(seen["checkFd"], "closed");
  EXPECT_EQ(seen["sigtermBlocked"], "0");
  ::unsetenv("VQ_TEST_MARKER");

  ASSERT_EQ(manager_->ControlService("VqTestSvc", svc::SERVICE_CONTROL_STOP, status), platform::ERROR_SUCCESS);
  EXPECT_NE(status.currentState, svc::SERVICE_STOPPED);
  ASSERT_EQ(WaitForState("VqTestSvc", svc::SERVICE_STOPPED), svc::SERVICE_STOPPED);
  EXPECT_EQ(manager_->ControlService("VqTestSvc", svc::SERVICE_CONTROL_STOP, status),
            platform::ERROR_SERVICE_NOT_ACTIVE);

  ASSERT_EQ(manager_->DeleteService("vqTestSvc"), platform::ERROR_SUCCESS);
  EXPECT_EQ(manager_->OpenService("VqTestSvc"), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(manager_->DeleteService("VqTestSvc"), platform::ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServiceManagerTest, UnknownServiceIsReportedByEveryCall) {
  svc::ServiceConfig config;
  svc::ServiceStatus status;
  const std::string name = "NoSuchService";
  EXPECT_EQ(manager_->OpenService(name), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(manager_->DeleteService(name), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(manager_->QueryServiceConfig(name, config), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(manager_->ChangeStartType(name, svc::SERVICE_AUTO_START), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(manager_->StartService(name), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(manager_->ControlService(name, svc::SERVICE_CONTROL_STOP, status),
            platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(manager_->QueryServiceStatus(name, status), platform::ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServiceManagerTest, DisabledServiceDoesNotStart) {
  ASSERT_EQ(manager_->CreateService(Config("Sleepy", "Sleepy")), platform::ERROR_SUCCESS);
  ASSERT_EQ(manager_->ChangeStartType("SLEEPY", svc::SERVICE_DISABLED), platform::ERROR_SUCCESS);
  svc::ServiceConfig stored;
  ASSERT_EQ(manager_->QueryServiceConfig("Sleepy", stored), platform::ERROR_SUCCESS);
  EXPECT_EQ(stored.startType, svc::SERVICE_DISABLED);
  EXPECT_EQ(Start("Sleepy"), platform::ERROR_SERVICE_DISABLED);
  EXPECT_EQ(manager_->ChangeStartType("Sleepy", 9), platform::ERROR_INVALID_PARAMETER);

  svc::ServiceStatus status;
  ASSERT_EQ(manager_->QueryServiceStatus("Sleepy", status), platform::ERROR_SUCCESS);
  EXPECT_EQ(status.currentState, svc::SERVICE_STOPPED);
}

TEST_F(ServiceManagerTest, AServiceThatDiesWithoutReportingIsStopped) {
  ASSERT_EQ(manager_->CreateService(Config("Crashy", "Crashy die")), platform::ERROR_SUCCESS);
  ASSERT_EQ(Start("Crashy"), platform::ERROR_SUCCESS);
  ASSERT_EQ(WaitForState("Crashy", svc::SERVICE_STOPPED), svc::SERVICE_STOPPED);

  // The file still holds its last word; the stop came from the process table,
  // and the ended child was reaped on the way.
  svc::detail::StatusRecord record;
  ASSERT_EQ(svc::detail::ReadStatusRecord("Crashy", record), platform::ERROR_SUCCESS);
  EXPECT_EQ(record.status.currentState, svc::SERVICE_RUNNING);
  errno = 0;
  EXPECT_EQ(::waitpid(record.pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  svc::ServiceStatus status;
  EXPECT_EQ(manager_->ControlService("Crashy", svc::SERVICE_CONTROL_STOP, status),
            platform::ERROR_SERVICE_NOT_ACTIVE);
  // And it can be started again.
  ASSERT_EQ(Start("Crashy"), platform::ERROR_SUCCESS);
  EXPECT_EQ(WaitForState("Crashy", svc::SERVICE_STOPPED), svc::SERVICE_STOPPED);
}

TEST_F(ServiceManagerTest, MissingProgramFailsTheStart) {
  svc::ServiceConfig config = Config("Ghost", "");
  config.binaryPathName = "\"" + root_.At("/opt/nothing here/Brindleway") + "\" -s control";
  ASSERT_EQ(manager_->CreateService(config), platform::ERROR_SUCCESS);
  EXPECT_EQ(Start("Ghost"), platform::ERROR_FILE_NOT_FOUND);
  svc::ServiceStatus status;
  ASSERT_EQ(manager_->QueryServiceStatus("Ghost", status), platform::ERROR_SUCCESS);
  EXPECT_EQ(status.currentState, svc::SERVICE_STOPPED);
}

TEST_F(ServiceManagerTest, TwoStartsAtOnceSpawnOneProcess) {
  ASSERT_EQ(manager_->CreateService(Config("Racer", "Racer")), platform::ERROR_SUCCESS);
  started_.push_back("Racer");
  uint32_t results[2] = {99, 99};
  {
    std::jthread a([&] { results[0] = manager_->StartService("Racer"); });
    std::jthread b([&] { results[1] = manager_->StartService("Racer"); });
  }
  std::sort(std::begin(results), std::end(results));
  EXPECT_EQ(results[0], platform::ERROR_SUCCESS);
  EXPECT_EQ(results[1], platform::ERROR_SERVICE_ALREADY_RUNNING);

  ASSERT_EQ(WaitForState("Racer", svc::SERVICE_RUNNING), svc::SERVICE_RUNNING);
  svc::ServiceStatus status;
  ASSERT_EQ(manager_->ControlService("Racer", svc::SERVICE_CONTROL_STOP, status), platform::ERROR_SUCCESS);
  EXPECT_EQ(WaitForState("Racer", svc::SERVICE_STOPPED), svc::SERVICE_STOPPED);
}

// The status file names a pid; only the process that started at the
// recorded time counts, so a reused pid is never taken for the service
// (nor sent its SIGTERM).
TEST_F(ServiceManagerTest, StatusCountsOnlyForTheRecordedProcess) {
  ASSERT_EQ(manager_->CreateService(Config("Recorded", "Recorded")), platform::ERROR_SUCCESS);
  const uint64_t ownStart = svc::detail::ProcessStartTime(::getpid()).value();
  struct Case {
    const char* what;
    pid_t pid;
    uint64_t startTime;
    uint32_t fileState;
    uint32_t expected;
  };
  const Case cases[] = {
      {"live process, same start", ::getpid(), ownStart, svc::SERVICE_RUNNING, svc::SERVICE_RUNNING},
      {"pid reused by a later process", ::getpid(), ownStart + 1, svc::SERVICE_RUNNING, svc::SERVICE_STOPPED},
      {"no such process", 0x7ffffff0, ownStart, svc::SERVICE_RUNNING, svc::SERVICE_STOPPED},
      {"pid zero", 0, 0, svc::SERVICE_START_PENDING, svc::SERVICE_STOPPED},
      {"stopped by its own word", ::getpid(), ownStart, svc::SERVICE_STOPPED, svc::SERVICE_STOPPED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    svc::detail::StatusRecord record;
    record.pid = c.pid;
    record.startTime = c.startTime;
    record.status.currentState = c.fileState;
    record.status.controlsAccepted = c.fileState == svc::SERVICE_STOPPED ? 0 : svc::SERVICE_ACCEPT_STOP;
    ASSERT_EQ(svc::detail::WriteStatusRecord("Recorded", record), platform::ERROR_SUCCESS);

    svc::ServiceStatus status;
    ASSERT_EQ(manager_->QueryServiceStatus("recorded", status), platform::ERROR_SUCCESS);
    EXPECT_EQ(status.currentState, c.expected);
    if (c.expected == svc::SERVICE_STOPPED) {
      EXPECT_EQ(status.controlsAccepted, 0u);
      // Must not signal whatever process holds that pid now (this one).
      EXPECT_EQ(manager_->ControlService("Recorded", svc::SERVICE_CONTROL_STOP, status),
                platform::ERROR_SERVICE_NOT_ACTIVE);
    } else {
      EXPECT_EQ(Start("Recorded"), platform::ERROR_SERVICE_ALREADY_RUNNING);
      started_.pop_back();  // "running" here is this very process
      EXPECT_EQ(manager_->ControlService("Recorded", svc::SERVICE_CONTROL_INTERROGATE, status),
                platform::ERROR_SUCCESS);
      EXPECT_EQ(status.currentState, svc::SERVICE_RUNNING);
    }
  }
}

TEST_F(ServiceManagerTest, CreateRefusesBadEntries) {
  svc::ServiceConfig noPath = Config("NoPath", "");
  noPath.binaryPathName = "";
  EXPECT_EQ(manager_->CreateService(noPath), platform::ERROR_INVALID_PARAMETER);
  svc::ServiceConfig badName = Config("../escape", "");
  EXPECT_EQ(manager_->CreateService(badName), platform::ERROR_INVALID_NAME);
  svc::ServiceConfig badStart = Config("BadStart", "");
  badStart.startType = 7;
  EXPECT_EQ(manager_->CreateService(badStart), platform::ERROR_INVALID_PARAMETER);
}

}  // namespace
