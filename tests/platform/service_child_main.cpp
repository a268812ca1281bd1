// A minimal service for the service layer's tests, started by the
// supervisor as a real process.
//
//   service_test_child NAME [serve|die] [REPORT_FILE CHECK_FD]
//
// serve: reports RUNNING (accepting STOP), waits for the STOP control,
//        reports STOP_PENDING and STOPPED.
// die:   reports RUNNING and ends at once without another word.
// With REPORT_FILE it first writes what it was started with: the service
// name from the environment, VQ_TEST_MARKER, whether it leads its own
// session, where stdin points, whether CHECK_FD (a descriptor the test left
// open) reached it, and whether SIGTERM came blocked.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

#include "platform/service/service.h"
#include "platform/service/stop_signals.h"
#include "platform/sync/event.h"

namespace svc = platform::service;

namespace {

void WriteReport(const std::string& path, int checkFd) {
  sigset_t mask;
  sigemptyset(&mask);
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  char target[256] = {};
  ssize_t n = ::readlink("/proc/self/fd/0", target, sizeof target - 1);
  if (n < 0) n = 0;
  const char* name = std::getenv(svc::kServiceNameEnv);
  const char* marker = std::getenv("VQ_TEST_MARKER");
  // Before this function opens anything that could take the number.
  const bool checkFdOpen = ::fcntl(checkFd, F_GETFD) != -1;
  std::ofstream out(path + ".tmp");
  out << "name=" << (name ? name : "") << "\n"
      << "marker=" << (marker ? marker : "") << "\n"
      << "sessionLeader=" << (::getsid(0) == ::getpid() ? 1 : 0) << "\n"
      << "stdin=" << std::string(target, static_cast<size_t>(n)) << "\n"
      << "checkFd=" << (checkFdOpen ? "open" : "closed") << "\n"
      << "sigtermBlocked=" << sigismember(&mask, SIGTERM) << "\n";
  out.close();
  std::rename((path + ".tmp").c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 4) WriteReport(argv[3], std::atoi(argv[4]));
  svc::BlockStopSignals();
  const std::string name = argc > 1 ? argv[1] : "VqTestService";
  const std::string mode = argc > 2 ? argv[2] : "serve";

  std::mutex mu;
  svc::ServiceStatus status;
  svc::StatusHandle handle = 0;
  platform::Event stop(platform::Event::Reset::Manual);
  auto report = [&](uint32_t state, uint32_t controls) {
    std::lock_guard lock(mu);
    status.currentState = state;
    status.controlsAccepted = controls;
    svc::SetServiceStatus(handle, status);
  };

  uint32_t rc = svc::StartServiceCtrlDispatcher(name, [&](const std::vector<std::string>&) {
    svc::StatusHandle h = svc::RegisterServiceCtrlHandler(name, [&](uint32_t control) {
      if (control == svc::SERVICE_CONTROL_STOP || control == svc::SERVICE_CONTROL_SHUTDOWN) {
        report(svc::SERVICE_STOP_PENDING, svc::SERVICE_ACCEPT_STOP);
        stop.Set();
      }
    });
    {
      std::lock_guard lock(mu);
      handle = h;
    }
    if (h == 0) return;
    report(svc::SERVICE_START_PENDING, 0);
    report(svc::SERVICE_RUNNING, svc::SERVICE_ACCEPT_STOP | svc::SERVICE_ACCEPT_SHUTDOWN);
    if (mode == "die") std::_Exit(3);
    stop.Wait();
    report(svc::SERVICE_STOPPED, 0);
  });
  return rc == 0 ? 0 : 1;
}
