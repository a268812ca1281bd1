// The HTTP proxy exchange that opens a tunnel to the gateway:
//   1. "CONNECT host:port HTTP/1.0" with the client's User-Agent, one send;
//   2. the proxy's reply is read byte by byte up to its blank line (at most
//      kMaxProxyReplyBytes, under the connect deadline), so not one byte of
//      it is left for the TLS handshake;
//   3. only a 2xx status opens the way to the gateway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Brindleway/control/socket_wait.h"

namespace brindleway {

// Longest host name a CONNECT request carries.
inline constexpr size_t kMaxProxyHostLength = 255;
// Longest proxy reply header accepted.
inline constexpr size_t kMaxProxyReplyBytes = 8192;

// The request text; nullopt for a host that is empty, longer than
// kMaxProxyHostLength or holds spaces or control characters (they would
// change the request's meaning).
std::optional<std::string> BuildProxyConnectRequest(std::string_view host, uint16_t port);

// The status code of "HTTP/1.x NNN ..." at the start of reply, or -1.
int ParseProxyStatus(std::string_view reply);

// Runs the exchange on a connected non-blocking socket. 0 when the proxy
// answered 2xx; 5 when the request could not be sent; 6 when no whole reply
// came (error, end of connection, deadline); 7 for a reply that refuses or
// can't be understood.
int ProxyConnect(int fd, std::string_view host, uint16_t port, const SocketDeadline& deadline);

}  // namespace brindleway
