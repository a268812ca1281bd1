// What the tunnel carried, for the status reply: bytes and packets each
// way, cleared when a channel is set up or closed.
//
// Sent: each inner packet handed to the tunnel, by its length after IP
// compression and before encapsulation. Received: each write to the
// adapter that completed at once (a fragmented packet counts once per
// fragment). Tunnel keep-alive, heart-beat and logout packets and dropped
// broadcast or multicast packets are not counted.
#pragma once

#include <cstdint>

#include "Brindleway/common/channel_ops.h"
#include "Brindleway/datapath/ip_comp.h"
#include "support/byte_counters.h"

namespace brindleway {

// One u32 counter, wrapping. Safe from any thread; an Add is never lost.
using TrafficCounter = support::ByteCounter;

class TrafficCounters {
  // Byte counts of an instance of its own; unused by the process-wide one.
  TrafficCounter m_ownBytesSent;
  TrafficCounter m_ownBytesReceived;

 public:
  // Counters of its own, all four from 0.
  TrafficCounters() : bytesSent(m_ownBytesSent), bytesReceived(m_ownBytesReceived) {}
  // Byte counts kept in the given counters (the process-wide ones: the
  // adapter byte counters of support/byte_counters.h).
  TrafficCounters(TrafficCounter& sent, TrafficCounter& received) : bytesSent(sent), bytesReceived(received) {}
  TrafficCounters(const TrafficCounters&) = delete;
  TrafficCounters& operator=(const TrafficCounters&) = delete;

  TrafficCounter& bytesSent;
  TrafficCounter packetsSent;
  TrafficCounter& bytesReceived;
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

// The process-wide counters; their byte counts are the ones
// GetSendByteCount and GetRecvByteCount read.
TrafficCounters& TheTrafficCounters();

// Fills the status reply's counters, compression algorithm and the four
// compression statistics (inbound after decompression, inbound gained,
// outbound before compression, outbound saved); other fields untouched.
void FillTrafficStatus(ChannelStatus& status, const TrafficCounters& counters, CIpComp& ipComp);
// From the process-wide objects.
void FillTrafficStatus(ChannelStatus& status);

}  // namespace brindleway
