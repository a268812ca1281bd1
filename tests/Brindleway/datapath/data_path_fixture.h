// Shared set-up of the data-path tests: a fresh root and log, the packet
// pool, a security-association pair, the in-memory adapter (the test holds
// the kernel's end), our UDP data socket on loopback, and the test
// gateway's own data plane as the peer, keyed from the same key block.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/datapath/data_path_context.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/datapath/ip_comp.h"
#include "Brindleway/datapath/packet_buffer_pool.h"
#include "Brindleway/datapath/traffic_counters.h"
#include "Brindleway/protocol_version_scope.h"
#include "common/eventually.h"
#include "common/temp_root.h"
#include "gateway/udp_data_plane.h"
#include "platform/tun/tun_channel.h"
#include "platform/unique_fd.h"
#include "Brindleway/post_recorder.h"
#include "support/log.h"

namespace brindleway::dptest {

inline constexpr uint32_t kOwnSpi = 0x00003001;
inline constexpr uint32_t kGatewaySpi = 0x80004002;

using brindleway::PostRecorder;

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

// A UDP socket bound to 127.0.0.1 on a free port.
inline platform::UniqueFd LoopbackUdpSocket() {
  platform::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(0);
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
  return fd;
}

inline uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  return ntohs(a.sin_port);
}

class DataPathFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    pool_ = std::make_unique<PacketBufferPool>();
    esp_sa_cleanup();
    TheTrafficCounters().Clear();
    TheIpComp().Reset();
    std::array<uint8_t, KEY_BLOCK_LENGTH> block{};
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 11 + 5);
    ASSERT_EQ(esp_sa_setup(kOwnSpi, kGatewaySpi, block, ESP_ENC_AES, ESP_HASH_SHA1, htonl(INADDR_LOOPBACK),
                           htonl(INADDR_LOOPBACK)),
              0);
    espConfig_.encryptionId = ESP_ENC_AES;
    espConfig_.hashId = ESP_HASH_SHA1;
    espConfig_.gatewaySpi = kGatewaySpi;
    espConfig_.clientSpi = kOwnSpi;
    espConfig_.keyBlock = block;

    adapterState_ = std::make_shared<platform::tun::ChannelState>();
    ASSERT_EQ(platform::tun::OpenChannel(adapterState_, adapter_), 0u);
    socket_ = LoopbackUdpSocket();
    ASSERT_TRUE(socket_.valid());
  }
  void TearDown() override {
    gateway_.reset();
    esp_sa_cleanup();
    TheTrafficCounters().Clear();
    g_dwDebugTraceMask = 0;
    pool_.reset();
  }

  // The gateway's data plane; the context points at it.
  void StartGateway(vqgateway::UdpDataPlaneOptions options = {}) {
    options.esp = espConfig_;
    gateway_ = std::make_unique<vqgateway::UdpDataPlane>(options);
    gateway_->SetClientAddress(Loopback(LocalPort(socket_.get())));
    ctx_.adapter = adapter_.get();
    ctx_.udpSocket = socket_.get();
    ctx_.localAddress = htonl(INADDR_LOOPBACK);
    ctx_.gatewayAddress = htonl(INADDR_LOOPBACK);
    ctx_.gatewayUdpPort = gateway_->Port();
    ctx_.tunnelAddress = inet_addr("10.1.0.5");
    ctx_.tunnelMask = inet_addr("255.255.0.0");
    ctx_.mtu = 1400;
    ctx_.post = posts_.Callback();
  }

  // The kernel's side of the adapter.
  void KernelSends(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::send(adapterState_->peer.get(), bytes.data(), bytes.size(), MSG_DONTWAIT),
              static_cast<ssize_t>(bytes.size()));
  }
  std::optional<std::vector<uint8_t>> KernelReceives(int timeoutMs = 5000) {
    pollfd p{adapterState_->peer.get(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    std::vector<uint8_t> bytes(65536);
    const ssize_t n = ::recv(adapterState_->peer.get(), bytes.data(), bytes.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    bytes.resize(static_cast<size_t>(n));
    return bytes;
  }

  // Traffic the gateway decrypted, in order of arrival.
  std::vector<std::vector<uint8_t>> GatewayTraffic() const {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& r : gateway_->Received())
      if (r.kind == vqgateway::InnerKind::Traffic) out.push_back(r.bytes);
    return out;
  }

  vqtest::TempRoot root_;
  ProtocolVersionScope version_{0x20};
  std::unique_ptr<PacketBufferPool> pool_;
  vqgateway::EspPeerConfig espConfig_;
  std::shared_ptr<platform::tun::ChannelState> adapterState_;
  std::unique_ptr<platform::tun::Device> adapter_;
  platform::UniqueFd socket_;
  std::unique_ptr<vqgateway::UdpDataPlane> gateway_;
  PostRecorder posts_;
  DataPathContext ctx_;
};

}  // namespace brindleway::dptest
