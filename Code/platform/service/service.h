// The service control manager and the service side of it.
//
// Manager side (install, remove, start, stop, query): ServiceManager, opened
// with OpenServiceManager(). Service entries live in a ServiceEntryStore (the
// registry). Two backends run them:
// - systemd, when the machine runs it (and no hermetic VQ_ROOT is set): the
//   calls become systemctl commands on a unit written per service;
// - otherwise a small supervisor: a started service runs as a detached
//   process whose pidfile and status file sit in <run>/services/, and a stop
//   control is SIGTERM to that process.
// Over either, the built-in services "Dhcp" and "winmgmt" always run and
// "vqsvc" runs when the virtual adapter is usable.
//
// Service side: StartServiceCtrlDispatcher() runs the service's main function
// on its own thread and turns SIGTERM and SIGINT into the STOP control for
// the handler that the main function registered; SetServiceStatus() publishes
// the status that QueryServiceStatus() reads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::service {

// Service types.
inline constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr uint32_t SERVICE_WIN32 = 0x30;
// Start types and error control.
inline constexpr uint32_t SERVICE_AUTO_START = 2;
inline constexpr uint32_t SERVICE_DEMAND_START = 3;
inline constexpr uint32_t SERVICE_DISABLED = 4;
inline constexpr uint32_t SERVICE_ERROR_NORMAL = 1;
// States.
inline constexpr uint32_t SERVICE_STOPPED = 1;
inline constexpr uint32_t SERVICE_START_PENDING = 2;
inline constexpr uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr uint32_t SERVICE_RUNNING = 4;
// Controls.
inline constexpr uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;
// Accepted controls.
inline constexpr uint32_t SERVICE_ACCEPT_STOP = 1;
inline constexpr uint32_t SERVICE_ACCEPT_SHUTDOWN = 4;

struct ServiceStatus {
  uint32_t serviceType = SERVICE_WIN32_OWN_PROCESS;
  uint32_t currentState = SERVICE_STOPPED;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

struct ServiceConfig {
  std::string name;
  std::string displayName;
  // The command line as the manager stores it: a program path, quoted when
  // it holds blanks, then its arguments ("\"/opt/x/Brindleway\" -s control").
  std::string binaryPathName;
  uint32_t serviceType = SERVICE_WIN32_OWN_PROCESS;
  uint32_t startType = SERVICE_DEMAND_START;
  uint32_t errorControl = SERVICE_ERROR_NORMAL;
};

// Where the manager keeps its service entries. Names compare without regard
// to case. Results are 0 or a Win32 code (ERROR_SERVICE_DOES_NOT_EXIST for an
// unknown name).
class ServiceEntryStore {
 public:
  virtual ~ServiceEntryStore() = default;
  virtual uint32_t Load(const std::string& name, ServiceConfig& out) = 0;
  virtual uint32_t Save(const ServiceConfig& config) = 0;
  virtual uint32_t Remove(const std::string& name) = 0;
};

// The registry key below HKEY_LOCAL_MACHINE that holds one subkey per service.
inline constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";

// Entries as registry keys kServicesKey\<name>: ImagePath, DisplayName
// (REG_SZ), Type, Start, ErrorControl (REG_DWORD).
std::unique_ptr<ServiceEntryStore> MakeRegistryServiceEntryStore();

// Results are 0 or the Win32 code of the failure.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // ERROR_SERVICE_EXISTS when the name is taken.
  virtual uint32_t CreateService(const ServiceConfig& config) = 0;
  // ERROR_SERVICE_DOES_NOT_EXIST when unknown.
  virtual uint32_t OpenService(const std::string& name) = 0;
  virtual uint32_t DeleteService(const std::string& name) = 0;
  virtual uint32_t QueryServiceConfig(const std::string& name, ServiceConfig& out) = 0;
  virtual uint32_t ChangeStartType(const std::string& name, uint32_t startType) = 0;
  // ERROR_SERVICE_ALREADY_RUNNING when it runs, ERROR_SERVICE_DISABLED when disabled.
  virtual uint32_t StartService(const std::string& name) = 0;
  // ERROR_SERVICE_NOT_ACTIVE when it does not run; out gets the status.
  virtual uint32_t ControlService(const std::string& name, uint32_t control, ServiceStatus& out) = 0;
  virtual uint32_t QueryServiceStatus(const std::string& name, ServiceStatus& out) = 0;
};

// OpenSCManager: the backend this machine uses over the given store (the
// registry store when null), with the built-in services in front. On
// failure returns null with error set.
std::unique_ptr<ServiceManager> OpenServiceManager(uint32_t& error,
                                                   std::unique_ptr<ServiceEntryStore> store = nullptr);

// The backends on their own.
std::unique_ptr<ServiceManager> MakeSupervisorServiceManager(std::unique_ptr<ServiceEntryStore> store);

// Runs a program (argv[0] looked up in PATH, no shell) and waits for it; its
// standard output goes to *output when given. The exit status, or -1 when
// it could not run or did not exit normally.
using CommandRunner = std::function<int(const std::vector<std::string>& argv, std::string* output)>;
int RunCommand(const std::vector<std::string>& argv, std::string* output);

// The systemd backend: units "<lower-cased name>.service" in unitDir,
// systemctl through runner.
inline constexpr char kSystemdUnitDir[] = "/etc/systemd/system";
std::unique_ptr<ServiceManager> MakeSystemdServiceManager(std::unique_ptr<ServiceEntryStore> store,
                                                          CommandRunner runner,
                                                          std::string unitDir = kSystemdUnitDir);

// True when the machine runs systemd (/run/systemd/system exists).
bool SystemdIsRunning();

// The built-in services in front of another manager. adapterUsable tells
// whether "vqsvc" runs; it is asked on every call that needs it.
std::unique_ptr<ServiceManager> MakeBuiltinServicesManager(std::unique_ptr<ServiceManager> inner,
                                                           std::function<bool()> adapterUsable);

// Splits a stored command line into program and arguments (double quotes
// group, backslashes are literal).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// ---- service side ----

using ServiceMainFunction = std::function<void(const std::vector<std::string>& args)>;
using HandlerFunction = std::function<void(uint32_t control)>;
using StatusHandle = uintptr_t;  // 0: none

// Blocks until the service's main function returned. Fails with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when this process was not started
// by the manager for that service name.
uint32_t StartServiceCtrlDispatcher(const std::string& name, const ServiceMainFunction& serviceMain);

// Called by the main function; 0 when no dispatcher runs for that name.
StatusHandle RegisterServiceCtrlHandler(const std::string& name, HandlerFunction handler);

// Also tells systemd, when it started the process ($NOTIFY_SOCKET): READY=1
// on the first RUNNING, STOPPING=1 on the first STOP_PENDING or STOPPED.
bool SetServiceStatus(StatusHandle handle, const ServiceStatus& status);

// One sd_notify message ("READY=1") to $NOTIFY_SOCKET: an absolute path, or
// an abstract name written with a leading '@'. False when the variable is
// unset or the datagram could not be sent.
bool NotifyServiceManager(std::string_view state);

// The environment variable through which the supervisor tells a started
// process which service it runs.
inline constexpr const char* kServiceNameEnv = "VQ_SERVICE_NAME";

}  // namespace platform::service
