#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_root.h"
#include "platform/service/service.h"
#include "platform/service/service_status_file.h"
#include "platform/sync/event.h"
#include "platform/service_signal_state.h"
#include "platform/win32/win32_error.h"

namespace svc = platform::service;

namespace {

// Sets (or removes) VQ_SERVICE_NAME for one test.
class ScopedServiceNameEnv {
 public:
  explicit ScopedServiceNameEnv(const char* value) {
    if (const char* old = std::getenv(svc::kServiceNameEnv)) saved_ = old;
    if (value) ::setenv(svc::kServiceNameEnv, value, 1);
    else ::unsetenv(svc::kServiceNameEnv);
  }
  ~ScopedServiceNameEnv() {
    if (saved_) ::setenv(svc::kServiceNameEnv, saved_->c_str(), 1);
    else ::unsetenv(svc::kServiceNameEnv);
  }

 private:
  std::optional<std::string> saved_;
};

TEST(ServiceDispatcherTest, RefusesAProcessNotStartedForThatService) {
  vqtest::TempRoot root;
  for (const char* env : {static_cast<const char*>(nullptr), "OtherService", ""}) {
    SCOPED_TRACE(env ? env : "(unset)");
    ScopedServiceNameEnv scoped(env);
    bool ran = false;
    EXPECT_EQ(svc::StartServiceCtrlDispatcher("Marrowlantern", [&](const auto&) { ran = true; }),
              platform::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_FALSE(ran);
  }
}

TEST(ServiceDispatcherTest, StopSignalWaitsUntilStopIsAcceptedThenReachesTheHandler) {
  vqtest::ScopedSignalState signals;
  vqtest::TempRoot root;
  ScopedServiceNameEnv scoped("VqDispatchTest");
  const std::thread::id dispatcherThread = std::this_thread::get_id();
  std::vector<uint32_t> controls;
  std::thread::id handlerThread;
  std::vector<std::string> args;
  svc::StatusHandle handle = 0;
  platform::Event stopped(platform::Event::Reset::Manual);

  const uint32_t rc = svc::StartServiceCtrlDispatcher("vqdispatchtest", [&](const std::vector<std::string>& a) {
    args = a;
    EXPECT_EQ(svc::StartServiceCtrlDispatcher("vqdispatchtest", [](const auto&) {}),
              platform::ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(svc::RegisterServiceCtrlHandler("SomeoneElse", [](uint32_t) {}), 0u);
    handle = svc::RegisterServiceCtrlHandler("VQDISPATCHTEST", [&](uint32_t control) {
      handlerThread = std::this_thread::get_id();
      controls.push_back(control);
      stopped.Set();
    });
    ASSERT_NE(handle, 0u);

    svc::ServiceStatus status;
    status.currentState = svc::SERVICE_START_PENDING;
    ASSERT_TRUE(svc::SetServiceStatus(handle, status));
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    // Not accepted yet: the stop is kept, not lost and not delivered early.
    EXPECT_FALSE(stopped.Wait(150));

    status.currentState = svc::SERVICE_RUNNING;
    status.controlsAccepted = svc::SERVICE_ACCEPT_STOP;
    ASSERT_TRUE(svc::SetServiceStatus(handle, status));
    svc::detail::StatusRecord record;
    ASSERT_EQ(svc::detail::ReadStatusRecord("VqDispatchTest", record), platform::ERROR_SUCCESS);
    EXPECT_EQ(record.status.currentState, svc::SERVICE_RUNNING);
    EXPECT_EQ(record.pid, ::getpid());

    EXPECT_TRUE(stopped.Wait(5000));
    // Returns without reporting STOPPED itself.
  });

  EXPECT_EQ(rc, platform::ERROR_SUCCESS);
  EXPECT_EQ(args, (std::vector<std::string>{"vqdispatchtest"}));
  EXPECT_EQ(controls, (std::vector<uint32_t>{svc::SERVICE_CONTROL_STOP}));
  EXPECT_EQ(handlerThread, dispatcherThread);

  svc::detail::StatusRecord record;
  ASSERT_EQ(svc::detail::ReadStatusRecord("VqDispatchTest", record), platform::ERROR_SUCCESS);
  EXPECT_EQ(record.status.currentState, svc::SERVICE_STOPPED);
  EXPECT_EQ(record.status.controlsAccepted, 0u);

  // The handle died with the dispatcher.
  svc::ServiceStatus late;
  late.currentState = svc::SERVICE_RUNNING;
  EXPECT_FALSE(svc::SetServiceStatus(handle, late));
  EXPECT_EQ(svc::RegisterServiceCtrlHandler("VqDispatchTest", [](uint32_t) {}), 0u);
}

TEST(ServiceDispatcherTest, AMainThatNeverReportsStillEndsStopped) {
  vqtest::ScopedSignalState signals;
  vqtest::TempRoot root;
  ScopedServiceNameEnv scoped("Quiet");
  EXPECT_EQ(svc::StartServiceCtrlDispatcher("Quiet", [](const auto&) {}), platform::ERROR_SUCCESS);
  svc::detail::StatusRecord record;
  ASSERT_EQ(svc::detail::ReadStatusRecord("Quiet", record), platform::ERROR_SUCCESS);
  EXPECT_EQ(record.status.currentState, svc::SERVICE_STOPPED);
}

}  // namespace
