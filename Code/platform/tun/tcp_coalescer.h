// The other way of TcpSegmenter: IPv4 packets on their way into a TUN
// device with offloads, where consecutive TCP segments of one stream are
// merged into one super-packet. The kernel takes it in one write and runs
// its TCP receive path once for all of them, as it does for what its own
// receive offload merged.
//
// Segments merge only where nothing is lost by it (what the kernel's receive
// offload would merge, and what TcpSegmenter cuts back into the very same
// segments): IPv4 without options or fragments; TCP; the same addresses,
// ports, TOS, TTL, DF, acknowledgment, window, urgent pointer and TCP header
// with its options byte for byte (timestamps included); each one's
// identification one more than the one before and its sequence number
// where the one before ended; ACK, and no SYN, FIN, RST, URG or ECE; CWR on
// the first only; PSH on the last only; payloads of one size, the last of
// any size from 1 up to it; at most 65535 bytes in all. A shorter segment
// or one with PSH is the last of its run. Each segment's checksums are
// checked before it joins: the kernel does not check a super-packet's, so a
// corrupt segment goes alone, for the kernel to drop as it would have.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace platform::tun {

class TcpCoalescer {
 public:
  // Segments in one super-packet at most (one write's pieces stay few).
  static constexpr size_t kMaxSegments = 64;

  // How many packets from the front of packets go in the next write: 0 when
  // packets is empty; 1 for a packet that goes as it is; more for segments
  // merged into one super-packet: its headers, then each segment's payload
  // (the segment past HeaderLength()), in order.
  size_t Take(std::span<const std::span<const uint8_t>> packets);

  // The super-packet of the last Take that merged: its IP and TCP headers,
  // with its total length and header checksum, PSH from its last segment,
  // and in the TCP checksum field the pseudo-header's sum over its length
  // (the rest is the kernel's to add, as for any packet whose checksum is
  // left to the device).
  std::span<const uint8_t> Headers() const { return {headers_.data(), headerLength_}; }
  // Also each segment's header length.
  size_t HeaderLength() const { return headerLength_; }
  // The payload of each segment but the last.
  size_t SegmentSize() const { return segmentSize_; }
  // Where the checksummed part starts (the TCP header: no IP options ever
  // merge), and where its checksum lies in it.
  static constexpr size_t kChecksumStart = 20;
  static constexpr size_t kChecksumOffset = 16;
  // Whether the first segment carries CWR (only the first of the segments
  // cut from it again may).
  bool Ecn() const { return ecn_; }
  // Headers and payloads.
  size_t Length() const { return length_; }

 private:
  std::array<uint8_t, 20 + 60> headers_{};
  size_t headerLength_ = 0;
  size_t segmentSize_ = 0;
  size_t length_ = 0;
  bool ecn_ = false;
};

}  // namespace platform::tun
