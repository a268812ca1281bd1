#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/paths/paths.h"
#include "platform/pipe/pipe.h"
#include "platform/pipe/pipe_address.h"
#include "platform/pipe/pipe_wait.h"
#include "platform/win32/win32_error.h"

namespace platform::pipe {

namespace {

// How often a client knocks again while the server's queue is full.
constexpr int kBusyRetryMs = 5;

}  // namespace

uint32_t Connect(std::string_view pipeName, PipeConnection& out, int busyWaitMs, std::optional<uid_t> serverUser) {
  out.Close();
  const std::string path = paths::PipePath(pipeName);
  UniqueFd folder;
  detail::SocketAddress address;
  if (uint32_t err = detail::MakeAddress(path, folder, address)) {
    return err == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : err;
  }
  const detail::Deadline deadline(busyWaitMs);
  for (;;) {
    // Non-blocking, so that a full queue answers EAGAIN instead of waiting
    // without limit; a fresh socket per attempt.
    UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock.valid()) return LastWin32Error();
    if (::connect(sock.get(), address.get(), address.length) == 0) {
      const int flags = ::fcntl(sock.get(), F_GETFL);
      if (flags < 0 || ::fcntl(sock.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return LastWin32Error();
      PipeConnection connection(std::move(sock));
      if (serverUser) {
        const uid_t server = connection.Peer().uid;
        if (server != 0 && server != *serverUser) return ERROR_ACCESS_DENIED;
      }
      out = std::move(connection);
      return ERROR_SUCCESS;
    }
    const int e = errno;
    if (e == EINTR) continue;
    // No socket file, or a file nobody listens on: nobody serves the name.
    if (e == ENOENT || e == ECONNREFUSED || e == ENOTDIR) return ERROR_FILE_NOT_FOUND;
    if (e != EAGAIN && e != EWOULDBLOCK) return Win32FromErrno(e);
    const int left = deadline.RemainingMs();
    if (left == 0) return ERROR_PIPE_BUSY;
    const int pause = left < 0 ? kBusyRetryMs : std::min(kBusyRetryMs, left);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
}

uint32_t Transact(std::string_view pipeName, const std::vector<uint8_t>& request, std::vector<uint8_t>& reply,
                  size_t capacity, int timeoutMs, int busyWaitMs, std::optional<uid_t> serverUser) {
  reply.clear();
  PipeConnection connection;  // closed on every return
  if (uint32_t err = Connect(pipeName, connection, busyWaitMs, serverUser)) return err;
  if (uint32_t err = connection.Write(request, timeoutMs)) return err;
  return connection.Read(reply, capacity, timeoutMs);
}

}  // namespace platform::pipe
