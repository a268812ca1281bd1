#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/notify_listener.h"
#include "common/temp_root.h"
#include "platform/service/service.h"
#include "platform/service/service_status_file.h"
#include "platform/service_signal_state.h"
#include "platform/win32/win32_error.h"
#include "support/service_control.h"

namespace svc = platform::service;

namespace {

// The manager's side as the tests script it. Each query takes the next
// scripted state; the last one repeats.
struct FakeScm {
  std::deque<uint32_t> states{svc::SERVICE_STOPPED};
  uint32_t startResult = platform::ERROR_SUCCESS;
  uint32_t controlResult = platform::ERROR_SUCCESS;
  uint32_t exitCode = 0;
  uint32_t startType = svc::SERVICE_AUTO_START;
  bool exists = true;
  int queries = 0;
  std::vector<std::string> calls;  // everything but queries, in order
  std::vector<svc::ServiceConfig> created;

  uint32_t NextState() {
    ++queries;
    const uint32_t s = states.front();
    if (states.size() > 1) states.pop_front();
    return s;
  }
};

class FakeManager final : public svc::ServiceManager {
 public:
  explicit FakeManager(FakeScm& scm) : scm_(scm) {}
  uint32_t CreateService(const svc::ServiceConfig& c) override {
    scm_.calls.push_back("create");
    scm_.created.push_back(c);
    return platform::ERROR_SUCCESS;
  }
  uint32_t OpenService(const std::string&) override { return Exists(); }
  uint32_t DeleteService(const std::string&) override {
    scm_.calls.push_back("delete");
    return Exists();
  }
  uint32_t QueryServiceConfig(const std::string& name, svc::ServiceConfig& out) override {
    if (uint32_t err = Exists()) return err;
    out.name = name;
    out.startType = scm_.startType;
    return platform::ERROR_SUCCESS;
  }
  uint32_t ChangeStartType(const std::string&, uint32_t startType) override {
    scm_.calls.push_back("config " + std::to_string(startType));
    if (uint32_t err = Exists()) return err;
    scm_.startType = startType;
    return platform::ERROR_SUCCESS;
  }
  uint32_t StartService(const std::string&) override {
    scm_.calls.push_back("start");
    return scm_.startResult;
  }
  uint32_t ControlService(const std::string&, uint32_t control, svc::ServiceStatus& out) override {
    scm_.calls.push_back("control " + std::to_string(control));
    out.currentState = svc::SERVICE_STOP_PENDING;
    return scm_.controlResult;
  }
  uint32_t QueryServiceStatus(const std::string&, svc::ServiceStatus& out) override {
    if (uint32_t err = Exists()) return err;
    out = svc::ServiceStatus{};
    out.currentState = scm_.NextState();
    out.win32ExitCode = scm_.exitCode;
    return platform::ERROR_SUCCESS;
  }

 private:
  uint32_t Exists() const { return scm_.exists ? platform::ERROR_SUCCESS : platform::ERROR_SERVICE_DOES_NOT_EXIST; }
  FakeScm& scm_;
};

class ServiceControlTest : public ::testing::Test {
 protected:
  ServiceControlTest()
      : control_([this](uint32_t&) { return std::make_unique<FakeManager>(scm_); },
                 [this](uint32_t ms) { sleeps_.push_back(ms); }, 5000) {
    control_.Init("Dhcp");
  }

  FakeScm scm_;
  std::vector<uint32_t> sleeps_;
  CServiceControl control_;
};

constexpr uint32_t STOPPED = svc::SERVICE_STOPPED;
constexpr uint32_t START_PENDING = svc::SERVICE_START_PENDING;
constexpr uint32_t STOP_PENDING = svc::SERVICE_STOP_PENDING;
constexpr uint32_t RUNNING = svc::SERVICE_RUNNING;

TEST_F(ServiceControlTest, StartWaitsWhilePendingWithinTheBound) {
  struct Case {
    const char* what;
    uint32_t startResult;
    std::deque<uint32_t> states;
    uint32_t exitCode;
    uint32_t expected;
    size_t polls;
  };
  const Case cases[] = {
      {"already running", platform::ERROR_SERVICE_ALREADY_RUNNING, {RUNNING}, 0, 0, 1},
      {"pending then running", 0, {START_PENDING, RUNNING}, 0, 0, 2},
      {"stuck pending", 0, {START_PENDING}, 0, platform::ERROR_SERVICE_REQUEST_TIMEOUT, 5},
      {"ends stopped", 0, {START_PENDING, STOPPED}, 0, platform::ERROR_SERVICE_NOT_ACTIVE, 2},
      {"ends stopped with its reason", 0, {STOPPED}, 1067, 1067, 1},
      {"start refused", platform::ERROR_SERVICE_DISABLED, {STOPPED}, 0, platform::ERROR_SERVICE_DISABLED, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    scm_ = FakeScm{};
    scm_.startResult = c.startResult;
    scm_.states = c.states;
    scm_.exitCode = c.exitCode;
    sleeps_.clear();
    EXPECT_EQ(control_.Start(), c.expected);
    EXPECT_EQ(scm_.queries, static_cast<int>(c.polls));
    EXPECT_EQ(sleeps_, std::vector<uint32_t>(c.polls, CServiceControl::kPollMs));
  }
}

TEST_F(ServiceControlTest, StopSendsOneControlAndWaitsForStopped) {
  scm_.states = {RUNNING, STOP_PENDING, STOP_PENDING, STOPPED};
  EXPECT_EQ(control_.Stop(), 0u);
  EXPECT_EQ(scm_.calls, (std::vector<std::string>{"control 1"}));
  EXPECT_EQ(sleeps_.size(), 3u);
}

TEST_F(ServiceControlTest, StoppingAStoppedServiceSendsNoControl) {
  scm_.states = {STOPPED};
  EXPECT_EQ(control_.Stop(), 0u);
  EXPECT_TRUE(scm_.calls.empty());
  EXPECT_TRUE(sleeps_.empty());
}

TEST_F(ServiceControlTest, AFailedStopControlIsReportedNotWaitedFor) {
  scm_.states = {RUNNING};
  scm_.controlResult = platform::ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  EXPECT_EQ(control_.Stop(), platform::ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_TRUE(sleeps_.empty());

  // Stopped on its own between the query and the control: done.
  scm_.controlResult = platform::ERROR_SERVICE_NOT_ACTIVE;
  EXPECT_EQ(control_.Stop(), 0u);
  EXPECT_TRUE(sleeps_.empty());

  // A stop that never completes ends at the bound.
  scm_.controlResult = 0;
  scm_.states = {RUNNING, STOP_PENDING};
  EXPECT_EQ(control_.Stop(), platform::ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_EQ(sleeps_.size(), 5u);
}

TEST_F(ServiceControlTest, RemovingARunningServiceStopsItFirst) {
  scm_.states = {RUNNING, RUNNING, STOPPED};
  EXPECT_EQ(control_.Remove(), 0u);
  EXPECT_EQ(scm_.calls, (std::vector<std::string>{"control 1", "delete"}));

  // When it cannot be stopped, it is not deleted.
  scm_ = FakeScm{};
  scm_.states = {RUNNING};
  scm_.controlResult = platform::ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  EXPECT_EQ(control_.Remove(), platform::ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(scm_.calls, (std::vector<std::string>{"control 1"}));

  scm_ = FakeScm{};
  EXPECT_EQ(control_.Remove(), 0u);
  EXPECT_EQ(scm_.calls, (std::vector<std::string>{"delete"}));
}

TEST_F(ServiceControlTest, StartTypeRoundTrip) {
  uint32_t startType = 0;
  ASSERT_EQ(control_.GetStartType(&startType), 1);
  EXPECT_EQ(startType, svc::SERVICE_AUTO_START);
  ASSERT_EQ(control_.Disable(), 0u);
  ASSERT_EQ(control_.GetStartType(&startType), 1);
  EXPECT_EQ(startType, svc::SERVICE_DISABLED);
  ASSERT_EQ(control_.SetDemandStart(), 0u);
  ASSERT_EQ(control_.GetStartType(&startType), 1);
  EXPECT_EQ(startType, svc::SERVICE_DEMAND_START);

  scm_.exists = false;
  EXPECT_EQ(control_.GetStartType(&startType), 0);
  EXPECT_EQ(control_.Disable(), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(control_.QueryState(), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(control_.IsInstalled(), 0);
}

TEST_F(ServiceControlTest, InstallTakesTheDefaults) {
  CServiceControl control([this](uint32_t&) { return std::make_unique<FakeManager>(scm_); },
                          [](uint32_t) {});
  control.Init("Marrowlantern");
  ASSERT_EQ(control.Install(), 0u);
  ASSERT_EQ(scm_.created.size(), 1u);
  const svc::ServiceConfig& c = scm_.created[0];
  EXPECT_EQ(c.displayName, "Marrowlantern");
  EXPECT_FALSE(c.binaryPathName.empty());  // the running program
  EXPECT_EQ(c.startType, svc::SERVICE_AUTO_START);
  EXPECT_EQ(c.errorControl, svc::SERVICE_ERROR_NORMAL);
  EXPECT_EQ(c.serviceType, svc::SERVICE_WIN32_OWN_PROCESS);
}

TEST(ServiceControlManagerTest, AManagerThatCannotOpenGivesItsError) {
  CServiceControl control(
      [](uint32_t& error) {
        error = platform::ERROR_ACCESS_DENIED;
        return std::unique_ptr<svc::ServiceManager>();
      },
      [](uint32_t) {});
  control.Init("Dhcp");
  EXPECT_EQ(control.Start(), platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(control.QueryState(), platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(control.IsInstalled(), 0);
}

TEST(ServiceControlSideTest, HandlerReportsStopPendingAndSignalsTheStopEvent) {
  CServiceControl control;
  control.Init("VqWrapped");
  control.Handler(svc::SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(control.Status().currentState, svc::SERVICE_STOPPED);
  EXPECT_FALSE(control.StopEvent().IsSet());
  control.Handler(svc::SERVICE_CONTROL_SHUTDOWN);
  EXPECT_EQ(control.Status().currentState, svc::SERVICE_STOP_PENDING);
  EXPECT_TRUE(control.StopEvent().Wait(0));
}

// The dispatcher runs the wrapper's main function, which walks through the
// states to STOPPED (its work is empty); systemd hears READY then STOPPING.
TEST(ServiceControlSideTest, DispatcherRunsServiceMainToStopped) {
  vqtest::ScopedSignalState signals;
  vqtest::TempRoot root;
  vqtest::NotifyListener listener;
  ::setenv(svc::kServiceNameEnv, "VqWrapped", 1);
  CServiceControl control;
  control.Init("VqWrapped");
  EXPECT_EQ(control.RunDispatcher(), 0u);
  ::unsetenv(svc::kServiceNameEnv);

  EXPECT_EQ(control.Status().currentState, svc::SERVICE_STOPPED);
  EXPECT_EQ(control.Status().serviceType, svc::SERVICE_WIN32);
  svc::detail::StatusRecord record;
  ASSERT_EQ(svc::detail::ReadStatusRecord("VqWrapped", record), platform::ERROR_SUCCESS);
  EXPECT_EQ(record.status.currentState, svc::SERVICE_STOPPED);
  EXPECT_EQ(listener.Receive(), "READY=1");
  EXPECT_EQ(listener.Receive(), "STOPPING=1");

  // Not started by the manager: refused.
  EXPECT_EQ(control.RunDispatcher(), platform::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

// The real supervisor with the real tunnel service, through the wrapper.
TEST(ServiceControlProcessTest, BrindlewayRoundTripReportsReadyAndStopping) {
  vqtest::TempRoot root;
  vqtest::NotifyListener listener;
  ASSERT_TRUE(listener.bound());
  CServiceControl control;
  control.Init("Marrowlantern", "", std::string("\"") + BRINDLEWAY_PATH + "\" -s control");
  EXPECT_EQ(control.IsInstalled(), 0);
  EXPECT_EQ(control.QueryState(), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  ASSERT_EQ(control.Install(), 0u);
  EXPECT_EQ(control.Install(), platform::ERROR_SERVICE_EXISTS);
  EXPECT_EQ(control.IsInstalled(), 1);
  EXPECT_EQ(control.QueryState(), svc::SERVICE_STOPPED);

  ASSERT_EQ(control.Start(), 0u);
  EXPECT_EQ(control.QueryState(), svc::SERVICE_RUNNING);
  EXPECT_EQ(listener.Receive(), "READY=1");

  ASSERT_EQ(control.Stop(), 0u);  // SIGTERM to the service
  EXPECT_EQ(control.QueryState(), svc::SERVICE_STOPPED);
  EXPECT_EQ(listener.Receive(), "STOPPING=1");

  ASSERT_EQ(control.Remove(), 0u);
  EXPECT_EQ(control.IsInstalled(), 0);
}

}  // namespace
