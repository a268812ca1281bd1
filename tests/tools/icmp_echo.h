// One ICMP echo request and its reply over a raw socket (needs root), in
// the network namespace of the calling thread. The test tools' stand-in
// for ping, which the machine may not have.
#pragma once

#include <cstdint>
#include <string>

namespace vqtools {

struct EchoResult {
  bool ok = false;
  double ms = 0;      // round trip, when ok
  std::string error;  // why not, when not ok
};

// Sends an echo request with 56 bytes of data to dest (dotted IPv4) and
// waits up to timeoutMs for the reply from dest with the same id and
// sequence number.
EchoResult IcmpEcho(const std::string& dest, uint16_t id, uint16_t sequence, int timeoutMs);

}  // namespace vqtools
