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

// compress() at the default level on a stream kept per thread: setting a
// deflate stream up allocates a quarter of a megabyte, and doing that per
// packet costs more than the compression (page faults, and unmapping that
// stops every other thread of the process).
bool Deflate(const uint8_t* in, size_t inLength, uint8_t* out, uLongf& outLength) {
  struct Stream {
    z_stream z{};
    bool ready = false;
    ~Stream() {
      if (ready) deflateEnd(&z);
    }
  };
  thread_local Stream stream;
  const int started = stream.ready ? deflateReset(&stream.z) : deflateInit(&stream.z, Z_DEFAULT_COMPRESSION);
  if (started != Z_OK) return false;
  stream.ready = true;
  stream.z.next_in = const_cast<Bytef*>(in);
  stream.z.avail_in = static_cast<uInt>(inLength);
  stream.z.next_out = out;
  stream.z.avail_out = static_cast<uInt>(outLength);
  if (deflate(&stream.z, Z_FINISH) != Z_STREAM_END) return false;
  outLength = stream.z.total_out;
  return true;
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
  if (!Deflate(packet.data() + kIpHeader, payload, out.data() + kIpHeader + kIpCompHeader, room)) return std::nullopt;
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
