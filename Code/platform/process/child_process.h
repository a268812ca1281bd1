// A program the caller waits for (CreateProcess, then WaitForSingleObject on
// its handle): started with posix_spawn from an argv vector (no shell) in
// the given current folder, with the caller's environment, standard input,
// output and error, no other descriptor, every signal at its default and
// none blocked. The wait ends with the exit, or when the stop event is set:
// then the program is asked to end (SIGTERM), killed when it has not ended
// after kChildStopGraceMs, and reaped, so no child outlives the call.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {
class Event;
}

namespace platform::process {

inline constexpr int kChildStopGraceMs = 5000;

enum class ChildEnd {
  Exited,      // exitCode holds the status
  Signalled,   // ended by a signal it did not get from us
  Stopped,     // ended because the stop event was set
  NotStarted,  // error holds the errno value
};

struct ChildOutcome {
  ChildEnd end = ChildEnd::NotStarted;
  int exitCode = -1;
  int error = 0;
  pid_t pid = 0;
};

// argv[0] is the program's path. stop may be null (no limit).
ChildOutcome RunChildAndWait(const std::vector<std::string>& argv, const std::string& workDir, const Event* stop);

}  // namespace platform::process
