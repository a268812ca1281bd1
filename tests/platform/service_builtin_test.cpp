#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/temp_root.h"
#include "platform/registry/registry.h"
#include "platform/service/registry_text.h"
#include "platform/service/service.h"
#include "platform/service/virtual_adapter.h"
#include "platform/win32/win32_error.h"

namespace svc = platform::service;
namespace reg = platform::registry;

namespace {

// Answers every call with ERROR_SERVICE_DOES_NOT_EXIST and counts them.
class CountingManager final : public svc::ServiceManager {
 public:
  explicit CountingManager(int& calls) : calls_(calls) {}
  uint32_t CreateService(const svc::ServiceConfig&) override { return Call(); }
  uint32_t OpenService(const std::string&) override { return Call(); }
  uint32_t DeleteService(const std::string&) override { return Call(); }
  uint32_t QueryServiceConfig(const std::string&, svc::ServiceConfig&) override { return Call(); }
  uint32_t ChangeStartType(const std::string&, uint32_t) override { return Call(); }
  uint32_t StartService(const std::string&) override { return Call(); }
  uint32_t ControlService(const std::string&, uint32_t, svc::ServiceStatus&) override { return Call(); }
  uint32_t QueryServiceStatus(const std::string&, svc::ServiceStatus&) override { return Call(); }

 private:
  uint32_t Call() {
    ++calls_;
    return platform::ERROR_SERVICE_DOES_NOT_EXIST;
  }
  int& calls_;
};

TEST(BuiltinServicesTest, TheMachinesServicesRunAndStayOutOfReach) {
  int innerCalls = 0;
  bool adapter = false;
  auto manager = svc::MakeBuiltinServicesManager(std::make_unique<CountingManager>(innerCalls),
                                                 [&] { return adapter; });
  struct Case {
    const char* name;
    bool adapterUsable;
    uint32_t state;
    uint32_t start;
  };
  const Case cases[] = {
      {"Dhcp", false, svc::SERVICE_RUNNING, platform::ERROR_SERVICE_ALREADY_RUNNING},
      {"DHCP", false, svc::SERVICE_RUNNING, platform::ERROR_SERVICE_ALREADY_RUNNING},
      {"winmgmt", false, svc::SERVICE_RUNNING, platform::ERROR_SERVICE_ALREADY_RUNNING},
      {"vqsvc", true, svc::SERVICE_RUNNING, platform::ERROR_SERVICE_ALREADY_RUNNING},
      {"vqsvc", false, svc::SERVICE_STOPPED, platform::ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.adapterUsable ? " with adapter" : ""));
    adapter = c.adapterUsable;
    svc::ServiceStatus status;
    ASSERT_EQ(manager->QueryServiceStatus(c.name, status), platform::ERROR_SUCCESS);
    EXPECT_EQ(status.currentState, c.state);
    EXPECT_EQ(manager->OpenService(c.name), platform::ERROR_SUCCESS);
    EXPECT_EQ(manager->StartService(c.name), c.start);
    EXPECT_EQ(manager->ControlService(c.name, svc::SERVICE_CONTROL_STOP, status),
              c.state == svc::SERVICE_RUNNING ? platform::ERROR_SERVICE_CANNOT_ACCEPT_CTRL
                                              : platform::ERROR_SERVICE_NOT_ACTIVE);
    svc::ServiceConfig config;
    ASSERT_EQ(manager->QueryServiceConfig(c.name, config), platform::ERROR_SUCCESS);
    EXPECT_EQ(config.startType, svc::SERVICE_AUTO_START);
    EXPECT_EQ(manager->ChangeStartType(c.name, svc::SERVICE_DISABLED), platform::ERROR_ACCESS_DENIED);
    EXPECT_EQ(manager->DeleteService(c.name), platform::ERROR_ACCESS_DENIED);
    svc::ServiceConfig clash;
    clash.name = c.name;
    clash.binaryPathName = "/bin/true";
    EXPECT_EQ(manager->CreateService(clash), platform::ERROR_SERVICE_EXISTS);
  }
  EXPECT_EQ(innerCalls, 0);

  // Every other name is the backend's.
  svc::ServiceStatus status;
  EXPECT_EQ(manager->QueryServiceStatus("Dhcpx", status), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(manager->StartService("Marrowlantern"), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(innerCalls, 2);
}

void AddAdapter(const std::string& subkey, const std::string& componentId, uint32_t type = reg::REG_SZ) {
  reg::Key key;
  ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE,
                             std::string(svc::kNetworkAdapterClassKey) + "\\" + subkey, reg::Access::Write, key),
            platform::ERROR_SUCCESS);
  ASSERT_EQ(key.SetValue("ComponentId", type, svc::detail::RegSzImage(componentId)), platform::ERROR_SUCCESS);
}

TEST(BuiltinServicesTest, TheAdapterCountsWhenRegisteredAndItsDeviceOpens) {
  vqtest::TempRoot root;
  const std::string device = root.At("/tun");
  vqtest::WriteFileBytes(device, "");
  EXPECT_FALSE(svc::VirtualAdapterRegistered());  // no class key at all

  AddAdapter("0000", "other");
  AddAdapter("0001", "VQSVC");                 // case differs
  AddAdapter("0002", "vqsvc", reg::REG_BINARY);  // not text
  EXPECT_FALSE(svc::VirtualAdapterRegistered());
  EXPECT_FALSE(svc::VirtualAdapterUsable(device));

  AddAdapter("0003", "vqsvc");
  EXPECT_TRUE(svc::VirtualAdapterRegistered());
  EXPECT_TRUE(svc::VirtualAdapterUsable(device));
  EXPECT_FALSE(svc::VirtualAdapterUsable(root.At("/no-such-device")));
}

TEST(BuiltinServicesTest, TheOpenedManagerHasThem) {
  vqtest::TempRoot root;
  uint32_t err = 1;
  auto manager = svc::OpenServiceManager(err);
  ASSERT_NE(manager, nullptr);
  svc::ServiceStatus status;
  ASSERT_EQ(manager->QueryServiceStatus("winmgmt", status), platform::ERROR_SUCCESS);
  EXPECT_EQ(status.currentState, svc::SERVICE_RUNNING);
  ASSERT_EQ(manager->QueryServiceStatus("vqsvc", status), platform::ERROR_SUCCESS);
  EXPECT_EQ(status.currentState, svc::SERVICE_STOPPED);  // no adapter under a fresh root
}

}  // namespace
