// The supervisor backend of the service manager.
//
// Start:  1. take the service's lock  2. refuse when it runs or is disabled
//         3. split ImagePath and spawn it detached  4. write START_PENDING
//         with the child's pid and start time  5. release the lock; from
//         then on only the service writes its status.
// Query:  the status file, except that a process that ended (or whose pid
//         now names another process) is STOPPED whatever the file says.
// Stop:   SIGTERM to the service's process; its dispatcher turns it into
//         the STOP control.
#include <signal.h>
#include <sys/wait.h>

#include <memory>
#include <string>

#include "platform/service/process_identity.h"
#include "platform/service/service.h"
#include "platform/service/service_lock.h"
#include "platform/service/service_spawn.h"
#include "platform/service/service_status_file.h"
#include "platform/service/store_backed_manager.h"
#include "platform/win32/win32_error.h"

namespace platform::service {
namespace {

class SupervisorManager final : public detail::StoreBackedManager {
 public:
  explicit SupervisorManager(std::unique_ptr<ServiceEntryStore> store) : StoreBackedManager(std::move(store)) {}

  uint32_t DeleteService(const std::string& name) override {
    detail::ServiceLock lock(name);
    if (lock.error()) return lock.error();
    // A running service keeps running; only its entry goes.
    return store_->Remove(name);
  }

  uint32_t StartService(const std::string& name) override {
    ServiceConfig config;
    if (uint32_t err = store_->Load(name, config)) return err;
    detail::ServiceLock lock(name);
    if (lock.error()) return lock.error();

    if (CurrentStatus(name, config).status.currentState != SERVICE_STOPPED)
      return ERROR_SERVICE_ALREADY_RUNNING;
    if (config.startType == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;

    pid_t pid = 0;
    if (uint32_t err = detail::SpawnServiceProcess(SplitCommandLine(config.binaryPathName),
                                                   config.name, pid))
      return err;

    detail::StatusRecord record;
    record.pid = pid;
    // Our child cannot vanish before we reap it, so its stat is readable.
    record.startTime = detail::ProcessStartTime(pid).value_or(0);
    record.status.serviceType = config.serviceType;
    record.status.currentState = SERVICE_START_PENDING;
    if (uint32_t err = detail::WriteStatusRecord(name, record)) {
      // Untracked it could never be stopped or queried: take it back.
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return err;
    }
    return ERROR_SUCCESS;
  }

  uint32_t ControlService(const std::string& name, uint32_t control, ServiceStatus& out) override {
    ServiceConfig config;
    if (uint32_t err = store_->Load(name, config)) return err;
    const detail::StatusRecord record = CurrentStatus(name, config);
    if (record.status.currentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    switch (control) {
      case SERVICE_CONTROL_STOP:
        if (::kill(record.pid, SIGTERM) != 0) return LastWin32Error();
        break;
      case SERVICE_CONTROL_INTERROGATE:
        break;
      default:
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
    out = record.status;
    return ERROR_SUCCESS;
  }

  uint32_t QueryServiceStatus(const std::string& name, ServiceStatus& out) override {
    ServiceConfig config;
    if (uint32_t err = store_->Load(name, config)) return err;
    out = CurrentStatus(name, config).status;
    return ERROR_SUCCESS;
  }

 private:
  // The status file corrected by what the process table says.
  static detail::StatusRecord CurrentStatus(const std::string& name, const ServiceConfig& config) {
    detail::StatusRecord record;
    record.status.serviceType = config.serviceType;
    if (detail::ReadStatusRecord(name, record) != ERROR_SUCCESS) {
      // Never started, or a file we cannot read: nothing runs that we know of.
      detail::StatusRecord none;
      none.status.serviceType = config.serviceType;
      return none;
    }
    if (record.status.currentState != SERVICE_STOPPED &&
        !detail::IsProcessAlive(record.pid, record.startTime)) {
      record.status.currentState = SERVICE_STOPPED;
      record.status.controlsAccepted = 0;
      record.status.checkPoint = 0;
      record.status.waitHint = 0;
    }
    return record;
  }
};

}  // namespace

std::unique_ptr<ServiceManager> MakeSupervisorServiceManager(std::unique_ptr<ServiceEntryStore> store) {
  return std::make_unique<SupervisorManager>(std::move(store));
}

}  // namespace platform::service
