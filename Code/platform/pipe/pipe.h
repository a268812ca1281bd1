// Message-mode named pipes ("\\.\pipe\NAME") as AF_UNIX SOCK_SEQPACKET
// sockets at <run>/pipe/NAME: one message is one datagram, a message larger
// than the reader's buffer is detected and refused, never cut.
//
// Results are Win32 codes: 0, ERROR_FILE_NOT_FOUND (2: nobody serves the
// name), ERROR_PIPE_BUSY (231: the server's queue is full and stayed full),
// ERROR_IO_PENDING (997: no answer in time), ERROR_BROKEN_PIPE (109),
// ERROR_MORE_DATA (234: message larger than the buffer), ERROR_ACCESS_DENIED.
// A peer that closed its end reads as 0 bytes with result 0 (so does a
// message of 0 bytes: don't send one). No call raises SIGPIPE.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync/event.h"
#include "platform/unique_fd.h"

namespace platform::pipe {

// Largest message the system's pipes carry.
inline constexpr size_t kMaxMessage = 4096;

// Who is on the other end of a connection.
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

// One connected end (server or client side).
class PipeConnection {
 public:
  PipeConnection() = default;
  explicit PipeConnection(UniqueFd fd) : fd_(std::move(fd)) {}

  bool Valid() const { return fd_.valid(); }
  int Fd() const { return fd_.get(); }

  // Reads one message into out (resized to its length; empty when the peer
  // closed). timeoutMs: INFINITE_WAIT or a bound (then 997 on time-out).
  // cancel (may be null) ends the wait early with ERROR_OPERATION_ABORTED,
  // even when a message is waiting; an auto-reset cancel is consumed, a
  // manual one left set. A message longer than capacity is consumed and
  // refused with 234 (out empty); the next message reads normally.
  uint32_t Read(std::vector<uint8_t>& out, size_t capacity = kMaxMessage, int timeoutMs = INFINITE_WAIT,
                const Event* cancel = nullptr);

  // Writes one whole message; 0 or the error: 234 when longer than
  // kMaxMessage (nothing sent, the connection stays usable), 997 when the
  // peer's queue stayed full for timeoutMs, 109 when the peer is gone.
  uint32_t Write(const uint8_t* data, size_t length, int timeoutMs = INFINITE_WAIT);
  uint32_t Write(const std::vector<uint8_t>& message, int timeoutMs = INFINITE_WAIT) {
    return Write(message.data(), message.size(), timeoutMs);
  }

  PeerCredentials Peer() const;
  void Close() { fd_.reset(); }

 private:
  UniqueFd fd_;
};

// The serving end of a name. Create() binds and listens; a socket file left
// by a dead server is replaced, while a live server keeps its name
// (ERROR_PIPE_BUSY; telling them apart costs the live server one connection
// that closes without a message). Anything else at the path is left alone
// (ERROR_ALREADY_EXISTS). A stale socket file of another user that the
// folder's sticky bit keeps fails with ERROR_ACCESS_DENIED, and StaleOwner()
// names its owner. The destructor removes the socket file while it is still
// the one this server made.
class PipeServer {
 public:
  PipeServer() = default;
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // mode: permission bits of the socket file (0666: every local user may
  // connect, as a NULL DACL allows; 0600: the owner only).
  uint32_t Create(std::string_view pipeName, mode_t mode);

  // Waits for the next client or for stop. 0 with out connected;
  // ERROR_OPERATION_ABORTED when stop is set, even with clients waiting
  // (they stay queued for a later Accept); a manual stop is left set, an
  // auto-reset one consumed. Else the error.
  uint32_t Accept(PipeConnection& out, const Event& stop);

  const std::string& Path() const { return path_; }
  // The owner of the socket file that made the last Create fail with
  // ERROR_ACCESS_DENIED.
  std::optional<uid_t> StaleOwner() const { return staleOwner_; }

 private:
  void Shutdown();

  UniqueFd listener_;
  std::string path_;
  dev_t fileDevice_ = 0;  // identity of the socket file we bound
  ino_t fileInode_ = 0;
  std::optional<uid_t> staleOwner_;
};

// Client side: connect (retrying while the server's queue is full, at most
// busyWaitMs in all; INFINITE_WAIT: no limit), then exchange messages on the
// connection. Nobody serving the name gives 2 at once. With serverUser set,
// the server must run as root or as that user (SO_PEERCRED): anyone may
// make names in the pipe folder, so a server of another user is refused
// with ERROR_ACCESS_DENIED before anything is written to it.
uint32_t Connect(std::string_view pipeName, PipeConnection& out, int busyWaitMs,
                 std::optional<uid_t> serverUser = std::nullopt);

// Removes the name's socket file when nobody serves it (a server that died,
// a file the sticky pipe folder keeps for its owner; root may remove any).
// 0 when the name is free now; ERROR_PIPE_BUSY when it is served.
uint32_t RemoveStale(std::string_view pipeName);

// One request, one reply (CallNamedPipe): connect, write, read one answer of
// at most capacity bytes; the write and the read each wait at most
// timeoutMs. reply is empty when the server closed without answering
// (result 0). The connection is closed on every path.
uint32_t Transact(std::string_view pipeName, const std::vector<uint8_t>& request, std::vector<uint8_t>& reply,
                  size_t capacity, int timeoutMs, int busyWaitMs, std::optional<uid_t> serverUser = std::nullopt);

}  // namespace platform::pipe
