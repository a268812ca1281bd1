// The services of the system this program runs beside, which no entry of
// ours describes: the DHCP client ("Dhcp") and the management service
// ("winmgmt") are the machine's own and always run; the adapter driver
// ("vqsvc") runs when the virtual adapter is usable. They cannot be
// created, deleted, reconfigured, started beyond their state, or stopped.
// Every other name goes to the backend.
#include <functional>
#include <memory>
#include <string>

#include "platform/service/service.h"
#include "platform/service/service_name.h"
#include "platform/win32/win32_error.h"

namespace platform::service {
namespace {

constexpr const char* kBuiltinNames[] = {"Dhcp", "winmgmt", "vqsvc"};
constexpr const char* kAdapterService = "vqsvc";

// The name as we spell it, or nullptr when it is not built in.
const char* BuiltinName(const std::string& name) {
  for (const char* builtin : kBuiltinNames)
    if (detail::SameServiceName(name, builtin)) return builtin;
  return nullptr;
}

class BuiltinServicesManager final : public ServiceManager {
 public:
  BuiltinServicesManager(std::unique_ptr<ServiceManager> inner, std::function<bool()> adapterUsable)
      : inner_(std::move(inner)), adapterUsable_(std::move(adapterUsable)) {}

  uint32_t CreateService(const ServiceConfig& config) override {
    if (BuiltinName(config.name)) return ERROR_SERVICE_EXISTS;
    return inner_->CreateService(config);
  }

  uint32_t OpenService(const std::string& name) override {
    if (BuiltinName(name)) return ERROR_SUCCESS;
    return inner_->OpenService(name);
  }

  uint32_t DeleteService(const std::string& name) override {
    if (BuiltinName(name)) return ERROR_ACCESS_DENIED;
    return inner_->DeleteService(name);
  }

  uint32_t QueryServiceConfig(const std::string& name, ServiceConfig& out) override {
    const char* builtin = BuiltinName(name);
    if (!builtin) return inner_->QueryServiceConfig(name, out);
    ServiceConfig config;
    config.name = builtin;
    config.displayName = builtin;
    config.startType = SERVICE_AUTO_START;
    out = std::move(config);
    return ERROR_SUCCESS;
  }

  uint32_t ChangeStartType(const std::string& name, uint32_t startType) override {
    if (BuiltinName(name)) return ERROR_ACCESS_DENIED;
    return inner_->ChangeStartType(name, startType);
  }

  uint32_t StartService(const std::string& name) override {
    const char* builtin = BuiltinName(name);
    if (!builtin) return inner_->StartService(name);
    // Nothing here can bring up a missing adapter.
    return Status(builtin).currentState == SERVICE_RUNNING ? ERROR_SERVICE_ALREADY_RUNNING
                                                             : ERROR_FILE_NOT_FOUND;
  }

  uint32_t ControlService(const std::string& name, uint32_t control, ServiceStatus& out) override {
    const char* builtin = BuiltinName(name);
    if (!builtin) return inner_->ControlService(name, control, out);
    const ServiceStatus status = Status(builtin);
    if (status.currentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    if (control != SERVICE_CONTROL_INTERROGATE) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    out = status;
    return ERROR_SUCCESS;
  }

  uint32_t QueryServiceStatus(const std::string& name, ServiceStatus& out) override {
    const char* builtin = BuiltinName(name);
    if (!builtin) return inner_->QueryServiceStatus(name, out);
    out = Status(builtin);
    return ERROR_SUCCESS;
  }

 private:
  ServiceStatus Status(const char* builtin) const {
    ServiceStatus status;
    const bool runs = builtin != kAdapterService || (adapterUsable_ && adapterUsable_());
    status.currentState = runs ? SERVICE_RUNNING : SERVICE_STOPPED;
    // Running, they accept no control: the machine's services are not ours to stop.
    status.controlsAccepted = 0;
    return status;
  }

  std::unique_ptr<ServiceManager> inner_;
  std::function<bool()> adapterUsable_;
};

}  // namespace

std::unique_ptr<ServiceManager> MakeBuiltinServicesManager(std::unique_ptr<ServiceManager> inner,
                                                           std::function<bool()> adapterUsable) {
  return std::make_unique<BuiltinServicesManager>(std::move(inner), std::move(adapterUsable));
}

}  // namespace platform::service
