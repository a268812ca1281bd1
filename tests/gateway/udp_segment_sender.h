// Sends a batch of datagrams to one address in one call (sendmmsg), a run
// of datagrams of one length (its last may be shorter) as one message with
// UDP segmentation offload, which the kernel cuts back into the same
// datagrams. A socket or path that refuses the offload (EIO, EINVAL) gets
// one message per datagram from then on. Blocks while the socket has no
// room, as the gateway's other sends do.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace vqgateway {

class UdpSegmentSender {
 public:
  // The most datagrams one Send takes.
  static constexpr size_t kMaxDatagrams = 64;

  // Sends the datagrams in order: how many went (all, or the ones before
  // the socket failed).
  size_t Send(int socket, const sockaddr_in& to, std::span<const std::span<uint8_t>> datagrams);

 private:
  bool offload_ = true;
};

}  // namespace vqgateway
