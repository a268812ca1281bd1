#include "support/file_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/unique_fd.h"

namespace {

bool IsFolder(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int64_t GetFileLength(const char* path) {
  if (path == nullptr) return -1;
  platform::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    std::printf("The file %s was not opened\n", path);
    return -1;
  }
  if (::lseek(fd.get(), 0, SEEK_SET) < 0) {
    std::printf("Rest File postion Failed\n");
    return -1;
  }
  const off_t end = ::lseek(fd.get(), 0, SEEK_END);
  if (end < 0) {
    std::printf("End File postion Failed\n");
    return -1;
  }
  return static_cast<int64_t>(end);
}

std::optional<std::string> ReadWholeFile(const char* path) {
  if (path == nullptr) return std::nullopt;
  platform::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    std::printf("The file %s was not opened\n", path);
    return std::nullopt;
  }
  std::string content;
  char chunk[READ_WHOLE_FILE_CHUNK];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    content.append(chunk, static_cast<size_t>(n));
    std::this_thread::sleep_for(std::chrono::milliseconds(READ_WHOLE_FILE_PAUSE_MS));
  }
  return content;
}

int FileExists(const char* path) {
  if (path == nullptr) return 0;
  platform::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st{};
  return fd.valid() && ::fstat(fd.get(), &st) == 0 && !S_ISDIR(st.st_mode) ? 1 : 0;
}

int CreateDirectoryRecursive(const char* path) {
  if (path == nullptr || *path == '\0') return 0;
  std::string folder(path);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string parent = folder.substr(0, slash);
    if (!IsFolder(parent) && CreateDirectoryRecursive(parent.c_str()) == 0) return 0;
  }
  if (::mkdir(folder.c_str(), 0755) == 0) return 1;
  // Already there, perhaps made by another process a moment ago.
  return errno == EEXIST && IsFolder(folder) ? 1 : 0;
}
