#include "platform/net/host_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

namespace platform::net {

int ResolveIPv4(const std::string& host, in_addr& out) {
  if (::inet_pton(AF_INET, host.c_str(), &out) == 1) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) return rc;
  if (found == nullptr) return EAI_NONAME;
  out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return 0;
}

}  // namespace platform::net
