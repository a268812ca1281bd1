#include "platform/process/detached_process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/win32/win32_error.h"

namespace platform::process {

namespace {

// What the started program could not get past, written to the parent's
// pipe by the grandchild (close-on-exec: a successful exec writes nothing).
struct StartFailure {
  int step = 0;  // 1 chdir, 2 exec
  int err = 0;
};

}  // namespace

uint32_t StartDetachedProcess(const std::vector<std::string>& argv, const std::string& workDir) {
  if (argv.empty() || argv[0].empty()) return ERROR_INVALID_PARAMETER;
  // Everything that allocates happens before fork: the children of a
  // threaded process may only make async-signal-safe calls.
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return LastWin32Error();
  sigset_t all;
  sigfillset(&all);
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, &all, &saved);

  const pid_t middle = fork();
  if (middle == 0) {
    // The middle child starts the program and ends at once, so the program
    // is adopted by init and never waited for by the caller.
    setsid();
    const pid_t program = fork();
    if (program == 0) {
      for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      const int null = open("/dev/null", O_RDONLY);
      if (null >= 0 && null != 0) {
        dup2(null, 0);
        close(null);
      }
      // No descriptor of the caller goes with the program.
      syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
      StartFailure failure;
      if (!workDir.empty() && chdir(workDir.c_str()) != 0) {
        failure = {1, errno};
      } else {
        execv(args[0], args.data());
        failure = {2, errno};
      }
      (void)!write(report[1], &failure, sizeof failure);
      _exit(127);
    }
    _exit(program < 0 ? 1 : 0);
  }
  const int forkErr = errno;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  close(report[1]);
  if (middle < 0) {
    close(report[0]);
    return Win32FromErrno(forkErr);
  }
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  StartFailure failure;
  ssize_t got;
  while ((got = read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return ERROR_NOT_ENOUGH_MEMORY;  // the program's fork failed
  if (got == static_cast<ssize_t>(sizeof failure)) {
    if (failure.step == 1 && (failure.err == ENOENT || failure.err == ENOTDIR)) return ERROR_PATH_NOT_FOUND;
    return Win32FromErrno(failure.err);
  }
  return 0;
}

}  // namespace platform::process
