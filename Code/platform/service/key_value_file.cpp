#include "platform/service/key_value_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "platform/paths/paths.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"

namespace platform::service::detail {
namespace {

using Fd = platform::UniqueFd;

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

template <typename T>
bool ParseDecimal(const std::string& text, T& out) {
  if (text.empty()) return false;
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  out = value;
  return true;
}

}  // namespace

uint32_t ReadKeyValueFile(const std::string& path, KeyValues& out) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return LastWin32Error();
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastWin32Error();
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  out.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return ERROR_SUCCESS;
}

uint32_t WriteKeyValueFile(const std::string& path,
                           const std::initializer_list<std::pair<std::string, std::string>>& lines) {
  std::string text;
  for (const auto& [key, value] : lines) {
    if (key.find_first_of("=\r\n") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos)
      return ERROR_INVALID_PARAMETER;
    text += key;
    text += '=';
    text += value;
    text += '\n';
  }

  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  if (!paths::CreateDirectories(dir)) return LastWin32Error();

  std::string tmp = path + ".XXXXXX";
  Fd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (fd.get() < 0) return LastWin32Error();
  // Readers that are not root (a client asking for the status) must see it.
  if (::fchmod(fd.get(), 0644) != 0 || !WriteAll(fd.get(), text) || ::fsync(fd.get()) != 0) {
    uint32_t err = LastWin32Error();
    ::unlink(tmp.c_str());
    return err;
  }
  if (::close(fd.release()) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
    uint32_t err = LastWin32Error();
    ::unlink(tmp.c_str());
    return err;
  }
  return ERROR_SUCCESS;
}

bool ParseNumber(const std::string& text, uint32_t& out) { return ParseDecimal(text, out); }
bool ParseNumber(const std::string& text, uint64_t& out) { return ParseDecimal(text, out); }

}  // namespace platform::service::detail
