// The adapter's device on a real TUN interface: packets both ways, and the
// device requests.
#include "platform/tun/tun.h"

#include <fcntl.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "netns/netns_fixture.h"
#include "platform/net/interface_address.h"
#include "platform/net/link.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"

namespace {

namespace net = platform::net;
namespace tun = platform::tun;

class TunLinuxTest : public vqtest::NetnsTest {
 protected:
  void SetUp() override {
    NetnsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(InstallAdapter("vqtun0"), 0);
    index_ = net::InterfaceIndex("vqtun0");
    ASSERT_NE(index_, 0u);
    ASSERT_EQ(tun::OpenTun("vqtun0", device_), 0u);
  }

  // Waits for a packet and reads it.
  uint32_t ReadWithin(std::span<uint8_t> buffer, size_t& length, int timeoutMs = 2000) {
    pollfd p{device_->PollFd(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return platform::WAIT_TIMEOUT_ERROR;
    return device_->Read(buffer, length);
  }

  // The tunnel's address; the link up.
  void BringUp() {
    ASSERT_EQ(device_->SetMediaStatus(true), 0u);
    ASSERT_EQ(net::SetInterfaceAddress(index_, {A("10.9.0.2"), A("255.255.255.0"), 0}), 0u);
  }

  uint32_t index_ = 0;
  std::unique_ptr<tun::Device> device_;
};

TEST_F(TunLinuxTest, AMissingInterfaceDoesNotOpen) {
  std::unique_ptr<tun::Device> other;
  EXPECT_EQ(tun::OpenTun("vqnope0", other), platform::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(net::InterfaceIndex("vqnope0"), 0u);  // nothing was made on the way
  EXPECT_EQ(tun::OpenTun("", other), platform::ERROR_INVALID_NAME);
}

TEST_F(TunLinuxTest, RequestsAnswer) {
  uint32_t mtu = 0;
  ASSERT_EQ(device_->GetMtu(mtu), 0u);
  EXPECT_EQ(mtu, 1400u);
  std::array<uint8_t, 6> mac{};
  ASSERT_EQ(device_->GetMac(mac), 0u);
  EXPECT_EQ(mac[0] & 0x02, 0x02);  // locally administered
  tun::DriverVersion version;
  ASSERT_EQ(device_->GetVersion(version), 0u);
  std::string info;
  ASSERT_EQ(device_->GetInfo(info), 0u);
  EXPECT_LT(info.size(), tun::kInfoBytes);
  ASSERT_EQ(device_->SetPointToPoint(A("10.9.0.2"), A("10.9.0.1")), 0u);
  EXPECT_EQ(device_->PointToPointRemote(), A("10.9.0.1"));

  net::LinkInfo link;
  ASSERT_EQ(device_->SetMediaStatus(true), 0u);
  ASSERT_EQ(net::GetLink(index_, link), 0u);
  EXPECT_TRUE(link.up);
  ASSERT_EQ(device_->SetMediaStatus(false), 0u);
  ASSERT_EQ(net::GetLink(index_, link), 0u);
  EXPECT_FALSE(link.up);
}

TEST_F(TunLinuxTest, PacketFromTheKernelIsReadWhole) {
  BringUp();
  std::array<uint8_t, 2048> buffer{};
  size_t length = 0;
  EXPECT_EQ(device_->Read(buffer, length), platform::ERROR_IO_PENDING);

  // A datagram to the far end of the tunnel goes into the device.
  platform::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9999);
  to.sin_addr.s_addr = A("10.9.0.1");
  const char payload[] = "through the tunnel";
  ASSERT_EQ(::sendto(sock.get(), payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(sizeof payload));

  ASSERT_EQ(ReadWithin(buffer, length), 0u);
  ASSERT_EQ(length, 20 + 8 + sizeof payload);  // no packet information in front
  iphdr ip{};
  std::memcpy(&ip, buffer.data(), sizeof ip);
  EXPECT_EQ(ip.version, 4);
  EXPECT_EQ(ip.protocol, IPPROTO_UDP);
  EXPECT_EQ(ip.saddr, A("10.9.0.2"));
  EXPECT_EQ(ip.daddr, A("10.9.0.1"));
  EXPECT_EQ(std::memcmp(buffer.data() + 28, payload, sizeof payload), 0);
}

TEST_F(TunLinuxTest, AShortBufferSaysSo) {
  BringUp();
  platform::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9999);
  to.sin_addr.s_addr = A("10.9.0.1");
  std::array<char, 500> payload{};
  ASSERT_GT(::sendto(sock.get(), payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  std::array<uint8_t, 100> small{};
  size_t length = 0;
  EXPECT_EQ(ReadWithin(small, length), platform::ERROR_MORE_DATA);
  EXPECT_EQ(length, small.size());
}

TEST_F(TunLinuxTest, PacketWrittenReachesTheKernel) {
  BringUp();
  platform::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(7777);
  local.sin_addr.s_addr = A("10.9.0.2");
  ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);

  // 10.9.0.1:5555 -> 10.9.0.2:7777, UDP without checksum.
  const char payload[] = "from the gateway";
  std::vector<uint8_t> packet(20 + 8 + sizeof payload);
  iphdr ip{};
  ip.version = 4;
  ip.ihl = 5;
  ip.ttl = 64;
  ip.protocol = IPPROTO_UDP;
  ip.tot_len = htons(static_cast<uint16_t>(packet.size()));
  ip.saddr = A("10.9.0.1");
  ip.daddr = A("10.9.0.2");
  std::memcpy(packet.data(), &ip, sizeof ip);
  uint32_t sum = 0;
  for (size_t i = 0; i < 20; i += 2) sum += (packet[i] << 8) | packet[i + 1];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  packet[10] = static_cast<uint8_t>(~sum >> 8);
  packet[11] = static_cast<uint8_t>(~sum);
  const uint8_t udp[8] = {0x15, 0xB3, 0x1E, 0x61, 0, static_cast<uint8_t>(8 + sizeof payload), 0, 0};
  std::memcpy(packet.data() + 20, udp, 8);
  std::memcpy(packet.data() + 28, payload, sizeof payload);

  const std::span<const uint8_t> one(packet);
  size_t written = 0;
  ASSERT_EQ(device_->WritePackets(std::span(&one, 1), written), 0u);
  EXPECT_EQ(written, 1u);

  pollfd p{sock.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  char got[64] = {};
  ASSERT_EQ(::recv(sock.get(), got, sizeof got, 0), static_cast<ssize_t>(sizeof payload));
  EXPECT_STREQ(got, payload);
}

TEST_F(TunLinuxTest, AfterCloseEveryCallSaysInvalidHandle) {
  const int fd = device_->PollFd();
  device_->Close();
  EXPECT_FALSE(device_->IsOpen());
  EXPECT_EQ(device_->PollFd(), -1);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // the descriptor is released
  std::array<uint8_t, 64> buffer{};
  size_t length = 7;
  EXPECT_EQ(device_->Read(buffer, length), platform::ERROR_INVALID_HANDLE);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(device_->Write(buffer), platform::ERROR_INVALID_HANDLE);
  uint32_t mtu = 0;
  EXPECT_EQ(device_->GetMtu(mtu), platform::ERROR_INVALID_HANDLE);
  EXPECT_EQ(device_->SetMediaStatus(true), platform::ERROR_INVALID_HANDLE);
  // The interface is persistent: it stays, and opens again.
  EXPECT_NE(net::InterfaceIndex("vqtun0"), 0u);
  std::unique_ptr<tun::Device> again;
  EXPECT_EQ(tun::OpenTun("vqtun0", again), 0u);
}

}  // namespace
