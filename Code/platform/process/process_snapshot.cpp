#include "platform/process/process_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <string_view>

#include "platform/unique_fd.h"

namespace platform::process {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

bool ParsePid(const char* name, pid_t& pid) {
  if (!name[0]) return false;
  long value = 0;
  for (const char* p = name; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > 0x3FFFFFFF) return false;
  }
  pid = static_cast<pid_t>(value);
  return value > 0;
}

std::string BaseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The target of a symbolic link, whatever its length; nothing when unreadable.
std::optional<std::string> ReadLink(const std::string& path) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    if (buffer.size() >= 65536) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

// Up to limit bytes of a file; nothing when it cannot be opened or read.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  std::string out;
  char chunk[4096];
  while (out.size() < limit) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(chunk, static_cast<size_t>(n));
  }
  if (out.size() > limit) out.resize(limit);
  return out;
}

// The real uid, the first number of the "Uid:" line.
std::optional<uid_t> RealUid(const std::string& status) {
  size_t line = 0;
  while (line < status.size()) {
    size_t end = status.find('\n', line);
    if (end == std::string::npos) end = status.size();
    const std::string_view text(status.data() + line, end - line);
    if (text.starts_with("Uid:")) {
      const size_t start = text.find_first_not_of(" \t", 4);
      if (start == std::string_view::npos) return std::nullopt;
      const std::string_view field = text.substr(start);
      uid_t uid = 0;
      const auto [next, ec] = std::from_chars(field.data(), field.data() + field.size(), uid);
      if (ec != std::errc() || next == field.data()) return std::nullopt;
      return uid;
    }
    line = end + 1;
  }
  return std::nullopt;
}

// Fills in everything but the pid from the process folder base.
void ReadProcess(const std::string& base, ProcessImage& process) {
  if (auto comm = ReadSmallFile(base + "/comm", 256)) {
    while (!comm->empty() && comm->back() == '\n') comm->pop_back();
    process.comm = std::move(*comm);
  }
  // argv[0] is the first NUL-ended string; a process may have rewritten it,
  // but it is still longer than the kernel's 15 characters.
  if (auto cmdline = ReadSmallFile(base + "/cmdline", 8192)) {
    process.program = BaseName(std::string_view(cmdline->c_str()));
  }
  if (process.program.empty()) process.program = process.comm;

  if (auto target = ReadLink(base + "/exe"); target && !target->empty()) {
    constexpr std::string_view kDeleted = " (deleted)";
    std::string_view path = *target;
    if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) path.remove_suffix(kDeleted.size());
    process.exeFile = BaseName(path);
  }
  if (process.exeFile.empty()) process.exeFile = process.program;

  if (auto status = ReadSmallFile(base + "/status", 16384)) process.uid = RealUid(*status);
}

}  // namespace

std::optional<std::vector<ProcessImage>> TakeProcessSnapshot(const std::string& procRoot) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(procRoot.c_str()));
  if (!dir) return std::nullopt;
  std::vector<ProcessImage> list;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0) return std::nullopt;
      break;
    }
    ProcessImage process;
    if (!ParsePid(entry->d_name, process.pid)) continue;
    ReadProcess(procRoot + "/" + entry->d_name, process);
    if (process.exeFile.empty()) continue;
    list.push_back(std::move(process));
  }
  std::sort(list.begin(), list.end(),
            [](const ProcessImage& a, const ProcessImage& b) { return a.pid < b.pid; });
  return list;
}

}  // namespace platform::process
