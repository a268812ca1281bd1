#include "Brindleway/service/service_install.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "Brindleway/common/constants.h"
#include "Brindleway/service/channel_service.h"
#include "platform/paths/paths.h"
#include "platform/service/service.h"
#include "platform/sync/event.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace brindleway {
namespace svc = platform::service;

namespace {

// The service's status and stop event, shared by ServiceMain and the
// control handler. The stop event exists before the handler is registered,
// so an early STOP is never lost.
struct ServiceGlobals {
  std::mutex mutex;
  svc::ServiceStatus status;
  svc::StatusHandle handle = 0;
  platform::Event stop{platform::Event::Reset::Manual};
};

ServiceGlobals& Globals() {
  static ServiceGlobals globals;
  return globals;
}

void ReportStatus(ServiceGlobals& g) {
  // Caller holds g.mutex.
  if (g.handle != 0) svc::SetServiceStatus(g.handle, g.status);
}

void ServiceCtrlHandler(uint32_t control) {
  ServiceGlobals& g = Globals();
  std::lock_guard<std::mutex> lock(g.mutex);
  if (control == svc::SERVICE_CONTROL_STOP || control == svc::SERVICE_CONTROL_SHUTDOWN) {
    g.status.currentState = svc::SERVICE_STOP_PENDING;
    ReportStatus(g);
    g.stop.Set();
    return;
  }
  ReportStatus(g);
}

void ServiceMain(const std::vector<std::string>&) {
  ServiceGlobals& g = Globals();
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    g.status = svc::ServiceStatus{};
    g.status.serviceType = kServiceType;
    g.status.currentState = svc::SERVICE_STOPPED;
    g.status.controlsAccepted = 0;
    g.handle = svc::RegisterServiceCtrlHandler(kServiceName, ServiceCtrlHandler);
    if (g.handle == 0) return;
    g.status.currentState = svc::SERVICE_START_PENDING;
    ReportStatus(g);
    g.status.controlsAccepted = svc::SERVICE_ACCEPT_STOP | svc::SERVICE_ACCEPT_SHUTDOWN;
    g.status.currentState = svc::SERVICE_RUNNING;
    ReportStatus(g);
  }
  const int result = RunChannelService(g.stop, platform::InstanceLock::Role::Service);
  std::lock_guard<std::mutex> lock(g.mutex);
  g.status.currentState = svc::SERVICE_STOP_PENDING;
  ReportStatus(g);
  g.status.controlsAccepted = 0;
  g.status.currentState = svc::SERVICE_STOPPED;
  if (result != 0) g.status.serviceSpecificExitCode = static_cast<uint32_t>(result);
  ReportStatus(g);
}

std::unique_ptr<svc::ServiceManager> OpenManager() {
  uint32_t error = 0;
  auto manager = svc::OpenServiceManager(error);
  if (!manager) LogPrint(LOG_ERR, "OpenSCManager failed\n");
  return manager;
}

// The manager, when the service exists in it.
std::unique_ptr<svc::ServiceManager> OpenOwnService() {
  auto manager = OpenManager();
  if (manager && manager->OpenService(kServiceName) != 0) {
    LogPrint(LOG_ERR, "OpenService failed\n");
    return nullptr;
  }
  return manager;
}

// Polls every second while the service is in `pending`; the final state,
// or 0 when the query failed, or ERROR_SERVICE_REQUEST_TIMEOUT.
uint32_t WaitWhilePending(svc::ServiceManager& manager, uint32_t pending, uint32_t until,
                          svc::ServiceStatus& status) {
  for (int waited = 0;; waited += kServicePollMs) {
    if (manager.QueryServiceStatus(kServiceName, status) != 0) {
      LogPrint(LOG_ERR, "QueryServiceStatus failed\n");
      return 0;
    }
    if (status.currentState != pending && (until == 0 || status.currentState == until)) return status.currentState;
    if (waited >= kServiceWaitLimitMs) return platform::ERROR_SERVICE_REQUEST_TIMEOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(kServicePollMs));
  }
}

}  // namespace

int InstallService() {
  // The folders the service and its clients meet in, before either runs.
  if (!platform::paths::PrepareRunFolders())
    LogPrint(LOG_ERR, "Cannot prepare the run folders (errno %d)\n", errno);
  auto manager = OpenManager();
  if (!manager) return -1;
  const std::string path = platform::paths::ModulePath();
  svc::ServiceConfig config;
  config.name = kServiceName;
  config.displayName = kServiceDisplayName;
  config.binaryPathName = "\"" + path + "\" " + kServiceControlArgument;
  config.serviceType = svc::SERVICE_WIN32_OWN_PROCESS;
  config.startType = svc::SERVICE_AUTO_START;
  config.errorControl = svc::SERVICE_ERROR_NORMAL;
  if (path.empty() || manager->CreateService(config) != 0) {
    LogPrint(LOG_ERR, "CreateService failed\n");
    return -1;
  }
  LogPrint(LOG_INFO, "Service %s installed\n", kServiceName);
  return 0;
}

int UninstallService() {
  auto manager = OpenManager();
  if (!manager) return -1;
  if (uint32_t error = manager->OpenService(kServiceName); error != 0) {
    if (error != platform::ERROR_SERVICE_DOES_NOT_EXIST) LogPrint(LOG_ERR, "OpenService failed\n");
    return -1;
  }
  svc::ServiceStatus status;
  if (manager->QueryServiceStatus(kServiceName, status) != 0) {
    LogPrint(LOG_ERR, "QueryServiceStatus failed\n");
    return -1;
  }
  if (status.currentState != svc::SERVICE_STOPPED) {
    LogPrint(LOG_ERR, "The service is still running\n");
    if (StopOwnService() != 0) {
      LogPrint(LOG_ERR, "Stopping service failed\n");
      return -1;
    }
  }
  if (manager->DeleteService(kServiceName) != 0) {
    LogPrint(LOG_ERR, "DeleteService failed\n");
    return -1;
  }
  LogPrint(LOG_INFO, "Service %s uninstalled\n", kServiceName);
  return 0;
}

int StartOwnService() {
  auto manager = OpenOwnService();
  if (!manager) return -1;
  if (manager->StartService(kServiceName) != 0) {
    LogPrint(LOG_ERR, "StartService failed\n");
    return -1;
  }
  svc::ServiceStatus status;
  const uint32_t state = WaitWhilePending(*manager, svc::SERVICE_START_PENDING, 0, status);
  if (state == 0) return -1;
  if (state == svc::SERVICE_RUNNING) {
    LogPrint(LOG_INFO, "Service %s started\n", kServiceName);
    return 0;
  }
  LogPrint(LOG_ERR, "Failed to start service\n");
  return -1;
}

int StopOwnService() {
  auto manager = OpenOwnService();
  if (!manager) return -1;
  svc::ServiceStatus status;
  if (manager->QueryServiceStatus(kServiceName, status) != 0) {
    LogPrint(LOG_ERR, "QueryServiceStatus failed\n");
    return -1;
  }
  if (status.currentState == svc::SERVICE_STOPPED) {
    LogPrint(LOG_ERR, "The service is already stopped\n");
    return -1;
  }
  if (manager->ControlService(kServiceName, svc::SERVICE_CONTROL_STOP, status) != 0) {
    LogPrint(LOG_ERR, "ControlService failed\n");
    return -1;
  }
  const uint32_t state = WaitWhilePending(*manager, 0, svc::SERVICE_STOPPED, status);
  if (state == 0) return -1;
  if (state != svc::SERVICE_STOPPED) {
    LogPrint(LOG_ERR, "Failed to stop service\n");
    return -1;
  }
  LogPrint(LOG_INFO, "Service %s stopped\n", kServiceName);
  return 0;
}

int RunServiceDispatcher() {
  if (svc::StartServiceCtrlDispatcher(kServiceName, ServiceMain) != 0) {
    LogPrint(LOG_ERR, "StartServiceCtrlDispatcher failed\n");
    return -1;
  }
  return 0;
}

}  // namespace brindleway
