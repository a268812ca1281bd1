// The gateway's end of IP compression, written from the wire layout alone:
// an IPComp packet is the IPv4 header with protocol 108 and the total
// length of the compressed packet, then next header (1), flags (1), CPI
// (2, big-endian), then the original payload compressed in zlib format.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vqgateway {

struct IpCompPeerStats {
  uint64_t inflated = 0;  // packets the client compressed
  uint64_t deflated = 0;  // packets we compressed
};

// The client's IPComp packet as the original IPv4 packet; nullopt when it
// is not IPComp, names another CPI, or does not inflate within 64 KiB.
std::optional<std::vector<uint8_t>> InflateIpComp(std::span<const uint8_t> packet, uint16_t expectedCpi);
// The packet compressed for the client when that saves more than a quarter
// of a payload above 90 bytes; nullopt otherwise (send it as it is).
std::optional<std::vector<uint8_t>> DeflateIpComp(std::span<const uint8_t> packet, uint16_t clientCpi);
// True for an IPv4 packet with protocol 108.
bool IsIpComp(std::span<const uint8_t> packet);

}  // namespace vqgateway
