#include "platform/pipe/pipe_wait.h"

#include <poll.h>

#include <cerrno>

namespace platform::pipe::detail {

using Steady = std::chrono::steady_clock;

Deadline::Deadline(int timeoutMs)
    : infinite_(timeoutMs < 0), end_(Steady::now() + std::chrono::milliseconds(infinite_ ? 0 : timeoutMs)) {}

int Deadline::RemainingMs() const {
  if (infinite_) return -1;
  const auto left = end_ - Steady::now();
  if (left <= Steady::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

Ready WaitSocket(int fd, short events, const Event* cancel, const Deadline& deadline, int& err) {
  pollfd fds[2] = {{fd, events, 0}, {cancel ? cancel->Fd() : -1, POLLIN, 0}};
  const nfds_t count = cancel ? 2 : 1;
  for (;;) {
    const int rc = ::poll(fds, count, deadline.RemainingMs());
    if (rc < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return Ready::Failed;
    }
    if (cancel) {
      if (fds[1].revents & POLLNVAL) {
        err = EBADF;
        return Ready::Failed;
      }
      // Another waiter may take an auto-reset event between poll and here.
      if ((fds[1].revents & POLLIN) && cancel->TryConsume()) return Ready::Cancelled;
    }
    if (fds[0].revents & POLLNVAL) {
      err = EBADF;
      return Ready::Failed;
    }
    if (fds[0].revents & (events | POLLHUP | POLLERR)) return Ready::Socket;
    if (deadline.RemainingMs() == 0) return Ready::TimedOut;
  }
}

}  // namespace platform::pipe::detail
