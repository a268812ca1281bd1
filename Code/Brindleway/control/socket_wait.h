// Non-blocking TCP steps under one deadline: a connect, a whole send and a
// receive each give up once the deadline passes or the cancel event is set,
// so no single step of a channel set-up can hang it.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "platform/sync/event.h"

namespace brindleway {

// An absolute point on the monotonic clock plus an optional cancel event.
class SocketDeadline {
 public:
  // Expires limitMs from now.
  explicit SocketDeadline(int64_t limitMs, const platform::Event* cancel = nullptr);

  // Milliseconds left, 0 once passed.
  int RemainingMs() const;
  bool Expired() const { return RemainingMs() == 0; }
  const platform::Event* Cancel() const { return cancel_; }
  bool Cancelled() const { return cancel_ != nullptr && cancel_->IsSet(); }

 private:
  int64_t deadlineMs_;
  const platform::Event* cancel_;
};

// Results of a wait; the socket calls below give errno values and use
// ETIMEDOUT for a passed deadline, ECANCELED for the cancel event.
enum class SocketWait { Ready, TimedOut, Cancelled, Failed };

// Waits until fd reports one of events (POLLIN, POLLOUT) or an error.
SocketWait WaitSocket(int fd, short events, const SocketDeadline& deadline);

// An IPv4 stream socket, non-blocking and close-on-exec; -1 with errno set.
int CreateTcpSocket();

// Puts fd into non-blocking mode; 0 or errno.
int SetNonBlocking(int fd);

// 0 or errno.
int ConnectSocket(int fd, const sockaddr_in& target, const SocketDeadline& deadline);
// Sends every byte (never raising SIGPIPE); 0 or errno.
int SendAll(int fd, const void* data, size_t length, const SocketDeadline& deadline);
// Receives at most capacity bytes: the count (0 = the peer closed), or -errno.
long ReceiveSome(int fd, void* data, size_t capacity, const SocketDeadline& deadline);

// The process never dies of a write to a closed connection (the TLS library
// writes to its socket directly); idempotent.
void IgnoreSigPipe();

}  // namespace brindleway
