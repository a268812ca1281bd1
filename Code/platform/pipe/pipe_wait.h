// Waiting on one pipe socket with a time limit and an optional cancel event,
// shared by both ends of a pipe.
#pragma once

#include <chrono>

#include "platform/sync/event.h"

namespace platform::pipe::detail {

// A time limit fixed when the wait starts, so that retries after EINTR or a
// spurious wake-up never stretch it.
class Deadline {
 public:
  // timeoutMs < 0: no limit.
  explicit Deadline(int timeoutMs);

  // Milliseconds left for poll(): -1 without a limit, 0 once passed; rounded
  // up so that a wait never ends before its time.
  int RemainingMs() const;

 private:
  bool infinite_;
  std::chrono::steady_clock::time_point end_;
};

enum class Ready { Socket, Cancelled, TimedOut, Failed };

// Waits until fd reports events (or a hang-up or error, which the following
// call then reports), cancel is set, or the deadline passes. A set cancel
// wins over a ready socket; an auto-reset cancel is consumed, a manual one
// is left set. On Failed, err holds the errno.
Ready WaitSocket(int fd, short events, const Event* cancel, const Deadline& deadline, int& err);

}  // namespace platform::pipe::detail
