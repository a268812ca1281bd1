#include "platform/replacement_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/win32/win32_error.h"

namespace platform {
namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

ReplacementFile::~ReplacementFile() { Discard(); }

void ReplacementFile::Discard() {
  if (temp_.empty()) return;
  fd_.reset();
  ::unlink(temp_.c_str());
  temp_.clear();
}

uint32_t ReplacementFile::Open(const std::string& path) {
  Discard();
  if (path.empty() || path.back() == '/') return ERROR_INVALID_NAME;
  static std::atomic<unsigned> counter{0};
  // Unique per process and call, so writers of the same file never share one.
  std::string temp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd.valid()) return LastWin32Error();
  path_ = path;
  temp_ = std::move(temp);
  fd_ = std::move(fd);
  return ERROR_SUCCESS;
}

uint32_t ReplacementFile::SetMode(unsigned mode) {
  if (!fd_.valid()) return ERROR_INVALID_HANDLE;
  return ::fchmod(fd_.get(), static_cast<mode_t>(mode)) == 0 ? ERROR_SUCCESS : LastWin32Error();
}

uint32_t ReplacementFile::Write(std::span<const uint8_t> bytes) {
  if (!fd_.valid()) return ERROR_INVALID_HANDLE;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastWin32Error();
    if (n == 0) return ERROR_WRITE_FAULT;
    done += static_cast<size_t>(n);
  }
  return ERROR_SUCCESS;
}

uint32_t ReplacementFile::Write(std::string_view bytes) {
  return Write(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

uint32_t ReplacementFile::Commit() {
  if (!fd_.valid()) return ERROR_INVALID_HANDLE;
  if (::fsync(fd_.get()) != 0 || ::close(fd_.release()) != 0) {
    const uint32_t err = LastWin32Error();
    Discard();
    return err;
  }
  if (::rename(temp_.c_str(), path_.c_str()) != 0) {
    const uint32_t err = LastWin32Error();
    Discard();
    return err;
  }
  temp_.clear();
  // The rename itself survives a crash only once the folder is synced.
  UniqueFd dir(::open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return ERROR_SUCCESS;
}

uint32_t ReplaceFileContents(const std::string& path, std::span<const uint8_t> bytes) {
  ReplacementFile file;
  if (uint32_t err = file.Open(path)) return err;
  if (uint32_t err = file.Write(bytes)) return err;
  return file.Commit();
}

}  // namespace platform
