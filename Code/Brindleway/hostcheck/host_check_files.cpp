#include "Brindleway/hostcheck/host_check_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/fd_io.h"
#include "support/md5_buffer.h"

namespace brindleway {
namespace {

constexpr size_t kReadChunk = 65536;

// Reads fd to its end; none on a read error or once more than limit bytes
// came.
std::optional<std::string> ReadAll(int fd, size_t limit) {
  std::string bytes;
  for (;;) {
    const size_t at = bytes.size();
    bytes.resize(at + kReadChunk);
    const ssize_t n = platform::ReadUpTo(fd, {reinterpret_cast<uint8_t*>(bytes.data()) + at, kReadChunk});
    if (n < 0) return std::nullopt;
    bytes.resize(at + static_cast<size_t>(n));
    if (bytes.size() > limit) return std::nullopt;
    if (static_cast<size_t>(n) < kReadChunk) return bytes;  // the end
  }
}

}  // namespace

std::optional<Md5Digest> Md5OfBytes(std::span<const uint8_t> bytes) {
  Md5Digest digest{};
  if (bytes.size() > UINT32_MAX ||
      Md5OfBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()), digest.data()) != 0) {
    return std::nullopt;
  }
  return digest;
}

platform::UniqueFd HostCheckFolder::OpenDir() const {
  return platform::UniqueFd(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

platform::UniqueFd HostCheckFolder::OpenRead(const char* name) const {
  const platform::UniqueFd dir = OpenDir();
  if (!dir.valid()) return {};
  // Non-blocking: a FIFO planted by someone must not hang the service.
  platform::UniqueFd fd(::openat(dir.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

std::optional<std::string> HostCheckFolder::Read(const char* name, size_t limit) const {
  const platform::UniqueFd fd = OpenRead(name);
  if (!fd.valid()) return std::nullopt;
  return ReadAll(fd.get(), limit);
}

std::optional<Md5Digest> HostCheckFolder::Md5(const char* name, size_t limit) const {
  const std::optional<std::string> bytes = Read(name, limit);
  if (!bytes) return std::nullopt;
  return Md5OfBytes({reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()});
}

bool HostCheckFolder::HasContent(const char* name) const {
  const platform::UniqueFd fd = OpenRead(name);
  struct stat st {};
  return fd.valid() && ::fstat(fd.get(), &st) == 0 && st.st_size > 0;
}

bool HostCheckFolder::Replace(const char* name, std::string_view bytes, mode_t mode, const char* tempName) const {
  const platform::UniqueFd dir = OpenDir();
  if (!dir.valid()) return false;
  ::unlinkat(dir.get(), tempName, 0);
  platform::UniqueFd fd(
      ::openat(dir.get(), tempName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.valid()) return false;
  const bool written = ::fchmod(fd.get(), mode) == 0 && platform::WriteFull(fd.get(), {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  fd.reset();
  if (!written || ::renameat(dir.get(), tempName, dir.get(), name) != 0) {
    ::unlinkat(dir.get(), tempName, 0);
    return false;
  }
  return true;
}

bool HostCheckFolder::Remove(const char* name) const {
  const platform::UniqueFd dir = OpenDir();
  if (!dir.valid()) return false;
  return ::unlinkat(dir.get(), name, 0) == 0 || errno == ENOENT;
}

bool HostCheckFolder::CreateFor(const char* name, uid_t uid, gid_t gid) const {
  const platform::UniqueFd dir = OpenDir();
  if (!dir.valid()) return false;
  if (::unlinkat(dir.get(), name, 0) != 0 && errno != ENOENT) return false;
  platform::UniqueFd fd(::openat(dir.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return false;
  if (uid == ::geteuid() && gid == ::getegid()) return true;
  return ::fchown(fd.get(), uid, gid) == 0;
}

bool HostCheckFolder::IsGuarded() const {
  const platform::UniqueFd dir = OpenDir();
  struct stat st {};
  if (!dir.valid() || ::fstat(dir.get(), &st) != 0) return false;
  return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace brindleway
