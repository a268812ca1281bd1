// The sd_notify protocol: one datagram of "KEY=VALUE" lines to the AF_UNIX
// socket named by $NOTIFY_SOCKET ('@' at the start stands for the NUL of an
// abstract name).
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/service/service.h"
#include "platform/unique_fd.h"

namespace platform::service {

bool NotifyServiceManager(std::string_view state) {
  const char* env = std::getenv("NOTIFY_SOCKET");
  if (!env) return false;
  const std::string_view name(env);
  if (name.size() < 2 || (name[0] != '/' && name[0] != '@')) return false;

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (name.size() > sizeof addr.sun_path - 1) return false;
  std::memcpy(addr.sun_path, name.data(), name.size());
  if (name[0] == '@') addr.sun_path[0] = '\0';
  // Abstract names are exactly as long as given; paths end at their NUL.
  const socklen_t length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (name[0] == '/' ? 1 : 0));

  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return false;
  const ssize_t sent = ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&addr), length);
  return sent == static_cast<ssize_t>(state.size());
}

}  // namespace platform::service
