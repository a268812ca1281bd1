// What the tunnel carried, for the status reply: bytes and packets each
// way, cleared when a channel is set up or closed.
//
// Sent: each inner packet handed to the tunnel, by its length after IP
// compression and before encapsulation. Received: each write to the
// adapter that completed at once (a fragmented packet counts once per
// fragment). Tunnel keep-alive, heart-beat and logout packets and dropped
// broadcast or multicast packets are not counted.
#pragma once

#include <atomic>
#include <cstdint>

#include "Brindleway/channel_ops.h"
#include "Brindleway/ip_comp.h"

namespace brindleway {

// One u32 counter, wrapping. Safe from any thread; an Add is never lost.
class TrafficCounter {
 public:
  uint32_t Get() const { return m_value.load(std::memory_order_relaxed); }
  void Set(uint32_t value) { m_value.store(value, std::memory_order_relaxed); }
  void Add(uint32_t value) { m_value.fetch_add(value, std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> m_value{0};
};

struct TrafficCounters {
  TrafficCounter bytesSent;
  TrafficCounter packetsSent;
  TrafficCounter bytesReceived;
  TrafficCounter packetsReceived;

  // One packet handed to the tunnel, length after compression.
  void CountSent(uint32_t length) {
    bytesSent.Add(length);
    packetsSent.Add(1);
  }
  // One write to the adapter that completed at once.
  void CountReceived(uint32_t length) {
    bytesReceived.Add(length);
    packetsReceived.Add(1);
  }
  void Clear();
};

// The process-wide counters.
TrafficCounters& TheTrafficCounters();

// Fills the status reply's counters, compression algorithm and the four
// compression statistics (inbound after decompression, inbound gained,
// outbound before compression, outbound saved); other fields untouched.
void FillTrafficStatus(ChannelStatus& status, const TrafficCounters& counters, CIpComp& ipComp);
// From the process-wide objects.
void FillTrafficStatus(ChannelStatus& status);

}  // namespace brindleway
