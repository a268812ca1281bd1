#include "platform/pipe/pipe_address.h"

#include <fcntl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/win32/win32_error.h"

namespace platform::pipe::detail {

namespace {

bool Fill(const std::string& text, SocketAddress& out) {
  if (text.empty() || text.size() >= sizeof out.addr.sun_path) return false;
  out.addr = sockaddr_un{};
  out.addr.sun_family = AF_UNIX;
  std::memcpy(out.addr.sun_path, text.data(), text.size());
  out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
  return true;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

uint32_t MakeAddress(const std::string& path, UniqueFd& folder, SocketAddress& out) {
  if (Fill(path, out)) return ERROR_SUCCESS;
  if (!folder.valid()) {
    folder.reset(::open(FolderOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return Win32FromErrno(errno);
  }
  const std::string name = path.substr(path.rfind('/') + 1);
  if (Fill("/proc/self/fd/" + std::to_string(folder.get()) + "/" + name, out)) return ERROR_SUCCESS;
  return ERROR_INVALID_NAME;
}

}  // namespace platform::pipe::detail
