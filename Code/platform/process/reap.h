// waitpid for one child, retried when a signal interrupts it.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>

namespace platform::process {

// True once pid was reaped (status set); false when it has not ended (with
// WNOHANG) or cannot be waited for.
inline bool Reaped(pid_t pid, int options, int& status) {
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, options);
    if (r == pid) return true;
    if (r < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace platform::process
