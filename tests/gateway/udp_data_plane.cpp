#include "gateway/udp_data_plane.h"

#include "gateway/ip_comp_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vqgateway {
namespace {

constexpr size_t kIpHeader = 20;
constexpr uint8_t kIcmp = 1;
constexpr uint8_t kUdp = 17;
constexpr uint32_t kLogoutValue = 2;
constexpr uint32_t kNoticeValue = 1;
constexpr uint8_t kHeartBeat = 0xFF;
constexpr uint32_t kTunPending = 997;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void PutBe32(uint8_t* p, uint32_t v) {
  PutBe16(p, static_cast<uint16_t>(v >> 16));
  PutBe16(p + 2, static_cast<uint16_t>(v));
}

// RFC 1071 over big-endian words, with an initial sum.
uint16_t InternetChecksum(const uint8_t* data, size_t length, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < length; i += 2) sum += Be16(data + i);
  if (length % 2 != 0) sum += uint32_t{data[length - 1]} << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

std::vector<uint8_t> ControlHeader(size_t total, uint8_t protocol) {
  std::vector<uint8_t> packet(total, 0);
  packet[0] = 0x45;
  PutBe16(&packet[2], static_cast<uint16_t>(total));
  packet[8] = 64;
  packet[9] = protocol;
  PutBe16(&packet[10], InternetChecksum(packet.data(), kIpHeader));
  return packet;
}

bool BetweenZeros(const std::vector<uint8_t>& inner) {
  if (inner.size() < kIpHeader) return false;
  for (size_t i = 12; i < 20; ++i)
    if (inner[i] != 0) return false;
  return true;
}

}  // namespace

std::vector<uint8_t> GatewayKeepAlive(uint8_t version, const std::array<uint8_t, 16>& digest) {
  const bool withDigest = (version >> 4) >= 3 || ((version >> 4) == 2 && (version & 0x0F) != 0);
  std::vector<uint8_t> packet = ControlHeader(withDigest ? 44 : 32, kIcmp);
  packet[20] = 8;  // echo request
  if (withDigest) std::memcpy(&packet[28], digest.data(), digest.size());
  PutBe16(&packet[22], InternetChecksum(&packet[20], packet.size() - kIpHeader));
  return packet;
}

std::vector<uint8_t> GatewayDisconnectNotice(uint32_t reason) {
  std::vector<uint8_t> packet = ControlHeader(36, kUdp);
  PutBe16(&packet[24], 16);
  PutBe32(&packet[28], kNoticeValue);
  PutBe32(&packet[32], reason);
  // Pseudo-header with zero addresses: protocol and UDP length only.
  uint16_t checksum = InternetChecksum(&packet[20], 16, kUdp + 16);
  PutBe16(&packet[26], checksum == 0 ? 0xFFFF : checksum);
  return packet;
}

UdpDataPlane::UdpDataPlane(UdpDataPlaneOptions options)
    : options_(std::move(options)), peer_(std::make_shared<EspPeer>(options_.esp)) {
  socket_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket_.valid()) throw std::runtime_error("udp socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (::inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) throw std::runtime_error("address");
  if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("bind: " + std::string(std::strerror(errno)));
  socklen_t length = sizeof address;
  ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

UdpDataPlane::~UdpDataPlane() {
  stop_.Set();
  if (thread_.joinable()) thread_.join();
}

void UdpDataPlane::SetEspConfig(const EspPeerConfig& config) {
  auto peer = std::make_shared<EspPeer>(config);
  std::lock_guard<std::mutex> lock(mutex_);
  peer_ = std::move(peer);
}

std::optional<sockaddr_in> UdpDataPlane::ClientAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return client_;
}

void UdpDataPlane::SetClientAddress(const sockaddr_in& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  client_ = address;
}

UdpDataPlaneStats UdpDataPlane::Stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

std::vector<ReceivedInner> UdpDataPlane::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<uint8_t> UdpDataPlane::Encap(std::span<const uint8_t> inner) {
  std::lock_guard<std::mutex> lock(mutex_);
  return peer_->Encap(inner);
}

std::vector<uint8_t> UdpDataPlane::EncapBody(std::span<const uint8_t> body) {
  std::lock_guard<std::mutex> lock(mutex_);
  return peer_->EncapBody(body);
}

bool UdpDataPlane::SendTo(std::span<const uint8_t> datagram) {
  const std::optional<sockaddr_in> client = ClientAddress();
  if (!client) return false;
  const ssize_t sent = ::sendto(socket_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&*client), sizeof *client);
  return sent == static_cast<ssize_t>(datagram.size());
}

bool UdpDataPlane::SendInner(std::span<const uint8_t> inner) {
  uint16_t clientCpi = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    clientCpi = options_.clientCpi;
  }
  if (options_.ipcomp) {
    if (auto compressed = DeflateIpComp(inner, clientCpi)) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.deflated;
      }
      return SendTo(Encap(*compressed));
    }
  }
  return SendTo(Encap(inner));
}

void UdpDataPlane::SetClientCpi(uint16_t cpi) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.clientCpi = cpi;
}

bool UdpDataPlane::SendKeepAlive() { return SendInner(GatewayKeepAlive(options_.version, options_.digest)); }

bool UdpDataPlane::SendDisconnect(uint32_t reason) { return SendInner(GatewayDisconnectNotice(reason)); }

bool UdpDataPlane::SendRaw(std::span<const uint8_t> datagram) { return SendTo(datagram); }

void UdpDataPlane::Run() {
  std::vector<uint8_t> buffer(65536);
  for (;;) {
    pollfd fds[3] = {{stop_.Fd(), POLLIN, 0}, {socket_.get(), POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 2;
    if (options_.tun != nullptr && options_.tun->IsOpen()) fds[count++].fd = options_.tun->PollFd();
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents != 0) {
      for (;;) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) break;
        HandleDatagram(buffer.data(), static_cast<size_t>(n), from);
      }
    }
    if (count > 2 && fds[2].revents != 0) {
      if ((fds[2].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[2].revents & POLLIN) == 0) return;
      for (;;) {
        size_t n = 0;
        const uint32_t result = options_.tun->Read(buffer, n);
        if (result == kTunPending) break;
        if (result != 0) break;
        SendInner(std::span<const uint8_t>(buffer.data(), n));
      }
    }
  }
}

void UdpDataPlane::HandleDatagram(const uint8_t* data, size_t length, const sockaddr_in& from) {
  if (length == 1 && data[0] == kHeartBeat) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.heartBeats;
    if (!client_) client_ = from;
    return;
  }
  std::shared_ptr<EspPeer> peer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    peer = peer_;
  }
  const EspDecapResult result = peer->Decap(std::span<const uint8_t>(data, length));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!result.ok) {
      ++stats_.decapFailures;
      return;
    }
    client_ = from;
  }
  HandleInner(result.inner);
}

void UdpDataPlane::HandleInner(std::vector<uint8_t> inner) {
  if (options_.ipcomp && IsIpComp(inner)) {
    auto restored = InflateIpComp(inner, options_.gatewayCpi);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!restored) {
      ++stats_.ipcompFailures;
      return;
    }
    ++stats_.inflated;
    inner = std::move(*restored);
  }
  InnerKind kind = InnerKind::Traffic;
  if (BetweenZeros(inner)) {
    if (inner[9] == kIcmp) {
      kind = InnerKind::KeepAlive;
    } else if (inner[9] == kUdp && inner.size() >= 32 && Be16(&inner[20]) == 0 && Be16(&inner[22]) == 0 &&
               Be32(&inner[28]) == kLogoutValue) {
      kind = InnerKind::Logout;
    } else {
      kind = InnerKind::OtherControl;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (kind) {
      case InnerKind::Traffic:
        ++stats_.traffic;
        break;
      case InnerKind::KeepAlive:
        ++stats_.keepAlives;
        break;
      case InnerKind::Logout:
        ++stats_.logouts;
        break;
      case InnerKind::OtherControl:
        break;
    }
    if (kind != InnerKind::Traffic || options_.recordTraffic) received_.push_back({kind, inner});
  }
  if (kind == InnerKind::KeepAlive && options_.answerKeepAlives) SendKeepAlive();
  if (kind != InnerKind::Traffic) return;
  if (options_.onTraffic) {
    options_.onTraffic(inner);
  } else if (options_.tun != nullptr) {
    options_.tun->Write(inner);
  }
}

}  // namespace vqgateway
