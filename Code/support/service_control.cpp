#include "support/service_control.h"

#include <chrono>
#include <thread>

#include "platform/paths/paths.h"
#include "platform/win32/win32_error.h"

namespace svc = platform::service;

CServiceControl::CServiceControl()
    : CServiceControl([](uint32_t& error) { return svc::OpenServiceManager(error); },
                      [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }) {}

CServiceControl::CServiceControl(ManagerFactory openManager, SleepFunction sleep, uint32_t waitLimitMs)
    : openManager_(std::move(openManager)), sleep_(std::move(sleep)), waitLimitMs_(waitLimitMs) {
  status_.serviceType = svc::SERVICE_WIN32_OWN_PROCESS;
  status_.currentState = svc::SERVICE_STOPPED;
  status_.controlsAccepted = svc::SERVICE_ACCEPT_STOP;
}

CServiceControl::~CServiceControl() = default;

void CServiceControl::Init(const std::string& name, const std::string& displayName,
                           const std::string& binaryPath) {
  serviceName_ = name;
  displayName_ = displayName.empty() ? name : displayName;
  binaryPath_ = binaryPath.empty() ? platform::paths::ModulePath() : binaryPath;
}

std::unique_ptr<svc::ServiceManager> CServiceControl::Open(uint32_t& error) {
  error = platform::ERROR_SUCCESS;
  auto manager = openManager_(error);
  if (!manager && error == platform::ERROR_SUCCESS) error = platform::ERROR_GEN_FAILURE;
  return manager;
}

uint32_t CServiceControl::Install() {
  uint32_t error = 0;
  auto manager = Open(error);
  if (!manager) return error;
  svc::ServiceConfig config;
  config.name = serviceName_;
  config.displayName = displayName_;
  config.binaryPathName = binaryPath_;
  config.serviceType = svc::SERVICE_WIN32_OWN_PROCESS;
  config.startType = svc::SERVICE_AUTO_START;
  config.errorControl = svc::SERVICE_ERROR_NORMAL;
  return manager->CreateService(config);
}

uint32_t CServiceControl::Remove() {
  uint32_t error = 0;
  auto manager = Open(error);
  if (!manager) return error;
  svc::ServiceStatus status;
  if (uint32_t err = manager->QueryServiceStatus(serviceName_, status)) return err;
  if (status.currentState != svc::SERVICE_STOPPED)
    if (uint32_t err = Stop()) return err;
  return manager->DeleteService(serviceName_);
}

// Pauses, queries, and goes on until `done` holds for the state or the wait
// limit is reached. 0 (status holds the final state), the query's error, or
// ERROR_SERVICE_REQUEST_TIMEOUT.
uint32_t CServiceControl::WaitFor(svc::ServiceManager& manager, bool (*done)(uint32_t state),
                                  svc::ServiceStatus& status) {
  for (uint32_t waited = 0;;) {
    sleep_(kPollMs);
    waited += kPollMs;
    if (uint32_t err = manager.QueryServiceStatus(serviceName_, status)) return err;
    if (done(status.currentState)) return platform::ERROR_SUCCESS;
    if (waited >= waitLimitMs_) return platform::ERROR_SERVICE_REQUEST_TIMEOUT;
  }
}

uint32_t CServiceControl::Start() {
  uint32_t error = 0;
  auto manager = Open(error);
  if (!manager) return error;
  const uint32_t err = manager->StartService(serviceName_);
  if (err != platform::ERROR_SUCCESS && err != platform::ERROR_SERVICE_ALREADY_RUNNING) return err;
  svc::ServiceStatus status;
  if (uint32_t waitErr = WaitFor(
          *manager, [](uint32_t state) { return state != svc::SERVICE_START_PENDING; }, status))
    return waitErr;
  if (status.currentState == svc::SERVICE_RUNNING) return platform::ERROR_SUCCESS;
  // It gave up on its own: its own word on why, if it left one.
  return status.win32ExitCode != 0 ? status.win32ExitCode : platform::ERROR_SERVICE_NOT_ACTIVE;
}

uint32_t CServiceControl::Stop() {
  uint32_t error = 0;
  auto manager = Open(error);
  if (!manager) return error;
  svc::ServiceStatus status;
  if (uint32_t err = manager->QueryServiceStatus(serviceName_, status)) return err;
  if (status.currentState == svc::SERVICE_STOPPED) return platform::ERROR_SUCCESS;
  const uint32_t err = manager->ControlService(serviceName_, svc::SERVICE_CONTROL_STOP, status);
  // Stopped between the query and the control: what we wanted.
  if (err == platform::ERROR_SERVICE_NOT_ACTIVE) return platform::ERROR_SUCCESS;
  if (err != platform::ERROR_SUCCESS) return err;
  return WaitFor(*manager, [](uint32_t state) { return state == svc::SERVICE_STOPPED; }, status);
}

uint32_t CServiceControl::QueryState() {
  uint32_t error = 0;
  auto manager = Open(error);
  if (!manager) return error;
  svc::ServiceStatus status;
  if (uint32_t err = manager->QueryServiceStatus(serviceName_, status)) return err;
  return status.currentState;
}

int CServiceControl::IsInstalled() {
  uint32_t error = 0;
  auto manager = Open(error);
  return manager && manager->OpenService(serviceName_) == platform::ERROR_SUCCESS ? 1 : 0;
}

int CServiceControl::GetStartType(uint32_t* startType) {
  uint32_t error = 0;
  auto manager = Open(error);
  if (!manager || !startType) return 0;
  svc::ServiceConfig config;
  if (manager->QueryServiceConfig(serviceName_, config) != platform::ERROR_SUCCESS) return 0;
  *startType = config.startType;
  return 1;
}

uint32_t CServiceControl::ChangeStartType(uint32_t startType) {
  uint32_t error = 0;
  auto manager = Open(error);
  if (!manager) return error;
  return manager->ChangeStartType(serviceName_, startType);
}

uint32_t CServiceControl::Disable() { return ChangeStartType(svc::SERVICE_DISABLED); }

uint32_t CServiceControl::SetDemandStart() { return ChangeStartType(svc::SERVICE_DEMAND_START); }

uint32_t CServiceControl::RunDispatcher() {
  // The dispatcher serves one service per process; a second run is refused there.
  return svc::StartServiceCtrlDispatcher(serviceName_,
                                         [this](const std::vector<std::string>& args) { ServiceMain(args); });
}

void CServiceControl::Report() {
  if (statusHandle_ != 0) svc::SetServiceStatus(statusHandle_, status_);
}

void CServiceControl::ServiceMain(const std::vector<std::string>&) {
  {
    std::lock_guard lock(statusMutex_);
    status_ = svc::ServiceStatus{};
    status_.serviceType = svc::SERVICE_WIN32;
    status_.currentState = svc::SERVICE_STOPPED;
    status_.controlsAccepted = svc::SERVICE_ACCEPT_STOP;
  }
  const svc::StatusHandle handle =
      svc::RegisterServiceCtrlHandler(serviceName_, [this](uint32_t control) { Handler(control); });
  if (handle == 0) return;
  {
    std::lock_guard lock(statusMutex_);
    statusHandle_ = handle;
    status_.currentState = svc::SERVICE_START_PENDING;
    Report();
    status_.controlsAccepted = svc::SERVICE_ACCEPT_STOP | svc::SERVICE_ACCEPT_SHUTDOWN;
    status_.currentState = svc::SERVICE_RUNNING;
    Report();
  }
  Run();
  std::lock_guard lock(statusMutex_);
  status_.currentState = svc::SERVICE_STOP_PENDING;
  Report();
  status_.controlsAccepted = 0;
  status_.currentState = svc::SERVICE_STOPPED;
  Report();
  statusHandle_ = 0;
}

void CServiceControl::Handler(uint32_t control) {
  std::lock_guard lock(statusMutex_);
  if (control == svc::SERVICE_CONTROL_STOP || control == svc::SERVICE_CONTROL_SHUTDOWN) {
    status_.currentState = svc::SERVICE_STOP_PENDING;
    Report();
    stopEvent_.Set();
    return;
  }
  Report();
}

svc::ServiceStatus CServiceControl::Status() const {
  std::lock_guard lock(statusMutex_);
  return status_;
}
