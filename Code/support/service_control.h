// CServiceControl: one service of the service manager by name. Install,
// remove, start and wait, stop and wait, query, the start type, and the
// service side (dispatcher, main function, control handler).
//
// Results are 0 (or the stated value) on success, else the Win32 code of the
// failing call. Start and stop wait in steps of 1000 ms, at most the wait
// limit (then ERROR_SERVICE_REQUEST_TIMEOUT, 1053).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/service/service.h"
#include "platform/sync/event.h"

class CServiceControl {
 public:
  // Opens the service manager for one operation: OpenServiceManager, or a
  // fake in tests. On failure null with error set.
  using ManagerFactory =
      std::function<std::unique_ptr<platform::service::ServiceManager>(uint32_t& error)>;
  // The pause between two queries while waiting.
  using SleepFunction = std::function<void(uint32_t ms)>;

  static constexpr uint32_t kPollMs = 1000;
  static constexpr uint32_t kDefaultWaitLimitMs = 60000;

  CServiceControl();
  CServiceControl(ManagerFactory openManager, SleepFunction sleep,
                  uint32_t waitLimitMs = kDefaultWaitLimitMs);
  virtual ~CServiceControl();
  CServiceControl(const CServiceControl&) = delete;
  CServiceControl& operator=(const CServiceControl&) = delete;

  // An empty display name takes the service name; an empty binary path the
  // running program's own file.
  void Init(const std::string& name, const std::string& displayName = "",
            const std::string& binaryPath = "");

  // Own process, automatic start, normal error control.
  uint32_t Install();
  // Stops the service first when it is not stopped; then deletes it.
  uint32_t Remove();
  // Already running counts as started. 0 once RUNNING; 1053 when still
  // START_PENDING at the wait limit; a start that ends in another state
  // fails with the service's exit code, or 1062 when it gave none.
  uint32_t Start();
  // 0 at once when stopped (no control sent); otherwise the STOP control's
  // error, or 0 once STOPPED, or 1053 at the wait limit.
  uint32_t Stop();
  // The state (1 stopped ... 4 running ...), or the error code.
  uint32_t QueryState();
  // 1 when the service exists, else 0.
  int IsInstalled();
  // 1 with *startType set, or 0.
  int GetStartType(uint32_t* startType);
  uint32_t Disable();
  uint32_t SetDemandStart();

  // The service side. RunDispatcher blocks until the service stopped; this
  // object serves the process-wide dispatcher meanwhile.
  uint32_t RunDispatcher();
  void ServiceMain(const std::vector<std::string>& args);
  void Handler(uint32_t control);

  // The status as last reported (for the handler's callers and tests).
  platform::service::ServiceStatus Status() const;
  const platform::Event& StopEvent() const { return stopEvent_; }

 private:
  // The service's work between RUNNING and STOP_PENDING; this wrapper has none.
  void Run() {}
  void Report();  // caller holds statusMutex_
  uint32_t WaitFor(platform::service::ServiceManager& manager, bool (*done)(uint32_t state),
                   platform::service::ServiceStatus& status);
  uint32_t ChangeStartType(uint32_t startType);
  std::unique_ptr<platform::service::ServiceManager> Open(uint32_t& error);

  ManagerFactory openManager_;
  SleepFunction sleep_;
  uint32_t waitLimitMs_;

  mutable std::mutex statusMutex_;
  platform::service::ServiceStatus status_;
  platform::service::StatusHandle statusHandle_ = 0;
  platform::Event stopEvent_{platform::Event::Reset::Auto};

  std::string serviceName_;
  std::string displayName_;
  std::string binaryPath_;
};
