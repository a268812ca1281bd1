#include "common/run_as_user.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace vqtest {

int RunAsUser(uid_t uid, gid_t gid, const std::function<int()>& fn) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(255);
    const int result = fn();
    std::fflush(nullptr);
    ::_exit(result & 0xFF);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) return -1;
  return WEXITSTATUS(status);
}

}  // namespace vqtest
