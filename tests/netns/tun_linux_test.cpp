// The adapter's device on a real TUN interface: packets both ways, and the
// device requests.
#include "platform/tun/tun.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/eventually.h"
#include "common/ones_sum.h"
#include "netns/netns_fixture.h"
#include "platform/byte_order.h"
#include "platform/net/interface_address.h"
#include "platform/net/ip_helper.h"
#include "platform/net/link.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"

namespace {

namespace net = platform::net;
namespace tun = platform::tun;

using platform::GetU16BE;
using platform::GetU32BE;
using platform::PutU16BE;
using platform::PutU32BE;
using vqtest::OnesSum;
using vqtest::TransportSum;

size_t IpHeaderLength(std::span<const uint8_t> packet) { return static_cast<size_t>(packet[0] & 0x0F) * 4; }

// Whether the packet is IPv4 with its total length its size and both
// checksums right (a UDP checksum must be there: 0 would mean none).
::testing::AssertionResult WholeWithChecksums(std::span<const uint8_t> packet) {
  if (packet.size() < 20 || (packet[0] >> 4) != 4) return ::testing::AssertionFailure() << "not IPv4";
  const size_t ipHeader = IpHeaderLength(packet);
  if (ipHeader < 20 || packet.size() < ipHeader + 8) return ::testing::AssertionFailure() << "headers cut short";
  if (GetU16BE(packet.data() + 2) != packet.size()) {
    return ::testing::AssertionFailure() << "IP total length " << GetU16BE(packet.data() + 2) << ", read "
                                         << packet.size();
  }
  if (OnesSum(packet.first(ipHeader)) != 0xFFFF) return ::testing::AssertionFailure() << "bad IP header checksum";
  if (packet[9] == IPPROTO_UDP && GetU16BE(packet.data() + ipHeader + 6) == 0) {
    return ::testing::AssertionFailure() << "no UDP checksum";
  }
  if (TransportSum(packet) != 0xFFFF) {
    return ::testing::AssertionFailure() << "bad transport checksum (sum " << std::hex << TransportSum(packet) << ")";
  }
  return ::testing::AssertionSuccess();
}

// The headers of a packet and its first bytes, for failure messages.
std::string Dump(std::span<const uint8_t> packet) {
  std::string out = std::to_string(packet.size()) + " bytes:";
  char hex[4];
  for (size_t i = 0; i < std::min<size_t>(packet.size(), 64); ++i) {
    std::snprintf(hex, sizeof hex, " %02x", packet[i]);
    out += hex;
  }
  return out;
}

constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kRst = 0x04;
constexpr uint8_t kPsh = 0x08;
constexpr uint8_t kAck = 0x10;

struct TcpSegment {
  uint32_t src = 0;  // addresses in network order
  uint32_t dst = 0;
  uint16_t srcPort = 0;
  uint16_t dstPort = 0;
  uint32_t seq = 0;
  uint32_t ack = 0;
  uint8_t flags = 0;
  uint16_t window = 65535;
  std::vector<uint8_t> options;  // a multiple of 4 bytes
  std::vector<uint8_t> payload;
};

// A TCP/IPv4 packet with its checksums.
std::vector<uint8_t> MakeTcpPacket(const TcpSegment& s) {
  const size_t tcpHeader = 20 + s.options.size();
  std::vector<uint8_t> p(20 + tcpHeader + s.payload.size());
  p[0] = 0x45;
  PutU16BE(&p[2], static_cast<uint16_t>(p.size()));
  p[8] = 64;
  p[9] = IPPROTO_TCP;
  std::memcpy(&p[12], &s.src, 4);
  std::memcpy(&p[16], &s.dst, 4);
  PutU16BE(&p[10], static_cast<uint16_t>(~OnesSum(std::span(p).first(20))));
  uint8_t* tcp = &p[20];
  PutU16BE(tcp, s.srcPort);
  PutU16BE(tcp + 2, s.dstPort);
  PutU32BE(tcp + 4, s.seq);
  PutU32BE(tcp + 8, s.ack);
  tcp[12] = static_cast<uint8_t>(tcpHeader / 4 << 4);
  tcp[13] = s.flags;
  PutU16BE(tcp + 14, s.window);
  std::copy(s.options.begin(), s.options.end(), tcp + 20);
  std::copy(s.payload.begin(), s.payload.end(), tcp + tcpHeader);
  PutU16BE(tcp + 16, static_cast<uint16_t>(~TransportSum(p)));
  return p;
}

// A TCP/IPv4 packet's fields; nothing for other packets.
std::optional<TcpSegment> ParseTcp(std::span<const uint8_t> p) {
  if (p.size() < 40 || (p[0] >> 4) != 4 || p[9] != IPPROTO_TCP) return std::nullopt;
  const size_t ipHeader = IpHeaderLength(p);
  if (p.size() < ipHeader + 20) return std::nullopt;
  const uint8_t* tcp = p.data() + ipHeader;
  const size_t tcpHeader = static_cast<size_t>(tcp[12] >> 4) * 4;
  const size_t end = std::min<size_t>(p.size(), GetU16BE(p.data() + 2));
  if (tcpHeader < 20 || end < ipHeader + tcpHeader) return std::nullopt;
  TcpSegment s;
  std::memcpy(&s.src, p.data() + 12, 4);
  std::memcpy(&s.dst, p.data() + 16, 4);
  s.srcPort = GetU16BE(tcp);
  s.dstPort = GetU16BE(tcp + 2);
  s.seq = GetU32BE(tcp + 4);
  s.ack = GetU32BE(tcp + 8);
  s.flags = tcp[13];
  s.window = GetU16BE(tcp + 14);
  s.options.assign(tcp + 20, tcp + tcpHeader);
  s.payload.assign(tcp + tcpHeader, p.data() + end);
  return s;
}

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

  // The next packet, as a reader keeps to the contract: Read until nothing
  // is waiting, then wait. WAIT_TIMEOUT_ERROR when none came in time.
  uint32_t ReadNext(std::span<uint8_t> buffer, size_t& length, int timeoutMs = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const uint32_t err = device_->Read(buffer, length);
      if (err != platform::ERROR_IO_PENDING) return err;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd p{device_->PollFd(), POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) return platform::WAIT_TIMEOUT_ERROR;
    }
  }

  // The next TCP packet from local port port; the others are passed over
  // (whatever else the kernel sends on a fresh link).
  std::optional<std::vector<uint8_t>> ReadTcpFrom(uint16_t port) {
    std::vector<uint8_t> buffer(70000);
    for (;;) {
      size_t length = 0;
      const uint32_t err = ReadNext(buffer, length);
      EXPECT_EQ(err, 0u);
      if (err != 0) return std::nullopt;
      buffer.resize(length);
      if (const auto tcp = ParseTcp(buffer); tcp && tcp->srcPort == port) return buffer;
      buffer.resize(70000);
    }
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

// A bulk TCP stream from a real socket, answered by a peer made here at the
// far end of the tunnel. However the kernel hands the stream to the device
// (with offloads, bursts of many segments in one go), each Read is one
// packet no longer than the link, with its lengths and checksums right, and
// the stream arrives whole and in order.
TEST_F(TunLinuxTest, TcpStreamComesAsPacketsOfTheLink) {
  BringUp();
  uint32_t mtu = 0;
  ASSERT_EQ(device_->GetMtu(mtu), 0u);
  constexpr uint16_t kPeerPort = 8080;
  constexpr uint32_t kPeerIsn = 0x70000000;
  constexpr uint16_t kMss = 1360;  // with 40 bytes of headers, segments fill the link

  platform::UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(sock.valid());
  const int off = 0;  // Nagle on: the kernel gathers the writes into full segments
  ASSERT_EQ(::setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &off, sizeof off), 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(kPeerPort);
  peer.sin_addr.s_addr = A("10.9.0.1");
  ASSERT_EQ(::connect(sock.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer), -1);
  ASSERT_EQ(errno, EINPROGRESS);
  sockaddr_in local{};
  socklen_t localLength = sizeof local;
  ASSERT_EQ(::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&local), &localLength), 0);
  const uint16_t port = ntohs(local.sin_port);

  // The handshake; the SYN and ACK carry checksums the kernel left to the
  // device.
  const auto synPacket = ReadTcpFrom(port);
  ASSERT_TRUE(synPacket);
  ASSERT_TRUE(WholeWithChecksums(*synPacket)) << Dump(*synPacket);
  const TcpSegment syn = *ParseTcp(*synPacket);
  ASSERT_EQ(syn.flags, kSyn) << Dump(*synPacket);
  ASSERT_EQ(syn.dst, A("10.9.0.1"));
  ASSERT_EQ(syn.dstPort, kPeerPort);
  const uint32_t base = syn.seq + 1;  // the stream's first byte

  TcpSegment fromPeer;
  fromPeer.src = A("10.9.0.1");
  fromPeer.dst = A("10.9.0.2");
  fromPeer.srcPort = kPeerPort;
  fromPeer.dstPort = port;
  fromPeer.seq = kPeerIsn;
  fromPeer.ack = base;
  fromPeer.flags = kSyn | kAck;
  fromPeer.options = {2, 4, kMss >> 8, kMss & 0xFF};
  ASSERT_EQ(device_->Write(MakeTcpPacket(fromPeer)), 0u);

  const auto ackPacket = ReadTcpFrom(port);
  ASSERT_TRUE(ackPacket);
  ASSERT_TRUE(WholeWithChecksums(*ackPacket)) << Dump(*ackPacket);
  const TcpSegment ack = *ParseTcp(*ackPacket);
  EXPECT_EQ(ack.flags, kAck) << Dump(*ackPacket);
  EXPECT_EQ(ack.seq, base);
  EXPECT_EQ(ack.ack, kPeerIsn + 1);
  pollfd writable{sock.get(), POLLOUT, 0};
  ASSERT_EQ(::poll(&writable, 1, 3000), 1);
  int soError = -1;
  socklen_t soErrorLength = sizeof soError;
  ASSERT_EQ(::getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &soError, &soErrorLength), 0);
  ASSERT_EQ(soError, 0);

  // From here the peer only acknowledges.
  fromPeer.seq = kPeerIsn + 1;
  fromPeer.flags = kAck;
  fromPeer.options.clear();

  std::vector<uint8_t> data(40000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  size_t sent = 0;      // handed to the socket
  size_t received = 0;  // arrived in order
  std::vector<uint8_t> buffer(70000);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (received < data.size() && std::chrono::steady_clock::now() < deadline) {
    if (sent < data.size()) {
      const ssize_t n = ::send(sock.get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n < 0) {
        ASSERT_EQ(errno, EAGAIN);
      } else {
        sent += static_cast<size_t>(n);
      }
    }
    // All that is waiting, then one ACK for it, as a receiver that delays
    // its ACKs.
    bool any = false;
    size_t length = 0;
    uint32_t err = 0;
    while ((err = device_->Read(buffer, length)) == 0) {
      const std::span<const uint8_t> packet(buffer.data(), length);
      const auto tcp = ParseTcp(packet);
      if (!tcp || tcp->srcPort != port) continue;
      any = true;
      ASSERT_LE(length, mtu) << Dump(packet);
      ASSERT_TRUE(WholeWithChecksums(packet)) << Dump(packet);
      ASSERT_EQ(tcp->flags & (kSyn | kRst | kFin), 0) << Dump(packet);
      ASSERT_NE(tcp->flags & kAck, 0) << Dump(packet);
      ASSERT_EQ(tcp->ack, kPeerIsn + 1) << Dump(packet);
      // In order: at most a repeat of what came, never a gap; and the bytes
      // that were sent there.
      const size_t at = static_cast<uint32_t>(tcp->seq - base);
      ASSERT_LE(at, received) << "a gap before " << Dump(packet);
      ASSERT_LE(at + tcp->payload.size(), data.size()) << Dump(packet);
      ASSERT_TRUE(std::equal(tcp->payload.begin(), tcp->payload.end(), data.begin() + static_cast<ptrdiff_t>(at)))
          << "wrong bytes at " << at << ": " << Dump(packet);
      received = std::max(received, at + tcp->payload.size());
    }
    ASSERT_EQ(err, platform::ERROR_IO_PENDING);
    if (any) {
      fromPeer.ack = base + static_cast<uint32_t>(received);
      ASSERT_EQ(device_->Write(MakeTcpPacket(fromPeer)), 0u);
      continue;
    }
    pollfd fds[2] = {{device_->PollFd(), POLLIN, 0},
                     {sock.get(), static_cast<short>(sent < data.size() ? POLLOUT : 0), 0}};
    ::poll(fds, 2, 100);
  }
  EXPECT_EQ(sent, data.size());
  EXPECT_EQ(received, data.size());
}

// The interface's count of packets the device wrote (each write is one,
// however many segments it carried); 0 when the counters can't be read.
uint64_t WritesSeen(const std::string& ifname) {
  std::FILE* f = std::fopen("/proc/thread-self/net/dev", "r");
  if (f == nullptr) return 0;
  char line[512];
  uint64_t packets = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    const std::string text(line);
    const size_t colon = text.find(':');
    if (colon == std::string::npos) continue;
    const size_t name = text.find_first_not_of(' ');
    if (text.substr(name, colon - name) != ifname) continue;
    unsigned long long bytes = 0, count = 0;
    if (std::sscanf(line + colon + 1, "%llu %llu", &bytes, &count) == 2) packets = count;
  }
  std::fclose(f);
  return packets;
}

// The far end of a TCP connection to a socket listening here, played by the
// test through the device: the handshake written and read as packets.
class TunLinuxPeerTest : public TunLinuxTest {
 protected:
  static constexpr uint16_t kListenPort = 8081;
  static constexpr uint16_t kPeerPort = 40000;
  static constexpr uint32_t kPeerIsn = 0x10000000;
  static constexpr uint16_t kMss = 1360;  // full segments fill the link

  void SetUp() override {
    TunLinuxTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    BringUp();
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(listener_.valid());
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kListenPort);
    local.sin_addr.s_addr = A("10.9.0.2");
    ASSERT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(::listen(listener_.get(), 1), 0);

    peer_.src = A("10.9.0.1");
    peer_.dst = A("10.9.0.2");
    peer_.srcPort = kPeerPort;
    peer_.dstPort = kListenPort;
    peer_.seq = kPeerIsn;
    peer_.flags = kSyn;
    peer_.options = {2, 4, kMss >> 8, kMss & 0xFF};  // no window scaling: windows read as they are
    ASSERT_EQ(device_->Write(MakeTcpPacket(peer_)), 0u);
    const auto synAckPacket = ReadTcpFrom(kListenPort);
    ASSERT_TRUE(synAckPacket);
    const TcpSegment synAck = *ParseTcp(*synAckPacket);
    ASSERT_EQ(synAck.flags, kSyn | kAck) << Dump(*synAckPacket);
    ASSERT_EQ(synAck.ack, kPeerIsn + 1);
    peer_.seq = kPeerIsn + 1;
    peer_.ack = synAck.seq + 1;
    peer_.flags = kAck;
    peer_.options.clear();
    ASSERT_EQ(device_->Write(MakeTcpPacket(peer_)), 0u);
    windowEnd_ = peer_.seq + synAck.window;

    pollfd p{listener_.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    accepted_.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    ASSERT_TRUE(accepted_.valid());
  }

  // The stream's segments for data[from, from + length), kMss each but the
  // last, which has PSH; the identification one more each.
  std::vector<std::vector<uint8_t>> Segments(const std::vector<uint8_t>& data, size_t from, size_t length) {
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = from; at < from + length; at += kMss) {
      TcpSegment s = peer_;
      s.seq = peer_.seq + static_cast<uint32_t>(at - from);
      const size_t n = std::min<size_t>(kMss, from + length - at);
      s.payload.assign(data.begin() + static_cast<ptrdiff_t>(at), data.begin() + static_cast<ptrdiff_t>(at + n));
      if (at + n == from + length) s.flags |= kPsh;
      std::vector<uint8_t> packet = MakeTcpPacket(s);
      PutU16BE(&packet[4], ident_++);
      PutU16BE(&packet[10], 0);
      PutU16BE(&packet[10], static_cast<uint16_t>(~OnesSum(std::span(packet).first(20))));
      out.push_back(std::move(packet));
    }
    return out;
  }

  // All of segments in one batch.
  void WriteAll(const std::vector<std::vector<uint8_t>>& segments) {
    const std::vector<std::span<const uint8_t>> packets(segments.begin(), segments.end());
    size_t written = 0;
    ASSERT_EQ(device_->WritePackets(packets, written), 0u);
    ASSERT_EQ(written, packets.size());
  }

  // The kernel's ACKs waiting on the device: the last one's window end.
  void TakeAcks() {
    std::vector<uint8_t> buffer(70000);
    size_t length = 0;
    while (device_->Read(buffer, length) == 0) {
      const auto tcp = ParseTcp(std::span<const uint8_t>(buffer.data(), length));
      if (!tcp || tcp->srcPort != kListenPort) continue;
      ASSERT_EQ(tcp->flags & (kSyn | kRst | kFin), 0);
      lastAck_ = tcp->ack;
      windowEnd_ = tcp->ack + tcp->window;
    }
  }

  // What the accepted socket has to read, appended to got.
  void Receive(std::vector<uint8_t>& got) {
    uint8_t chunk[65536];
    ssize_t n = 0;
    while ((n = ::recv(accepted_.get(), chunk, sizeof chunk, 0)) > 0) got.insert(got.end(), chunk, chunk + n);
  }

  platform::UniqueFd listener_;
  platform::UniqueFd accepted_;
  TcpSegment peer_;  // the next segment's fields; seq: the next byte to send
  uint16_t ident_ = 0xFFF0;
  uint32_t windowEnd_ = 0;
  uint32_t lastAck_ = 0;
};

// A bulk stream written in bursts of segments, each burst as much as the
// receiver's window lets in: the kernel takes each burst's segments as one
// super-packet (the interface counts one packet per burst) and the
// listening socket reads the stream whole and in order.
TEST_F(TunLinuxPeerTest, ABurstOfSegmentsIsOneWriteTheKernelTakes) {
  std::vector<uint8_t> data(300000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + i / 509);
  const uint32_t base = peer_.seq;
  const uint64_t writesBefore = WritesSeen("vqtun0");
  ASSERT_GT(writesBefore, 0u) << "no counters for vqtun0";
  size_t sent = 0;
  size_t bursts = 0;
  size_t segments = 0;
  std::vector<uint8_t> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (got.size() < data.size() && std::chrono::steady_clock::now() < deadline) {
    const size_t room = static_cast<uint32_t>(windowEnd_ - peer_.seq);
    // Whole segments only, but for the stream's end.
    const size_t left = data.size() - sent;
    const size_t length = left <= room ? left : room / kMss * kMss;
    if (length > 0) {
      const auto burst = Segments(data, sent, length);
      WriteAll(burst);
      ++bursts;
      segments += burst.size();
      sent += length;
      peer_.seq += static_cast<uint32_t>(length);
    }
    Receive(got);
    TakeAcks();
    if (length == 0) {
      pollfd fds[2] = {{device_->PollFd(), POLLIN, 0}, {accepted_.get(), POLLIN, 0}};
      ::poll(fds, 2, 100);
    }
  }
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data) << "the stream arrived changed";
  EXPECT_EQ(lastAck_, base + static_cast<uint32_t>(data.size()));
  EXPECT_EQ(WritesSeen("vqtun0") - writesBefore, bursts);
  EXPECT_GT(segments, 4 * bursts) << "bursts too small to show merging";
}

// A segment whose checksum is wrong is not hidden inside a super-packet: it
// goes alone and the kernel drops it, so the stream stops before it until
// it comes again intact.
TEST_F(TunLinuxPeerTest, ACorruptSegmentIsDroppedByTheKernelNotMerged) {
  std::vector<uint8_t> data(6 * kMss);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_LE(data.size(), static_cast<uint32_t>(windowEnd_ - peer_.seq));
  const uint32_t base = peer_.seq;
  std::vector<std::vector<uint8_t>> burst = Segments(data, 0, data.size());
  const std::vector<uint8_t> intact = burst[3];
  burst[3][60] ^= 0x01;  // a payload bit: the checksum no longer holds
  const uint64_t writesBefore = WritesSeen("vqtun0");
  WriteAll(burst);
  EXPECT_EQ(WritesSeen("vqtun0") - writesBefore, 3u) << "three, the corrupt one, two";

  std::vector<uint8_t> got;
  ASSERT_TRUE(vqtest::Eventually([&] {
    Receive(got);
    TakeAcks();
    return lastAck_ == base + 3 * kMss;
  }));
  ::usleep(100 * 1000);
  Receive(got);
  EXPECT_EQ(got.size(), 3u * kMss);

  const std::span<const uint8_t> again(intact);
  size_t written = 0;
  ASSERT_EQ(device_->WritePackets(std::span(&again, 1), written), 0u);
  ASSERT_TRUE(vqtest::Eventually([&] {
    Receive(got);
    return got.size() >= data.size();
  }));
  EXPECT_TRUE(got == data);
}

// Closed, the device leaves the interface as a plain reader would find it;
// opened again it reads as before, with the UDP checksums the kernel leaves
// to the device completed (odd and even lengths, up to a full link).
TEST_F(TunLinuxTest, ReopenedDeviceReadsDatagramsWithTheirChecksums) {
  BringUp();
  device_->Close();
  ASSERT_EQ(tun::OpenTun("vqtun0", device_), 0u);
  // While nobody held the device its routes were ignored (the adapter's
  // install says so); the kernel takes them back a moment after the carrier.
  ASSERT_TRUE(vqtest::Eventually([&] {
    net::IpForwardRow best;
    return net::GetBestRoute(A("10.9.0.1"), best) == 0 && best.ifIndex == index_;
  }));

  platform::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9999);
  to.sin_addr.s_addr = A("10.9.0.1");
  std::vector<uint8_t> buffer(2048);
  for (const size_t size : {size_t{1}, size_t{1001}, size_t{1372}}) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> payload(size);
    for (size_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(0xA5 ^ (i * 13));
    ASSERT_EQ(::sendto(sock.get(), payload.data(), size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(size));
    size_t length = 0;
    ASSERT_EQ(ReadNext(buffer, length), 0u);
    const std::span<const uint8_t> packet(buffer.data(), length);
    ASSERT_EQ(length, 20 + 8 + size) << Dump(packet);
    ASSERT_EQ(packet[9], IPPROTO_UDP);
    EXPECT_TRUE(WholeWithChecksums(packet)) << Dump(packet);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), packet.begin() + 28));
  }
}

}  // namespace
