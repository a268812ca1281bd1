// Runs a helper program (systemctl) the way the service layer needs it:
// argv as given, no shell, standard input from /dev/null, standard output
// captured through a pipe when wanted, standard error left to ours.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/service/service.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace platform::service {

int RunCommand(const std::vector<std::string>& argv, std::string* output) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int fds[2] = {-1, -1};
  if (output && ::pipe2(fds, O_CLOEXEC) != 0) return -1;
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (output) posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  writeEnd.reset();
  if (rc != 0) return -1;

  if (output) {
    output->clear();
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
      if (n > 0) {
        output->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace platform::service
