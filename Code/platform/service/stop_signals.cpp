#include "platform/service/stop_signals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/service/stop_signal_fd.h"

namespace platform::service {
namespace {

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

namespace detail {

int OpenStopSignalFd() {
  const sigset_t set = StopSignalSet();
  return ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

int TakeStopSignal(int fd) {
  signalfd_siginfo info{};
  for (;;) {
    ssize_t n = ::read(fd, &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

}  // namespace detail

void BlockStopSignals() {
  const sigset_t set = StopSignalSet();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A peer that closes a pipe or socket must give EPIPE, not end the process.
  ::signal(SIGPIPE, SIG_IGN);
}

StopSignalWatcher::StopSignalWatcher(std::function<void(int signal)> onStop)
    : onStop_(std::move(onStop)), fd_(detail::OpenStopSignalFd()) {
  if (fd_ >= 0) thread_ = std::thread(&StopSignalWatcher::Loop, this);
}

StopSignalWatcher::~StopSignalWatcher() {
  quit_.Set();
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) ::close(fd_);
}

void StopSignalWatcher::Loop() {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {quit_.Fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents != 0) {
      while (int sig = detail::TakeStopSignal(fd_))
        if (onStop_) onStop_(sig);
    }
  }
}

}  // namespace platform::service
