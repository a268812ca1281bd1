#include "platform/process/child_process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>

#include "platform/process/reap.h"
#include "platform/sync/event.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace platform::process {
namespace {

// Polled instead of the process descriptor where the kernel has none.
constexpr int kPollSliceMs = 50;


// Waits until the child ended (true, status set), the stop event is set or
// timeoutMs passed (-1: no limit).
bool WaitForExit(pid_t pid, const UniqueFd& pidFd, const Event* stop, int timeoutMs, int& status) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (Reaped(pid, WNOHANG, status)) return true;
    if (stop != nullptr && stop->IsSet()) return false;
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      wait = static_cast<int>(left);
    }
    if (!pidFd.valid()) wait = wait < 0 ? kPollSliceMs : std::min(wait, kPollSliceMs);
    pollfd fds[2];
    nfds_t count = 0;
    if (pidFd.valid()) fds[count++] = {pidFd.get(), POLLIN, 0};
    if (stop != nullptr) fds[count++] = {stop->Fd(), POLLIN, 0};
    if (::poll(fds, count, wait) < 0 && errno != EINTR) {
      // Nothing to wait on: look again after a slice.
      ::usleep(kPollSliceMs * 1000);
    }
  }
}

}  // namespace

ChildOutcome RunChildAndWait(const std::vector<std::string>& argv, const std::string& workDir, const Event* stop) {
  ChildOutcome outcome;
  if (argv.empty() || argv[0].empty()) {
    outcome.error = EINVAL;
    return outcome;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (int err = ::posix_spawn_file_actions_init(&actions)) {
    outcome.error = err;
    return outcome;
  }
  if (int err = ::posix_spawnattr_init(&attr)) {
    ::posix_spawn_file_actions_destroy(&actions);
    outcome.error = err;
    return outcome;
  }
  // The caller blocks its stop signals for a watcher thread; the child must
  // not inherit that, or it could not be asked to end.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  int err = ::posix_spawnattr_setsigmask(&attr, &none);
  if (err == 0) err = ::posix_spawnattr_setsigdefault(&attr, &all);
  if (err == 0) err = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (err == 0 && !workDir.empty()) err = ::posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
  if (err == 0) err = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = 0;
  if (err == 0) err = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  ::posix_spawnattr_destroy(&attr);
  ::posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    outcome.error = err;
    return outcome;
  }
  outcome.pid = pid;

  const UniqueFd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  int status = 0;
  if (!WaitForExit(pid, pidFd, stop, -1, status)) {
    ::kill(pid, SIGTERM);
    if (!WaitForExit(pid, pidFd, nullptr, kChildStopGraceMs, status)) {
      ::kill(pid, SIGKILL);
      Reaped(pid, 0, status);
    }
    outcome.end = ChildEnd::Stopped;
    return outcome;
  }
  if (WIFEXITED(status)) {
    outcome.end = ChildEnd::Exited;
    outcome.exitCode = WEXITSTATUS(status);
  } else {
    outcome.end = ChildEnd::Signalled;
  }
  return outcome;
}

}  // namespace platform::process
