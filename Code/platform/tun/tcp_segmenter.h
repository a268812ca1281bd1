// What a TUN device with offloads hands its reader, made into the plain IP
// packets the adapter contract promises:
//  - a packet whose transport checksum the kernel left to the device holds
//    the pseudo-header sum at its checksum field; CompleteChecksum sums the
//    rest and stores the result;
//  - a TCP/IPv4 packet larger than the link (TCP segmentation offload)
//    comes as one run of headers and payload with the segment size beside
//    it; TcpSegmenter cuts it into the packets the kernel would have sent:
//    each with the headers, its share of the payload, the IP total length,
//    identification (one more per segment) and header checksum, the
//    sequence number advanced, FIN and PSH on the last segment only, CWR on
//    the first only, and the TCP checksum computed whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace platform::tun {

// start: where the checksummed part begins; offset: where, from start, the
// checksum field lies. False, with the packet unchanged, when the field
// does not lie inside the packet.
bool CompleteChecksum(std::span<uint8_t> packet, size_t start, size_t offset);

class TcpSegmenter {
 public:
  // Takes packet (which must stay in place until the last segment was
  // taken) to be cut into segments of segmentSize payload bytes. False when
  // it is not a well-formed TCP/IPv4 packet (version 4, header lengths and
  // total length that agree with its size, protocol TCP, no fragment) or
  // segmentSize is 0; nothing is then pending.
  bool Start(std::span<const uint8_t> packet, size_t segmentSize);
  bool Pending() const { return offset_ < payloadEnd_; }
  // The length of the next segment (0 when none is pending).
  size_t NextLength() const;
  // Writes the next segment into out, which must hold NextLength() bytes,
  // and moves on; returns its length (0 when none is pending or out is too
  // small: nothing is written and the segment stays pending).
  size_t Next(std::span<uint8_t> out);
  // Drops what is pending.
  void Clear() { offset_ = payloadEnd_ = 0; }

 private:
  std::span<const uint8_t> packet_;
  size_t ipHeader_ = 0;
  size_t headers_ = 0;  // IP and TCP headers
  size_t segmentSize_ = 0;
  size_t offset_ = 0;      // next payload byte in packet_
  size_t payloadEnd_ = 0;  // packet_.size() while pending
  uint32_t index_ = 0;     // segments given
};

}  // namespace platform::tun
