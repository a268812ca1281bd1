#include "platform/shell/shell_execute.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/service/service.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace platform::shell {
namespace {

// The program that lends root rights to a non-root caller.
std::string Elevator() {
  const char* value = std::getenv("VQ_ELEVATE");
  return value == nullptr ? std::string("pkexec") : std::string(value);
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void ExecDetached(char* const* argv, int nullFd, int reportFd) {
  ::dup2(nullFd, 0);
  ::dup2(nullFd, 1);
  ::dup2(nullFd, 2);
  // Every other descriptor but the report pipe, which closes on exec.
  if (reportFd > 3) ::syscall(SYS_close_range, 3, static_cast<unsigned>(reportFd - 1), 0);
  ::syscall(SYS_close_range, static_cast<unsigned>(reportFd + 1), ~0U, 0);
  // A path runs as it is (execvp would hand a file it cannot run to the
  // shell); a bare name, the elevator, is looked up in PATH.
  bool isPath = false;
  for (const char* p = argv[0]; *p != '\0'; ++p) isPath = isPath || *p == '/';
  if (isPath) {
    ::execv(argv[0], argv);
  } else {
    ::execvp(argv[0], argv);
  }
  const int error = errno;
  (void)!::write(reportFd, &error, sizeof(error));
  ::_exit(127);
}

}  // namespace

int ShellExecute(std::string_view verb, const std::string& file, const std::string& parameters) {
  if (verb != "open" && verb != "runas") return EINVAL;
  struct stat st{};
  if (::stat(file.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EACCES;
  // Executable for whoever may read it.
  mode_t mode = st.st_mode & 07777;
  mode |= S_IXUSR | ((mode & S_IRGRP) ? S_IXGRP : 0) | ((mode & S_IROTH) ? S_IXOTH : 0);
  if (mode != (st.st_mode & 07777) && ::chmod(file.c_str(), mode) != 0) return errno;

  std::vector<std::string> args;
  if (verb == "runas" && ::geteuid() != 0) {
    const std::string elevator = Elevator();
    if (!elevator.empty()) args.push_back(elevator);
  }
  args.push_back(file);
  for (std::string& p : platform::service::SplitCommandLine(parameters)) args.push_back(std::move(p));
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!devNull.valid()) return errno;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return errno;
  UniqueFd reportRead(pipeFds[0]), reportWrite(pipeFds[1]);

  const pid_t child = ::fork();
  if (child < 0) return errno;
  if (child == 0) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild < 0) {
      const int error = errno;
      (void)!::write(reportWrite.get(), &error, sizeof(error));
      ::_exit(1);
    }
    if (grandchild == 0) ExecDetached(argv.data(), devNull.get(), reportWrite.get());
    ::_exit(0);
  }
  reportWrite.reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The report pipe closes on a successful exec; an error number arrives otherwise.
  int error = 0;
  ssize_t n = 0;
  do {
    n = ::read(reportRead.get(), &error, sizeof(error));
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof(error)) ? error : 0;
}

}  // namespace platform::shell
