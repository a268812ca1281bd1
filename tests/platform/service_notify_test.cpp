#include <gtest/gtest.h>

#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/notify_listener.h"
#include "common/temp_root.h"
#include "platform/service/process_identity.h"
#include "platform/service/service.h"
#include "platform/service/service_status_file.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"

namespace svc = platform::service;

namespace {

TEST(ServiceNotifyTest, SendsToAnAbstractSocket) {
  vqtest::NotifyListener listener;
  ASSERT_TRUE(listener.bound());
  EXPECT_TRUE(svc::NotifyServiceManager("READY=1"));
  EXPECT_EQ(listener.Receive(), "READY=1");
}

TEST(ServiceNotifyTest, SendsToASocketFile) {
  vqtest::TempRoot root;
  vqtest::NotifyListener restoresTheVariable;
  const std::string path = root.At("/notify.sock");
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  ASSERT_TRUE(svc::NotifyServiceManager("STOPPING=1"));
  char buf[64] = {};
  EXPECT_EQ(::recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT), 10);
  EXPECT_STREQ(buf, "STOPPING=1");
}

TEST(ServiceNotifyTest, NothingToSendToWithoutAUsableAddress) {
  vqtest::NotifyListener restoresTheVariable;
  for (const char* value : {"", "@", "relative/path", "/no/such/socket"}) {
    SCOPED_TRACE(value);
    ::setenv("NOTIFY_SOCKET", value, 1);
    EXPECT_FALSE(svc::NotifyServiceManager("READY=1"));
  }
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(svc::NotifyServiceManager("READY=1"));
}

// A started service tells the socket it is ready, and after SIGTERM (the
// STOP control) that it is stopping; nothing in between, nothing twice.
TEST(ServiceNotifyTest, AServiceReportsReadyThenStoppingAfterSigterm) {
  vqtest::TempRoot root;
  vqtest::NotifyListener listener;
  ASSERT_TRUE(listener.bound());
  uint32_t err = 1;
  auto manager = svc::OpenServiceManager(err);
  ASSERT_NE(manager, nullptr);
  svc::ServiceConfig config;
  config.name = "VqNotifySvc";
  config.binaryPathName = std::string(SERVICE_TEST_CHILD_PATH) + " VqNotifySvc serve";
  ASSERT_EQ(manager->CreateService(config), platform::ERROR_SUCCESS);
  ASSERT_EQ(manager->StartService("VqNotifySvc"), platform::ERROR_SUCCESS);

  EXPECT_EQ(listener.Receive(), "READY=1");
  svc::ServiceStatus status;
  ASSERT_EQ(manager->QueryServiceStatus("VqNotifySvc", status), platform::ERROR_SUCCESS);
  EXPECT_EQ(status.currentState, svc::SERVICE_RUNNING);
  ASSERT_EQ(manager->ControlService("VqNotifySvc", svc::SERVICE_CONTROL_STOP, status), platform::ERROR_SUCCESS);
  EXPECT_EQ(listener.Receive(), "STOPPING=1");
  EXPECT_EQ(listener.Receive(500), std::nullopt);

  // Do not leave the child behind if the stop did not take.
  svc::detail::StatusRecord record;
  if (svc::detail::ReadStatusRecord("VqNotifySvc", record) == platform::ERROR_SUCCESS &&
      svc::detail::IsProcessAlive(record.pid, record.startTime)) {
    for (int i = 0; i < 200 && svc::detail::IsProcessAlive(record.pid, record.startTime); ++i) ::usleep(20000);
    if (svc::detail::IsProcessAlive(record.pid, record.startTime)) {
      ADD_FAILURE() << "service did not stop";
      ::kill(record.pid, SIGKILL);
    }
  }
}

}  // namespace
