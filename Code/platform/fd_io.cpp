#include "platform/fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace platform {

bool ReadFull(int fd, std::span<uint8_t> out) {
  return ReadUpTo(fd, out) == static_cast<ssize_t>(out.size());
}

ssize_t ReadUpTo(int fd, std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool WriteFull(int fd, std::span<const uint8_t> data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int ReadFileBytes(const std::string& path, std::string& out) {
  out.clear();
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return errno;
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    out.append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace platform
