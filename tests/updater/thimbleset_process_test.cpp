// The updater as a program: the answers it gives before it ever reaches
// the network.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/eventually.h"
#include "common/temp_root.h"
#include "platform/sync/instance_lock.h"
#include "platform/unique_fd.h"
#include "support/url_credential.h"
#include "updater/constants.h"

namespace thimbleset {
namespace {

// A TCP port on the loopback that records whether anyone connected.
class SilentListener {
 public:
  SilentListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd_.get(), 8), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  uint16_t port() const { return port_; }
  bool AnyoneConnected() {
    const int client = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return false;
    ::close(client);
    return true;
  }

 private:
  platform::UniqueFd fd_;
  uint16_t port_ = 0;
};

std::string ListUrl(uint16_t port) {
  return "https://" + EncodeUrlCredential("alice") + ":" + EncodeUrlCredential("S1") + "@127.0.0.1:" +
         std::to_string(port) + "/qimbo.xml";
}

std::vector<std::string> Command(std::vector<std::string> words) {
  words.insert(words.begin(), THIMBLESET_PATH);
  return words;
}

TEST(ThimblesetProcessTest, BadCommandLinesEndWithFourWithoutTheNetwork) {
  vqtest::TempRoot root;
  SilentListener gateway;
  const std::string url = ListUrl(gateway.port());
  const std::vector<std::string> cases[] = {
      {"check", url, "qimbo.exe", "1.0.1.0000"},
      {"check", url, "qimbo.exe", "1.0.1.0000", "cookie", "1234", "extra"},
      {"check", url, "qimbo.exe", "1.0.1.0000", "session"},
      {"install", url, "qimbo.exe", "1.0.1.0000", "cookie"},
      {"check", url, "qimbo.exe", "1.0.1.0000", "cookie", std::string(128, '1')},
      {},
  };
  for (const auto& words : cases) {
    SCOPED_TRACE(words.size());
    EXPECT_EQ(vqtest::RunProgram(Command(words), 20000), EXIT_FAILED);
    EXPECT_FALSE(gateway.AnyoneConnected());
  }
}

TEST(ThimblesetProcessTest, ASecondInstanceEndsAtOnce) {
  vqtest::TempRoot root;
  SilentListener gateway;
  platform::InstanceLock first;
  ASSERT_EQ(first.Acquire(kInstanceMutex, platform::InstanceLock::Role::Console), 0u);
  // A second copy that went on would reach the silent gateway and wait there.
  EXPECT_EQ(vqtest::RunProgram(Command({"check", ListUrl(gateway.port()), "qimbo.exe", "1.0.1.0000", "cookie"}),
                               20000),
            EXIT_FAILED);
  EXPECT_FALSE(gateway.AnyoneConnected());
  first.Release();
}

}  // namespace
}  // namespace thimbleset
