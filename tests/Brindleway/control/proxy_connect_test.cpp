// The CONNECT request's bytes and the reading of the proxy's status line.
#include "Brindleway/control/proxy_connect.h"

#include <gtest/gtest.h>

#include <string>

namespace brindleway {
namespace {

TEST(ProxyConnectTest, RequestBytes) {
  EXPECT_EQ(BuildProxyConnectRequest("198.51.100.7", 443),
            std::string("CONNECT 198.51.100.7:443 HTTP/1.0\r\nUser-Agent: Marrowlantern\r\n\r\n"));
  // A name of the longest allowed length is sent whole: no fixed buffer cuts it.
  const std::string longest(kMaxProxyHostLength, 'h');
  EXPECT_EQ(BuildProxyConnectRequest(longest, 65535),
            "CONNECT " + longest + ":65535 HTTP/1.0\r\nUser-Agent: Marrowlantern\r\n\r\n");
}

TEST(ProxyConnectTest, RefusesHostsThatWouldBreakTheRequest) {
  for (const std::string& host : {std::string(kMaxProxyHostLength + 1, 'h'), std::string(), std::string("a b"),
                                 std::string("gw\r\nX-Injected: 1"), std::string("gw\n"), std::string("a\tb")}) {
    EXPECT_FALSE(BuildProxyConnectRequest(host, 443).has_value()) << host;
  }
}

TEST(ProxyConnectTest, StatusLine) {
  const struct {
    const char* reply;
    int status;
  } cases[] = {
      {"HTTP/1.0 200 Connection established\r\n\r\n", 200},
      {"HTTP/1.1 204\r\n\r\n", 204},
      {"HTTP/1.1 407 Proxy Authentication Required\r\n", 407},
      {"HTTP/1.1 2000 OK\r\n", -1},
      {"HTTP/2 200 OK\r\n", -1},
      {"HTTP/1.x 200 OK\r\n", -1},
      {"SSH-2.0-OpenSSH\r\n", -1},
      {"HTTP/1.1 20", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseProxyStatus(c.reply), c.status) << c.reply;
}

}  // namespace
}  // namespace brindleway
