// The in-memory twin of the adapter's device, for tests: a SOCK_SEQPACKET
// pair (one datagram = one packet). The test keeps the shared state: the
// peer end stands for the kernel's side, and the requests' answers and
// records are there to set and to look at, also after the device is gone.
#pragma once

#include <memory>
#include <string>

#include "platform/tun/tun.h"
#include "platform/unique_fd.h"

namespace platform::tun {

struct ChannelState {
  // Answers.
  std::string name = "vqtun-test";
  uint32_t mtu = 1400;
  bool answersMtu = true;
  // Records.
  bool mediaConnected = false;
  int mediaChanges = 0;
  bool closed = false;
  // The kernel's side, set by OpenChannel.
  UniqueFd peer;
};

uint32_t OpenChannel(const std::shared_ptr<ChannelState>& state, std::unique_ptr<Device>& out);

}  // namespace platform::tun
