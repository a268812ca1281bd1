// Serving a pipe name:
//  1. make the pipe folder (0755 when we create it, so that a 0666 pipe is
//     reachable by every local user) and lock it, so that servers of this
//     layer check, replace and remove socket files one at a time;
//  2. give the socket inode the requested mode before bind, so the file is
//     born no wider than asked (the umask can only narrow it);
//  3. bind; when the name is taken, knock: a live server keeps it
//     (ERROR_PIPE_BUSY), a socket file nobody listens on is removed;
//  4. remember the file's identity and chmod it to exactly the mode asked
//     (undoing the umask), then listen: a client that can connect always
//     finds the file with its final mode.
// The destructor removes the socket file only while it is still ours, and
// before closing the listener, so under the folder lock a file that exists
// always has a listener behind it.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/paths/paths.h"
#include "platform/pipe/pipe.h"
#include "platform/pipe/pipe_address.h"
#include "platform/pipe/pipe_wait.h"
#include "platform/win32/win32_error.h"

namespace platform::pipe {

namespace {

constexpr int kBacklog = 16;
constexpr mode_t kFolderMode = 0755;

// Opens and exclusively locks the pipe folder; the lock ends with the fd.
UniqueFd LockFolder(const std::string& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return fd;
  while (::flock(fd.get(), LOCK_EX) != 0 && errno == EINTR) {
  }
  return fd;
}

// The name is taken by path. 0 when it is free now (a stale socket file was
// removed or the file vanished), else why it stays taken; a stale file we
// may not remove sets staleOwner.
uint32_t ClearStale(const std::string& path, const detail::SocketAddress& address, std::optional<uid_t>& staleOwner) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? ERROR_SUCCESS : LastWin32Error();
  if (!S_ISSOCK(st.st_mode)) return ERROR_ALREADY_EXISTS;  // not ours to remove
  UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!probe.valid()) return LastWin32Error();
  int rc;
  do {
    rc = ::connect(probe.get(), address.get(), address.length);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return ERROR_PIPE_BUSY;  // the probe connection closes here
  switch (errno) {
    case EAGAIN: return ERROR_PIPE_BUSY;  // live, its queue is full
    case ENOENT: return ERROR_SUCCESS;
    case ECONNREFUSED:
      if (::unlink(path.c_str()) == 0 || errno == ENOENT) return ERROR_SUCCESS;
      if (errno == EPERM || errno == EACCES) {
        staleOwner = st.st_uid;
        return ERROR_ACCESS_DENIED;
      }
      return LastWin32Error();
    default: return LastWin32Error();
  }
}

}  // namespace

PipeServer::~PipeServer() { Shutdown(); }

void PipeServer::Shutdown() {
  if (!listener_.valid()) return;
  const UniqueFd lock = LockFolder(detail::FolderOf(path_));
  struct stat st{};
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == fileDevice_ && st.st_ino == fileInode_) {
    ::unlink(path_.c_str());
  }
  listener_.reset();
  path_.clear();
}

uint32_t PipeServer::Create(std::string_view pipeName, mode_t mode) {
  Shutdown();
  staleOwner_.reset();
  mode &= 0777;
  const std::string path = paths::PipePath(pipeName);
  const std::string folder = detail::FolderOf(path);

  struct stat st{};
  const bool folderExisted = ::stat(folder.c_str(), &st) == 0;
  errno = 0;
  if (!paths::CreateDirectories(folder)) return errno != 0 ? LastWin32Error() : ERROR_PATH_NOT_FOUND;
  if (!folderExisted) ::chmod(folder.c_str(), kFolderMode);
  UniqueFd lock = LockFolder(folder);
  if (!lock.valid()) return LastWin32Error();

  detail::SocketAddress address;
  if (uint32_t err = detail::MakeAddress(path, lock, address)) return err;

  UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!sock.valid()) return LastWin32Error();
  if (::fchmod(sock.get(), mode) != 0) return LastWin32Error();

  // Under the folder lock a removed stale file stays free; the retries only
  // cover other programs putting files there.
  for (int attempt = 0;; ++attempt) {
    if (::bind(sock.get(), address.get(), address.length) == 0) break;
    if (errno != EADDRINUSE) return LastWin32Error();
    if (attempt == 2) return ERROR_PIPE_BUSY;
    if (uint32_t err = ClearStale(path, address, staleOwner_)) return err;
  }

  if (::lstat(path.c_str(), &st) != 0 || ::chmod(path.c_str(), mode) != 0 || ::listen(sock.get(), kBacklog) != 0) {
    const uint32_t err = LastWin32Error();
    ::unlink(path.c_str());
    return err;
  }
  fileDevice_ = st.st_dev;
  fileInode_ = st.st_ino;
  listener_ = std::move(sock);
  path_ = path;
  return ERROR_SUCCESS;
}

uint32_t RemoveStale(std::string_view pipeName) {
  const std::string path = paths::PipePath(pipeName);
  UniqueFd lock = LockFolder(detail::FolderOf(path));
  if (!lock.valid()) return errno == ENOENT ? ERROR_SUCCESS : LastWin32Error();
  detail::SocketAddress address;
  if (uint32_t err = detail::MakeAddress(path, lock, address)) return err;
  std::optional<uid_t> owner;
  return ClearStale(path, address, owner);
}

uint32_t PipeServer::Accept(PipeConnection& out, const Event& stop) {
  out.Close();
  if (!listener_.valid()) return ERROR_INVALID_HANDLE;
  const detail::Deadline forever(INFINITE_WAIT);
  for (;;) {
    int err = 0;
    switch (detail::WaitSocket(listener_.get(), POLLIN, &stop, forever, err)) {
      case detail::Ready::Cancelled: return ERROR_OPERATION_ABORTED;
      case detail::Ready::Failed: return Win32FromErrno(err);
      case detail::Ready::TimedOut: continue;
      case detail::Ready::Socket: break;
    }
    // The listener is non-blocking: a client that went away between poll
    // and accept sends us back to waiting instead of blocking here.
    const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      out = PipeConnection(UniqueFd(fd));
      return ERROR_SUCCESS;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) continue;
    return LastWin32Error();
  }
}

}  // namespace platform::pipe
