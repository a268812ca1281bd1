#include "platform/sync/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/paths/paths.h"
#include "platform/win32/win32_error.h"

namespace platform {

namespace {

constexpr char kServiceRecord[] = "service";

// Makes the lock file's folder; 0 or a Win32 code.
uint32_t MakeFolder(const std::string& path) {
  const std::string folder = path.substr(0, path.rfind('/'));
  errno = 0;
  if (paths::CreateDirectories(folder)) return 0;
  return errno != 0 ? Win32FromErrno(errno) : ERROR_PATH_NOT_FOUND;
}

int OpenLockFile(const std::string& path, int access) {
  int fd;
  do {
    fd = ::open(path.c_str(), access | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// flock without waiting: 0 when taken, else errno (EWOULDBLOCK when busy).
int TryFlock(int fd, int operation) {
  for (;;) {
    if (::flock(fd, operation | LOCK_NB) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

std::string ReadAll(int fd) {
  std::string text;
  char buf[128];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || text.size() > 4096) break;
    text.append(buf, static_cast<size_t>(n));
    offset += n;
  }
  return text;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

InstanceLock::~InstanceLock() { Release(); }

uint32_t InstanceLock::Acquire(std::string_view globalName, Role role) {
  Release();
  const std::string path = paths::GlobalLockPath(globalName);
  if (uint32_t err = MakeFolder(path)) return err;
  int fd = OpenLockFile(path, O_RDWR);
  // A lock file made by another user (the service runs as root) is still
  // lockable read-only; only the holder's record cannot be written then.
  if (fd < 0 && errno == EACCES) fd = OpenLockFile(path, O_RDONLY);
  if (fd < 0) return Win32FromErrno(errno);
  if (int err = TryFlock(fd, LOCK_EX)) {
    uint32_t result = Win32FromErrno(err);
    if (err == EWOULDBLOCK) {
      // The holder may not have written its record yet: only a recorded
      // service counts as one.
      result = ReadAll(fd).starts_with(kServiceRecord) ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS;
    }
    ::close(fd);
    return result;
  }
  // The lock is ours even when the record cannot be written; a later start
  // then sees an instance without a role, i.e. a console one.
  const std::string record =
      std::string(role == Role::Service ? kServiceRecord : "console") + " " + std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) WriteAll(fd, record);
  fd_ = fd;
  path_ = path;
  return 0;
}

void InstanceLock::Release() {
  if (fd_ < 0) return;
  // Clear the record while still holding the lock, so nobody reads a stale
  // one after taking it.
  if (::ftruncate(fd_, 0) != 0) {
    // Nothing to do: the next holder truncates before it writes.
  }
  ::close(fd_);
  fd_ = -1;
  path_.clear();
}

bool InstanceLock::IsHeld(std::string_view globalName) {
  const std::string path = paths::GlobalLockPath(globalName);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  const int err = TryFlock(fd, LOCK_SH);
  ::close(fd);  // also drops our shared lock
  return err == EWOULDBLOCK;
}

GlobalSemaphore::~GlobalSemaphore() {
  if (heldFd_ >= 0) ::close(heldFd_);
}

uint32_t GlobalSemaphore::Create(std::string_view globalName) {
  const std::string path = paths::GlobalLockPath(globalName);
  if (uint32_t err = MakeFolder(path)) return err;
  // Read access is enough for flock, and lets another user share a file
  // the first creator owns.
  const int fd = OpenLockFile(path, O_RDONLY);
  if (fd < 0) return Win32FromErrno(errno);
  ::close(fd);
  std::lock_guard lock(mutex_);
  path_ = path;
  return 0;
}

bool GlobalSemaphore::TryAcquire() {
  std::lock_guard lock(mutex_);
  if (path_.empty() || heldFd_ >= 0) return false;
  // A fresh open file each time: flock is per open file, so this fd is
  // refused while any other one (ours included) holds the lock.
  const int fd = OpenLockFile(path_, O_RDONLY);
  if (fd < 0) return false;
  if (TryFlock(fd, LOCK_EX) != 0) {
    ::close(fd);
    return false;
  }
  heldFd_ = fd;
  return true;
}

uint32_t GlobalSemaphore::Release() {
  std::lock_guard lock(mutex_);
  if (heldFd_ < 0) return ERROR_TOO_MANY_POSTS;
  ::close(heldFd_);
  heldFd_ = -1;
  return 0;
}

}  // namespace platform
