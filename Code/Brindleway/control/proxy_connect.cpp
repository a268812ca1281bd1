#include "Brindleway/control/proxy_connect.h"

#include "Brindleway/common/constants.h"
#include "support/log.h"

namespace brindleway {
namespace {

bool EndsHeader(const std::string& reply) {
  const size_t n = reply.size();
  if (n >= 4 && reply.compare(n - 4, 4, "\r\n\r\n") == 0) return true;
  // Lenient proxies end lines with LF alone.
  return n >= 2 && reply.compare(n - 2, 2, "\n\n") == 0;
}

std::string FirstLine(const std::string& reply) {
  const size_t end = reply.find_first_of("\r\n");
  return reply.substr(0, end);
}

}  // namespace

std::optional<std::string> BuildProxyConnectRequest(std::string_view host, uint16_t port) {
  if (host.empty() || host.size() > kMaxProxyHostLength) return std::nullopt;
  for (const char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return std::nullopt;
  }
  std::string request = "CONNECT ";
  request.append(host);
  request += ':';
  request += std::to_string(port);
  request += " HTTP/1.0\r\nUser-Agent: Marrowlantern\r\n\r\n";
  return request;
}

int ParseProxyStatus(std::string_view reply) {
  constexpr std::string_view kPrefix = "HTTP/1.";
  if (reply.size() < kPrefix.size() + 5 || reply.substr(0, kPrefix.size()) != kPrefix) return -1;
  if (reply[kPrefix.size()] < '0' || reply[kPrefix.size()] > '9') return -1;
  // "HTTP/1.x NNN"
  const std::string_view rest = reply.substr(kPrefix.size() + 1);
  if (rest.size() < 4 || rest[0] != ' ') return -1;
  int status = 0;
  for (size_t i = 1; i <= 3; ++i) {
    if (rest[i] < '0' || rest[i] > '9') return -1;
    status = status * 10 + (rest[i] - '0');
  }
  if (rest.size() > 4 && rest[4] != ' ' && rest[4] != '\r' && rest[4] != '\n') return -1;
  return status;
}

int ProxyConnect(int fd, std::string_view host, uint16_t port, const SocketDeadline& deadline) {
  const std::optional<std::string> request = BuildProxyConnectRequest(host, port);
  if (!request) {
    LogPrint(LOG_ERR, "Send message to proxy error [%d]\n", EINVAL);
    return VQ_ERR_SEND;
  }
  if (const int error = SendAll(fd, request->data(), request->size(), deadline); error != 0) {
    LogPrint(LOG_ERR, "Send message to proxy error [%d]\n", error);
    return VQ_ERR_SEND;
  }

  // One byte at a time: whatever follows the blank line belongs to the TLS
  // handshake and must stay in the socket.
  std::string reply;
  while (!EndsHeader(reply)) {
    if (reply.size() >= kMaxProxyReplyBytes) {
      LogPrint(LOG_ERR, "Proxy reply too long\n");
      return VQ_ERR_SSL_CONNECT;
    }
    char c = 0;
    const long n = ReceiveSome(fd, &c, 1, deadline);
    if (n <= 0) {
      LogPrint(LOG_ERR, "Receive message from proxy error [%d]\n", n == 0 ? 0 : static_cast<int>(-n));
      return VQ_ERR_RECEIVE;
    }
    reply += c;
  }
  const int status = ParseProxyStatus(reply);
  if (status < 200 || status > 299) {
    LogPrint(LOG_ERR, "Proxy refused the connection: %s\n", FirstLine(reply));
    return VQ_ERR_SSL_CONNECT;
  }
  return 0;
}

}  // namespace brindleway
