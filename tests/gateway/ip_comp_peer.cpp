#include "gateway/ip_comp_peer.h"

#include <zlib.h>

namespace vqgateway {
namespace {

constexpr uint8_t kProtoIpComp = 108;
constexpr size_t kIpHeader = 20;
constexpr size_t kIpCompHeader = 4;
constexpr size_t kMinPayload = 91;
constexpr size_t kMaxPacket = 65535;

uint16_t HeaderChecksum(const uint8_t* header) {
  uint32_t sum = 0;
  for (size_t i = 0; i < kIpHeader; i += 2) {
    if (i == 10) continue;
    sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void FinishHeader(std::vector<uint8_t>& packet, uint8_t protocol) {
  packet[9] = protocol;
  packet[2] = static_cast<uint8_t>(packet.size() >> 8);
  packet[3] = static_cast<uint8_t>(packet.size());
  const uint16_t sum = HeaderChecksum(packet.data());
  packet[10] = static_cast<uint8_t>(sum >> 8);
  packet[11] = static_cast<uint8_t>(sum);
}

}  // namespace

bool IsIpComp(std::span<const uint8_t> packet) {
  return packet.size() >= kIpHeader + kIpCompHeader && (packet[0] >> 4) == 4 && packet[9] == kProtoIpComp;
}

std::optional<std::vector<uint8_t>> InflateIpComp(std::span<const uint8_t> packet, uint16_t expectedCpi) {
  if (!IsIpComp(packet)) return std::nullopt;
  const uint16_t cpi = static_cast<uint16_t>(packet[22] << 8 | packet[23]);
  if (cpi != expectedCpi) return std::nullopt;
  std::vector<uint8_t> out(kMaxPacket);
  uLongf produced = static_cast<uLongf>(out.size() - kIpHeader);
  const uint8_t* compressed = packet.data() + kIpHeader + kIpCompHeader;
  if (uncompress(out.data() + kIpHeader, &produced, compressed, packet.size() - kIpHeader - kIpCompHeader) != Z_OK) {
    return std::nullopt;
  }
  std::copy(packet.begin(), packet.begin() + kIpHeader, out.begin());
  out.resize(kIpHeader + produced);
  FinishHeader(out, packet[20]);
  return out;
}

std::optional<std::vector<uint8_t>> DeflateIpComp(std::span<const uint8_t> packet, uint16_t clientCpi) {
  if (packet.size() < kIpHeader + kMinPayload || (packet[0] >> 4) != 4 || (packet[0] & 0x0F) != 5) {
    return std::nullopt;
  }
  const size_t payload = packet.size() - kIpHeader;
  uLongf room = compressBound(payload);
  std::vector<uint8_t> out(kIpHeader + kIpCompHeader + room);
  if (compress(out.data() + kIpHeader + kIpCompHeader, &room, packet.data() + kIpHeader, payload) != Z_OK) {
    return std::nullopt;
  }
  if (room >= payload || payload - room <= payload / 4) return std::nullopt;
  std::copy(packet.begin(), packet.begin() + kIpHeader, out.begin());
  out[20] = packet[9];
  out[21] = 0;
  out[22] = static_cast<uint8_t>(clientCpi >> 8);
  out[23] = static_cast<uint8_t>(clientCpi);
  out.resize(kIpHeader + kIpCompHeader + room);
  FinishHeader(out, kProtoIpComp);
  return out;
}

}  // namespace vqgateway
