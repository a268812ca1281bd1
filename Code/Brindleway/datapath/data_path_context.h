// What the two data-path threads (the I/O loop and the tunnel keep-alive)
// share while a tunnel is up. The channel's start fills it, starts the
// threads with it, and keeps it (and the adapter and socket it names) alive
// until both threads were joined.
//
// The plain fields are set before the threads start and only read while
// they run; the digest slot, the running flag and the last-traffic tick are
// safe from any thread.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "Brindleway/common/channel_post.h"
#include "Brindleway/common/constants.h"
#include "platform/sync/clock.h"
#include "platform/tun/tun.h"

namespace brindleway {

// The host-check digest a keep-alive packet carried: written by the I/O
// loop, read by the channel thread when the host-check message arrives.
class HostCheckDigestSlot {
 public:
  using Digest = std::array<uint8_t, 16>;
  void Set(const Digest& digest) {
    std::lock_guard<std::mutex> lock(mutex_);
    digest_ = digest;
  }
  Digest Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return digest_;
  }

 private:
  mutable std::mutex mutex_;
  Digest digest_{};
};

struct DataPathContext {
  // Not owned.
  platform::tun::Device* adapter = nullptr;
  // The UDP data socket; not owned. -1: none.
  int udpSocket = -1;
  // IPv4, network order: our end and the gateway's end of the control
  // connection (the gateway's is also where the data goes).
  uint32_t localAddress = 0;
  uint32_t gatewayAddress = 0;
  // The adapter's own address and netmask, network order (broadcast test).
  uint32_t tunnelAddress = 0;
  uint32_t tunnelMask = 0;
  // The gateway's data port, host order; 0 means ESP_SA_PORT (4500).
  uint16_t gatewayUdpPort = 0;
  // The adapter's MTU; 0: the adapter did not say, nothing is fragmented.
  uint32_t mtu = 0;
  // Each direction's crypto threads, its I/O thread included
  // (crypto_pipeline.h); 0 (the default): one per processor the process
  // may use, up to the pool's limit; 1: the I/O threads alone.
  size_t cryptoWorkers = 0;
  // The time of the last-traffic tick and of the keep-alive timers.
  platform::Clock* clock = &platform::SystemClock();
  // WM_CHANNEL_ERROR and WM_CHANNEL_HOST_CHECK to the channel thread.
  PostToChannelThread post;

  HostCheckDigestSlot hostCheckDigest;
  std::atomic<bool> running{false};
  // Clock time of the last packet from the gateway (traffic or keep-alive),
  // and of the switch to fast keep-alives.
  std::atomic<int64_t> lastTrafficMs{0};

  int64_t NowMs() const { return clock->NowMs(); }
  uint16_t DataPort() const { return gatewayUdpPort != 0 ? gatewayUdpPort : ESP_SA_PORT; }
  sockaddr_in GatewayDataAddress() const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = gatewayAddress;
    address.sin_port = htons(DataPort());
    return address;
  }
  void Post(uint32_t message, uint32_t code) const {
    if (post) post(message, code);
  }
};

}  // namespace brindleway
