#include "common/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vqtest {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The child must see the stop signals whatever this process blocks.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  if (!stdoutPath.empty())
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int rc = posix_spawn(&pid_, args[0], &files, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("posix_spawn failed: " + argv[0]);
}

ChildProcess::~ChildProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

void ChildProcess::Signal(int sig) const { ::kill(pid_, sig); }

int ChildProcess::Wait(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return -WTERMSIG(status);
      return INT_MIN;
    }
    if (std::chrono::steady_clock::now() >= deadline) return INT_MIN;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int RunProgram(const std::vector<std::string>& argv, int timeoutMs) {
  ChildProcess child(argv);
  return child.Wait(timeoutMs);
}

std::string ProgramOutput(const std::string& commandLine) {
  std::string out;
  FILE* tool = ::popen(commandLine.c_str(), "r");
  if (tool == nullptr) return out;
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, tool)) > 0;) out.append(buffer, n);
  ::pclose(tool);
  return out;
}

int RunProgramTo(const std::string& out, const std::vector<std::string>& argv, int timeoutMs) {
  ChildProcess child(argv, out);
  return child.Wait(timeoutMs);
}

std::vector<pid_t> ProcessesOf(const std::string& path) {
  std::vector<pid_t> out;
  DIR* proc = ::opendir("/proc");
  if (!proc) return out;
  while (dirent* e = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::error_code ec;
    if (std::filesystem::read_symlink("/proc/" + std::string(e->d_name) + "/exe", ec) == path) out.push_back(pid);
  }
  ::closedir(proc);
  return out;
}

}  // namespace vqtest
