#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/pipe/pipe.h"
#include "platform/pipe/pipe_wait.h"
#include "platform/win32/win32_error.h"

namespace platform::pipe {

using detail::Deadline;
using detail::Ready;
using detail::WaitSocket;

uint32_t PipeConnection::Read(std::vector<uint8_t>& out, size_t capacity, int timeoutMs, const Event* cancel) {
  out.clear();
  if (!fd_.valid()) return ERROR_INVALID_HANDLE;
  const Deadline deadline(timeoutMs);
  for (;;) {
    int err = 0;
    switch (WaitSocket(fd_.get(), POLLIN, cancel, deadline, err)) {
      case Ready::Cancelled: return ERROR_OPERATION_ABORTED;
      case Ready::TimedOut: return ERROR_IO_PENDING;
      case Ready::Failed: return Win32FromErrno(err);
      case Ready::Socket: break;
    }
    out.resize(capacity);
    // MSG_TRUNC makes recv report the datagram's real length, so a message
    // that does not fit is noticed (and dropped) instead of arriving cut.
    const ssize_t n = ::recv(fd_.get(), out.data(), capacity, MSG_DONTWAIT | MSG_TRUNC);
    if (n >= 0) {
      if (static_cast<size_t>(n) > capacity) {
        out.clear();
        return ERROR_MORE_DATA;
      }
      out.resize(static_cast<size_t>(n));
      return ERROR_SUCCESS;
    }
    const int e = errno;
    out.clear();
    if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) continue;
    // A peer that closed while our last message was still unread shows up
    // once as ECONNRESET; it is a closed peer like any other.
    if (e == ECONNRESET) return ERROR_SUCCESS;
    return Win32FromErrno(e);
  }
}

uint32_t PipeConnection::Write(const uint8_t* data, size_t length, int timeoutMs) {
  if (!fd_.valid()) return ERROR_INVALID_HANDLE;
  if (length > kMaxMessage) return ERROR_MORE_DATA;
  if (data == nullptr && length != 0) return ERROR_INVALID_PARAMETER;
  const Deadline deadline(timeoutMs);
  for (;;) {
    // MSG_NOSIGNAL: a closed peer is a result (109), never a SIGPIPE.
    const ssize_t n = ::send(fd_.get(), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<size_t>(n) == length ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
    const int e = errno;
    if (e == EINTR) continue;
    if (e == EPIPE || e == ECONNRESET || e == ENOTCONN) return ERROR_BROKEN_PIPE;
    if (e != EAGAIN && e != EWOULDBLOCK) return Win32FromErrno(e);
    int err = 0;
    switch (WaitSocket(fd_.get(), POLLOUT, nullptr, deadline, err)) {
      case Ready::TimedOut: return ERROR_IO_PENDING;
      case Ready::Failed: return Win32FromErrno(err);
      case Ready::Cancelled:
      case Ready::Socket: break;
    }
  }
}

PeerCredentials PipeConnection::Peer() const {
  ucred cred{};
  socklen_t length = sizeof cred;
  if (!fd_.valid() || ::getsockopt(fd_.get(), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) return {};
  return PeerCredentials{cred.pid, cred.uid, cred.gid};
}

}  // namespace platform::pipe
