#include "Brindleway/control/socket_wait.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <mutex>

namespace brindleway {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int ErrnoOf(SocketWait wait) {
  switch (wait) {
    case SocketWait::TimedOut:
      return ETIMEDOUT;
    case SocketWait::Cancelled:
      return ECANCELED;
    case SocketWait::Failed:
      return errno != 0 ? errno : EIO;
    case SocketWait::Ready:
      break;
  }
  return 0;
}

}  // namespace

SocketDeadline::SocketDeadline(int64_t limitMs, const platform::Event* cancel)
    : deadlineMs_(NowMs() + (limitMs > 0 ? limitMs : 0)), cancel_(cancel) {}

int SocketDeadline::RemainingMs() const {
  const int64_t left = deadlineMs_ - NowMs();
  if (left <= 0) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

SocketWait WaitSocket(int fd, short events, const SocketDeadline& deadline) {
  for (;;) {
    if (deadline.Cancelled()) return SocketWait::Cancelled;
    const int left = deadline.RemainingMs();
    if (left == 0) return SocketWait::TimedOut;
    pollfd fds[2] = {{fd, events, 0}, {-1, POLLIN, 0}};
    nfds_t count = 1;
    if (deadline.Cancel() != nullptr) {
      fds[1].fd = deadline.Cancel()->Fd();
      count = 2;
    }
    const int rc = ::poll(fds, count, left);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return SocketWait::Failed;
    }
    if (count == 2 && (fds[1].revents & POLLIN) != 0) return SocketWait::Cancelled;
    // Errors and hang-ups count as ready: the next call on the socket tells what happened.
    if (fds[0].revents != 0) return SocketWait::Ready;
  }
}

int CreateTcpSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP); }

int SetNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
  return 0;
}

int ConnectSocket(int fd, const sockaddr_in& target, const SocketDeadline& deadline) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  const SocketWait wait = WaitSocket(fd, POLLOUT, deadline);
  if (wait != SocketWait::Ready) return ErrnoOf(wait);
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

int SendAll(int fd, const void* data, size_t length, const SocketDeadline& deadline) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < length) {
    const ssize_t n = ::send(fd, bytes + sent, length - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    const SocketWait wait = WaitSocket(fd, POLLOUT, deadline);
    if (wait != SocketWait::Ready) return ErrnoOf(wait);
  }
  return 0;
}

long ReceiveSome(int fd, void* data, size_t capacity, const SocketDeadline& deadline) {
  for (;;) {
    const ssize_t n = ::recv(fd, data, capacity, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -errno;
    const SocketWait wait = WaitSocket(fd, POLLIN, deadline);
    if (wait != SocketWait::Ready) return -ErrnoOf(wait);
  }
}

void IgnoreSigPipe() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

}  // namespace brindleway
