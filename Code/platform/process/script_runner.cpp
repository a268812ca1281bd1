#include "platform/process/script_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/process/reap.h"
#include "platform/sync/event.h"
#include "platform/unique_fd.h"

namespace platform::process {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* kSearchPath = "/usr/local/bin:/usr/bin:/bin";
// Exit status of a child that never reached the interpreter.
constexpr int kChildFailed = 127;
// Poll slice when the kernel offers no process descriptor.
constexpr int kPollSliceMs = 20;

// Which step of the child failed, sent to the parent with its errno.
enum ChildStep : int { kStepGroups = 1, kStepGid, kStepUid, kStepDir, kStepExec };

struct ChildReport {
  int step = 0;
  int error = 0;
};

// Only async-signal-safe calls from here to execve: the parent may run
// other threads that held locks at the fork.
[[noreturn]] void RunChild(int reportFd, int nullFd, bool switchUser, const UserContext& user,
                           const std::vector<gid_t>& groups, const char* workDir, const char* program,
                           char* const* argv, char* const* envp) {
  ::setpgid(0, 0);
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &defaults, nullptr);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  ::dup2(nullFd, STDIN_FILENO);
  ::dup2(nullFd, STDOUT_FILENO);
  ::dup2(nullFd, STDERR_FILENO);
  // Nothing of the service (sockets, the TLS connection, files) reaches
  // the script; the report pipe closes itself at the exec.
  if (reportFd > 3) ::close_range(3, static_cast<unsigned>(reportFd) - 1, 0);
  ::close_range(static_cast<unsigned>(reportFd) + 1, UINT_MAX, 0);

  auto fail = [reportFd](int step) {
    const ChildReport report{step, errno};
    [[maybe_unused]] const ssize_t n = ::write(reportFd, &report, sizeof report);
    ::_exit(kChildFailed);
  };
  if (switchUser) {
    if (::setgroups(groups.size(), groups.data()) != 0) fail(kStepGroups);
    if (::setgid(user.gid) != 0) fail(kStepGid);
    if (::setuid(user.uid) != 0) fail(kStepUid);
  }
  if (::chdir(workDir) != 0) fail(kStepDir);
  ::execve(program, argv, envp);
  fail(kStepExec);
  ::_exit(kChildFailed);
}

const char* StepName(int step) {
  switch (step) {
    case kStepGroups: return "setgroups";
    case kStepGid: return "setgid";
    case kStepUid: return "setuid";
    case kStepDir: return "chdir";
    case kStepExec: return "execve";
    default: return "?";
  }
}

// The user's supplementary groups (what initgroups would set), read in the
// parent because the group database can't be read safely after a fork.
std::vector<gid_t> GroupsOf(const UserContext& user) {
  int count = 32;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  for (int attempt = 0; attempt < 8; ++attempt) {
    int n = count;
    if (::getgrouplist(user.name.c_str(), user.gid, groups.data(), &n) >= 0) {
      groups.resize(static_cast<size_t>(n));
      return groups;
    }
    count = std::max(n, count * 2);
    groups.resize(static_cast<size_t>(count));
  }
  return {user.gid};
}

int RemainingMs(SteadyClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, INT_MAX));
}

// Kills the whole group (the leader is not reaped yet, so its group id is
// still ours to name) and reaps the leader.
void KillAndReap(pid_t pid) {
  if (::kill(-pid, SIGKILL) != 0) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

std::string ResolveProgram(const std::string& program) {
  if (program.empty()) return {};
  if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0 ? program : std::string();
  std::string_view dirs = kSearchPath;
  while (!dirs.empty()) {
    const size_t colon = dirs.find(':');
    const std::string candidate = std::string(dirs.substr(0, colon)) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return {};
}

ScriptOutcome RunScriptAs(const ScriptCommand& command, const UserContext& user, int timeoutMs,
                          const Event* cancel) {
  ScriptOutcome outcome;
  const std::string program = ResolveProgram(command.program);
  if (program.empty()) {
    outcome.failure = "no interpreter " + command.program;
    return outcome;
  }

  std::vector<std::string> argStore;
  argStore.push_back(command.program);
  argStore.insert(argStore.end(), command.arguments.begin(), command.arguments.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStore = {std::string("PATH=") + kSearchPath, "HOME=" + user.home, "USER=" + user.name,
                                       "LOGNAME=" + user.name};
  std::vector<char*> envp;
  for (std::string& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  const bool switchUser = user.uid != ::geteuid();
  const std::vector<gid_t> groups = switchUser ? GroupsOf(user) : std::vector<gid_t>{};
  const std::string workDir = command.workDir.empty() ? std::string("/") : command.workDir;

  UniqueFd nullFd(::open("/dev/null", O_RDWR | O_CLOEXEC));
  int pipeFds[2] = {-1, -1};
  if (!nullFd.valid() || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    outcome.failure = std::strerror(errno);
    return outcome;
  }
  UniqueFd reportRead(pipeFds[0]);
  UniqueFd reportWrite(pipeFds[1]);

  const pid_t pid = ::fork();
  if (pid < 0) {
    outcome.failure = "fork: " + std::string(std::strerror(errno));
    return outcome;
  }
  if (pid == 0) {
    RunChild(reportWrite.get(), nullFd.get(), switchUser, user, groups, workDir.c_str(), program.c_str(),
             argv.data(), envp.data());
  }
  // Also here: the group exists before any kill, whoever runs first.
  ::setpgid(pid, pid);
  outcome.pid = pid;
  reportWrite.reset();

  ChildReport report;
  ssize_t got = 0;
  do {
    got = ::read(reportRead.get(), &report, sizeof report);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof report)) {
    int status = 0;
    Reaped(pid, 0, status);
    outcome.failure = std::string(StepName(report.step)) + ": " + std::strerror(report.error);
    return outcome;
  }

  const bool limited = timeoutMs >= 0;
  const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  UniqueFd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  int status = 0;
  for (;;) {
    if (!pidFd.valid() && Reaped(pid, WNOHANG, status)) break;
    if (cancel != nullptr && cancel->IsSet()) {
      KillAndReap(pid);
      outcome.end = ScriptEnd::Cancelled;
      return outcome;
    }
    const int left = limited ? RemainingMs(deadline) : -1;
    if (limited && left == 0) {
      KillAndReap(pid);
      outcome.end = ScriptEnd::TimedOut;
      return outcome;
    }
    pollfd fds[2];
    nfds_t count = 0;
    if (pidFd.valid()) fds[count++] = {pidFd.get(), POLLIN, 0};
    if (cancel != nullptr) fds[count++] = {cancel->Fd(), POLLIN, 0};
    int wait = left;
    if (!pidFd.valid()) wait = wait < 0 ? kPollSliceMs : std::min(wait, kPollSliceMs);
    const int ready = ::poll(count > 0 ? fds : nullptr, count, wait);
    if (ready < 0 && errno != EINTR) {
      outcome.failure = "poll: " + std::string(std::strerror(errno));
      KillAndReap(pid);
      outcome.end = ScriptEnd::Cancelled;
      return outcome;
    }
    if (pidFd.valid() && ready > 0 && (fds[0].revents & POLLIN) != 0) {
      if (Reaped(pid, 0, status)) break;
      outcome.failure = "waitpid: " + std::string(std::strerror(errno));
      outcome.end = ScriptEnd::Signalled;
      return outcome;
    }
  }
  if (WIFEXITED(status)) {
    outcome.end = ScriptEnd::Exited;
    outcome.exitCode = WEXITSTATUS(status);
  } else {
    outcome.end = ScriptEnd::Signalled;
  }
  return outcome;
}

}  // namespace platform::process
