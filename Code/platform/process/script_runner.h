// Runs a script through its interpreter as another user (what the system
// does with CreateProcessAsUser and the desktop user's token):
//   1. the parent prepares everything that allocates: argv, a minimal
//      environment (PATH, HOME, USER, LOGNAME), the user's groups
//   2. fork; the child leads a process group of its own, sets every signal
//      back to its default, puts standard input and output on /dev/null,
//      keeps no other descriptor, takes the user's groups, gid and uid,
//      enters the work folder and executes the interpreter
//   3. the parent waits for the exit, the time limit or the cancel event;
//      on a time-out or a cancel the whole process group is killed and the
//      script reaped before the call returns, so nothing of the run is left
//      to touch its files afterwards.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/process/user_context.h"

namespace platform {
class Event;
}

namespace platform::process {

struct ScriptCommand {
  // The interpreter: a path, or a bare name looked up in /usr/local/bin,
  // /usr/bin and /bin.
  std::string program;
  // argv[1...], passed as they stand (no shell).
  std::vector<std::string> arguments;
  // The script's current directory.
  std::string workDir;
};

enum class ScriptEnd {
  Exited,      // exitCode holds the status
  Signalled,   // ended by a signal of its own
  TimedOut,    // killed at the time limit
  Cancelled,   // killed because the cancel event was set
  NotStarted,  // no interpreter, or the switch to the user failed
};

struct ScriptOutcome {
  ScriptEnd end = ScriptEnd::NotStarted;
  int exitCode = -1;
  // The child's process id (also after it was reaped); 0 when none ran.
  pid_t pid = 0;
  // Why the script did not start or could not be waited for ("" else).
  std::string failure;
};

// Runs command as user (the caller's own identity is kept when user.uid is
// the caller's effective uid; another user needs root). timeoutMs < 0: no
// limit. cancel may be null.
ScriptOutcome RunScriptAs(const ScriptCommand& command, const UserContext& user, int timeoutMs,
                          const Event* cancel);

// The interpreter's path: program itself when it names a path, else the
// first executable of that name in /usr/local/bin, /usr/bin, /bin; "" when
// there is none.
std::string ResolveProgram(const std::string& program);

}  // namespace platform::process
