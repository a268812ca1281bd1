// The Internet checksum the plain way (RFC 1071 over big-endian words, the
// odd byte padded), written apart from the code the tests check so that it
// checks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vqtest {

// The folded ones'-complement sum of data added to sum (not complemented).
inline uint16_t OnesSum(std::span<const uint8_t> data, uint32_t sum = 0) {
  for (size_t i = 0; i < data.size(); i += 2) {
    sum += static_cast<uint32_t>(data[i] << 8) | (i + 1 < data.size() ? data[i + 1] : 0u);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<uint16_t>(sum);
}

// The sum over an IPv4 packet's TCP or UDP pseudo-header and segment,
// taking the packet's size as its total length: 0xFFFF when the checksum
// in it is right.
inline uint16_t TransportSum(std::span<const uint8_t> packet) {
  const size_t ipHeader = static_cast<size_t>(packet[0] & 0x0F) * 4;
  const size_t length = packet.size() - ipHeader;
  const uint8_t pseudo[4] = {0, packet[9], static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  return OnesSum(packet.subspan(ipHeader), OnesSum(pseudo, OnesSum(packet.subspan(12, 8))));
}

}  // namespace vqtest
