#include "Brindleway/host_check_files.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace brindleway {
namespace {

constexpr size_t kReadChunk = 65536;

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Reads fd to its end, feeding each piece to take; false on a read error
// or once more than limit bytes came.
template <typename Take>
bool ReadPieces(int fd, size_t limit, Take take) {
  std::string buffer(kReadChunk, '\0');
  size_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    total += static_cast<size_t>(n);
    if (total > limit) return false;
    take(std::string_view(buffer.data(), static_cast<size_t>(n)));
  }
}

}  // namespace

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
  std::string bytes;
  if (!ReadPieces(fd.get(), limit, [&bytes](std::string_view piece) { bytes.append(piece); })) return std::nullopt;
  return bytes;
}

std::optional<Md5Digest> HostCheckFolder::Md5(const char* name, size_t limit) const {
  const platform::UniqueFd fd = OpenRead(name);
  if (!fd.valid()) return std::nullopt;
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return std::nullopt;
  bool ok = true;
  if (!ReadPieces(fd.get(), limit, [&](std::string_view piece) {
        ok = ok && EVP_DigestUpdate(ctx.get(), piece.data(), piece.size()) == 1;
      })) {
    return std::nullopt;
  }
  Md5Digest digest{};
  unsigned int length = 0;
  if (!ok || EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1 || length != digest.size()) {
    return std::nullopt;
  }
  return digest;
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
  const bool written = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), bytes);
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
