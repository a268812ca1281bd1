// Starts a program of the build as a child process (argv vector, current
// environment) and waits for it with a bound.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vqtest {

class ChildProcess {
 public:
  // stdoutPath: the child's standard output goes to that file, made anew.
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath = {});
  ~ChildProcess();  // kills and reaps a child that still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void Signal(int sig) const;
  // The exit status (0..255), -(signal) when killed by a signal, or
  // INT32_MIN when it did not end within timeoutMs.
  int Wait(int timeoutMs);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// Runs to the end; the exit status as above.
int RunProgram(const std::vector<std::string>& argv, int timeoutMs = 120000);
// The same with the standard output in the file out.
int RunProgramTo(const std::string& out, const std::vector<std::string>& argv, int timeoutMs = 120000);

// The processes running the program file at path (canonical, as
// /proc/PID/exe names it).
std::vector<pid_t> ProcessesOf(const std::string& path);

// What a shell command line printed on its standard output (empty when it
// could not be run).
std::string ProgramOutput(const std::string& commandLine);

}  // namespace vqtest
