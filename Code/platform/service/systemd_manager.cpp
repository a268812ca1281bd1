// The systemd backend. Entries stay in the store (so the configuration
// reads the same under either backend); each service also gets a unit
// "<lower-cased name>.service" that systemd runs:
//   Create  store entry, unit file, daemon-reload, enable when automatic
//   Delete  disable, unit file gone, daemon-reload, store entry gone
//   Start   systemctl start --no-block (the state stays "activating" until
//           the service reports READY=1, which reads as START_PENDING)
//   Stop    systemctl stop --no-block (SIGTERM, the service's STOP control)
//   Query   systemctl is-active
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/paths/paths.h"
#include "platform/service/service.h"
#include "platform/service/service_lock.h"
#include "platform/service/service_name.h"
#include "platform/service/store_backed_manager.h"
#include "platform/win32/win32_error.h"

namespace platform::service {
namespace {

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// One quoted unit-file word: systemd's escapes for quotes and backslashes,
// its specifier character doubled, and on ExecStart lines its variable
// character too.
std::string UnitArgument(const std::string& arg, bool execLine = true) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%' || (execLine && c == '$')) out += c;
    out += c;
  }
  return out + "\"";
}

std::string UnitText(const ServiceConfig& config) {
  std::string execStart;
  for (const std::string& arg : SplitCommandLine(config.binaryPathName)) {
    if (!execStart.empty()) execStart += ' ';
    execStart += UnitArgument(arg);
  }
  std::string description;
  for (char c : config.displayName.empty() ? config.name : config.displayName) {
    if (c == '%') description += '%';
    description += c;
  }
  return "# Written by the service manager for the service \"" + config.name + "\".\n"
         "[Unit]\n"
         "Description=" + description + "\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "NotifyAccess=main\n"
         "ExecStart=" + execStart + "\n"
         "Environment=" + UnitArgument(std::string(kServiceNameEnv) + "=" + config.name, false) + "\n"
         "KillSignal=SIGTERM\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

class SystemdManager final : public detail::StoreBackedManager {
 public:
  SystemdManager(std::unique_ptr<ServiceEntryStore> store, CommandRunner runner, std::string unitDir)
      : StoreBackedManager(std::move(store)), runner_(std::move(runner)), unitDir_(std::move(unitDir)) {}

  uint32_t DeleteService(const std::string& name) override {
    detail::ServiceLock lock(name);
    if (lock.error()) return lock.error();
    ServiceConfig config;
    if (uint32_t err = store_->Load(name, config)) return err;
    // A running service keeps running; only its entry goes.
    if (uint32_t err = Systemctl({"disable", Unit(name)})) return err;
    if (::unlink(UnitPath(name).c_str()) != 0 && errno != ENOENT) return LastWin32Error();
    Systemctl({"daemon-reload"});
    return store_->Remove(name);
  }

  uint32_t StartService(const std::string& name) override {
    ServiceConfig config;
    if (uint32_t err = store_->Load(name, config)) return err;
    ServiceStatus status;
    if (uint32_t err = ActiveState(config, status)) return err;
    if (status.currentState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
    if (config.startType == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
    return Systemctl({"start", "--no-block", Unit(name)});
  }

  uint32_t ControlService(const std::string& name, uint32_t control, ServiceStatus& out) override {
    ServiceConfig config;
    if (uint32_t err = store_->Load(name, config)) return err;
    ServiceStatus status;
    if (uint32_t err = ActiveState(config, status)) return err;
    if (status.currentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    switch (control) {
      case SERVICE_CONTROL_STOP:
        if (uint32_t err = Systemctl({"stop", "--no-block", Unit(name)})) return err;
        break;
      case SERVICE_CONTROL_INTERROGATE:
        break;
      default:
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
    out = status;
    return ERROR_SUCCESS;
  }

  uint32_t QueryServiceStatus(const std::string& name, ServiceStatus& out) override {
    ServiceConfig config;
    if (uint32_t err = store_->Load(name, config)) return err;
    return ActiveState(config, out);
  }

 private:
  // The unit's lines are written from these texts as they stand.
  bool AcceptsConfig(const ServiceConfig& config) override {
    return !HasLineBreak(config.binaryPathName) && !HasLineBreak(config.displayName);
  }

  uint32_t AddEntry(const ServiceConfig& config) override {
    if (uint32_t e = WriteUnit(config)) return e;
    if (uint32_t e = Systemctl({"daemon-reload"})) return Undo(config.name, e);
    if (config.startType == SERVICE_AUTO_START)
      if (uint32_t e = Systemctl({"enable", Unit(config.name)})) return Undo(config.name, e);
    if (uint32_t e = store_->Save(config)) return Undo(config.name, e);
    return ERROR_SUCCESS;
  }

  uint32_t ApplyStartType(const std::string& name, uint32_t startType) override {
    return Systemctl({startType == SERVICE_AUTO_START ? "enable" : "disable", Unit(name)});
  }

  static std::string Unit(const std::string& name) { return detail::ServiceFileStem(name) + ".service"; }
  std::string UnitPath(const std::string& name) const { return unitDir_ + "/" + Unit(name); }

  // 0, or ERROR_GEN_FAILURE when systemctl failed or could not run.
  uint32_t Systemctl(std::vector<std::string> args, std::string* output = nullptr) {
    args.insert(args.begin(), "systemctl");
    return runner_(args, output) == 0 ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
  }

  uint32_t WriteUnit(const ServiceConfig& config) {
    if (!paths::CreateDirectories(unitDir_)) return LastWin32Error();
    const std::string path = UnitPath(config.name);
    const std::string tmp = path + ".tmp";
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out << UnitText(config);
      if (!out.flush()) return ERROR_WRITE_FAULT;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
      const uint32_t err = LastWin32Error();
      ::unlink(tmp.c_str());
      return err;
    }
    return ERROR_SUCCESS;
  }

  // A create that failed half-way leaves no unit behind.
  uint32_t Undo(const std::string& name, uint32_t err) {
    ::unlink(UnitPath(name).c_str());
    Systemctl({"daemon-reload"});
    return err;
  }

  // is-active prints the unit's state and exits non-zero unless it is
  // active, so the text decides, not the exit status.
  uint32_t ActiveState(const ServiceConfig& config, ServiceStatus& out) {
    std::string text;
    const int rc = runner_({"systemctl", "is-active", Unit(config.name)}, &text);
    if (rc < 0) return ERROR_GEN_FAILURE;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    ServiceStatus status;
    status.serviceType = config.serviceType;
    if (text == "active" || text == "reloading") {
      status.currentState = SERVICE_RUNNING;
      status.controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    } else if (text == "activating") {
      status.currentState = SERVICE_START_PENDING;
    } else if (text == "deactivating") {
      status.currentState = SERVICE_STOP_PENDING;
    } else {
      status.currentState = SERVICE_STOPPED;  // inactive, failed, unknown unit
    }
    out = status;
    return ERROR_SUCCESS;
  }

  CommandRunner runner_;
  std::string unitDir_;
};

}  // namespace

std::unique_ptr<ServiceManager> MakeSystemdServiceManager(std::unique_ptr<ServiceEntryStore> store,
                                                          CommandRunner runner, std::string unitDir) {
  return std::make_unique<SystemdManager>(std::move(store), std::move(runner), std::move(unitDir));
}

}  // namespace platform::service
