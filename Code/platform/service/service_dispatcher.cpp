// The service side of the manager.
//
// 1. StartServiceCtrlDispatcher checks that the supervisor (or the unit
//    file) started this process for that service, blocks the stop signals
//    and opens a signalfd for them.
// 2. The service's main function runs on its own thread; it registers its
//    control handler and reports its status, which goes to the status file.
// 3. The calling thread waits in one poll for a stop signal, the end of the
//    main function, or news from the main function. A stop signal becomes a
//    STOP control for the handler, called on this thread once the service
//    has reported that it accepts STOP (until then it is kept).
// 4. When the main function has returned, the thread is joined and the
//    status file is left at STOPPED.
// Under systemd the status also goes to $NOTIFY_SOCKET as READY=1 and
// STOPPING=1.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/service/process_identity.h"
#include "platform/service/service.h"
#include "platform/unique_fd.h"
#include "platform/service/service_lock.h"
#include "platform/service/service_name.h"
#include "platform/service/service_status_file.h"
#include "platform/service/stop_signal_fd.h"
#include "platform/service/stop_signals.h"
#include "platform/sync/event.h"
#include "platform/win32/win32_error.h"

namespace platform::service {
namespace {

// One running dispatcher.
struct DispatcherRun {
  std::string name;
  StatusHandle handle = 0;
  uint64_t startTime = 0;  // of this process, recorded with every status
  Event wake{Event::Reset::Manual};
  Event mainDone{Event::Reset::Manual};

  std::mutex controlMu;  // guards handler and pendingStops
  HandlerFunction handler;
  int pendingStops = 0;

  std::mutex statusMu;  // guards the fields below and orders the status writes
  ServiceStatus last;
  bool reported = false;
  bool closed = false;  // the final STOPPED is written; no more reports
  bool toldReady = false;     // READY=1 sent to systemd
  bool toldStopping = false;  // STOPPING=1 sent to systemd
};

std::mutex g_mu;
std::shared_ptr<DispatcherRun> g_run;
StatusHandle g_nextHandle = 1;

std::shared_ptr<DispatcherRun> CurrentRun() {
  std::lock_guard lock(g_mu);
  return g_run;
}

// Called with run.statusMu held.
bool WriteStatus(DispatcherRun& run, const ServiceStatus& status) {
  detail::ServiceLock lock(run.name);
  if (lock.error()) return false;
  detail::StatusRecord record;
  record.status = status;
  record.pid = ::getpid();
  record.startTime = run.startTime;
  return detail::WriteStatusRecord(run.name, record) == ERROR_SUCCESS;
}

// Tells systemd (when it started us) the news of this status; called with
// run.statusMu held, so the messages go out in the order of the reports.
void NotifySystemd(DispatcherRun& run, const ServiceStatus& status) {
  if (status.currentState == SERVICE_RUNNING && !run.toldReady && !run.toldStopping) {
    run.toldReady = true;
    NotifyServiceManager("READY=1");
  } else if ((status.currentState == SERVICE_STOP_PENDING || status.currentState == SERVICE_STOPPED) &&
             !run.toldStopping) {
    run.toldStopping = true;
    NotifyServiceManager("STOPPING=1");
  }
}

// Hands kept stop signals to the handler while the service accepts STOP.
void DeliverStops(DispatcherRun& run) {
  for (;;) {
    {
      std::lock_guard lock(run.statusMu);
      if (run.closed || run.last.currentState == SERVICE_STOPPED ||
          (run.last.controlsAccepted & SERVICE_ACCEPT_STOP) == 0)
        return;
    }
    HandlerFunction handler;
    {
      std::lock_guard lock(run.controlMu);
      if (run.pendingStops == 0 || !run.handler) return;
      --run.pendingStops;
      handler = run.handler;
    }
    handler(SERVICE_CONTROL_STOP);
  }
}

using FdCloser = platform::UniqueFd;

// Clears the process-wide dispatcher slot on every way out.
class RunSlot {
 public:
  explicit RunSlot(std::shared_ptr<DispatcherRun> run) : run_(std::move(run)) {}
  ~RunSlot() {
    std::lock_guard lock(g_mu);
    if (g_run == run_) g_run.reset();
  }
  RunSlot(const RunSlot&) = delete;
  RunSlot& operator=(const RunSlot&) = delete;

 private:
  std::shared_ptr<DispatcherRun> run_;
};

}  // namespace

uint32_t StartServiceCtrlDispatcher(const std::string& name, const ServiceMainFunction& serviceMain) {
  const char* startedFor = std::getenv(kServiceNameEnv);
  if (!startedFor || !detail::SameServiceName(startedFor, name) || !detail::IsValidServiceName(name))
    return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;

  BlockStopSignals();
  const int signalFd = detail::OpenStopSignalFd();
  if (signalFd < 0) return LastWin32Error();
  FdCloser closeSignalFd(signalFd);

  auto run = std::make_shared<DispatcherRun>();
  run->name = name;
  run->startTime = detail::ProcessStartTime(::getpid()).value_or(0);
  {
    std::lock_guard lock(g_mu);
    if (g_run) return ERROR_SERVICE_ALREADY_RUNNING;
    run->handle = g_nextHandle++;
    g_run = run;
  }
  RunSlot slot(run);

  std::thread mainThread([run, &serviceMain] {
    serviceMain({run->name});
    run->mainDone.Set();
  });

  for (;;) {
    pollfd fds[3] = {{signalFd, POLLIN, 0}, {run->mainDone.Fd(), POLLIN, 0}, {run->wake.Fd(), POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      run->mainDone.Wait();  // cannot watch signals any more; still wait for the service
      break;
    }
    if (run->mainDone.IsSet()) break;
    // Reset before looking at the state, so news that comes meanwhile wakes
    // the next poll.
    if (fds[2].revents != 0) run->wake.Reset();
    if (fds[0].revents != 0) {
      while (detail::TakeStopSignal(signalFd) != 0) {
        std::lock_guard lock(run->controlMu);
        ++run->pendingStops;
      }
    }
    DeliverStops(*run);
  }
  mainThread.join();

  {
    std::lock_guard lock(run->statusMu);
    run->closed = true;
    if (!run->reported || run->last.currentState != SERVICE_STOPPED) {
      // The main function ended without saying so: the process is about
      // to end, and the status must not claim otherwise.
      ServiceStatus stopped = run->last;
      stopped.currentState = SERVICE_STOPPED;
      stopped.controlsAccepted = 0;
      stopped.checkPoint = 0;
      stopped.waitHint = 0;
      WriteStatus(*run, stopped);
      NotifySystemd(*run, stopped);
    }
  }
  return ERROR_SUCCESS;
}

StatusHandle RegisterServiceCtrlHandler(const std::string& name, HandlerFunction handler) {
  auto run = CurrentRun();
  if (!run || !handler || !detail::SameServiceName(name, run->name)) return 0;
  {
    std::lock_guard lock(run->controlMu);
    run->handler = std::move(handler);
  }
  run->wake.Set();
  return run->handle;
}

bool SetServiceStatus(StatusHandle handle, const ServiceStatus& status) {
  if (status.currentState < SERVICE_STOPPED || status.currentState > 7) return false;
  auto run = CurrentRun();
  if (!run || handle == 0 || run->handle != handle) return false;
  {
    std::lock_guard lock(run->statusMu);
    if (run->closed || !WriteStatus(*run, status)) return false;
    run->last = status;
    run->reported = true;
    NotifySystemd(*run, status);
  }
  run->wake.Set();
  return true;
}

}  // namespace platform::service
