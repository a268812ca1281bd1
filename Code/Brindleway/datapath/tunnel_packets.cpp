#include "Brindleway/datapath/tunnel_packets.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "Brindleway/common/protocol_version.h"
#include "platform/net/internet_checksum.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

constexpr size_t kIpHeaderLength = 20;
constexpr uint8_t kProtocolIcmp = 1;
constexpr uint8_t kProtocolUdp = 17;
constexpr uint8_t kTtl = 32;
constexpr uint8_t kIcmpEchoRequest = 8;
// Offsets inside a control packet.
constexpr size_t kOffsetSource = 12;
constexpr size_t kOffsetDestination = 16;
constexpr size_t kOffsetProtocol = 9;
constexpr size_t kOffsetValue = 28;
constexpr size_t kOffsetReason = 32;
constexpr size_t kDigestLength = 16;
// What each kind of packet must hold before its fields are read.
constexpr size_t kNoticeLength = kOffsetReason + 4;
constexpr size_t kDigestKeepAliveLength = kOffsetValue + kDigestLength;

// Zero goes out as its other form, 0xFFFF.
uint16_t NonZero(uint16_t checksum) { return checksum == 0 ? 0xFFFF : checksum; }

void PutIdent(uint8_t* p, uint16_t ident) { std::memcpy(p, &ident, 2); }

// The common 20-byte header, checksum included.
void WriteIpHeader(uint8_t* p, uint16_t totalLength, uint8_t protocol, uint16_t ident) {
  std::memset(p, 0, kIpHeaderLength);
  p[0] = 0x45;
  wire::PutU16BE(p + 2, totalLength);
  PutIdent(p + 4, ident);
  p[8] = kTtl;
  p[kOffsetProtocol] = protocol;
  const uint16_t checksum = ip_checksum(p, kIpHeaderLength / 2);
  std::memcpy(p + 10, &checksum, 2);
}

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

}  // namespace

uint16_t ip_checksum(const uint8_t* words, size_t count) {
  return NonZero(platform::net::ChecksumFinish(platform::net::ChecksumAdd({words, 2 * count}, 0)));
}

uint16_t udp_checksum(uint32_t source, uint32_t destination, const uint8_t* udp, size_t length) {
  uint8_t pseudo[12] = {};
  std::memcpy(pseudo, &source, 4);
  std::memcpy(pseudo + 4, &destination, 4);
  pseudo[9] = kProtocolUdp;
  wire::PutU16BE(pseudo + 10, static_cast<uint16_t>(length));
  const uint16_t stored =
      platform::net::ChecksumFinish(platform::net::ChecksumAdd({udp, length}, platform::net::ChecksumAdd(pseudo, 0)));
  uint8_t bytes[2];
  std::memcpy(bytes, &stored, 2);
  return NonZero(wire::GetU16BE(bytes));
}

uint16_t TunnelPacketIdent() {
  const auto pid = static_cast<uint32_t>(::getpid());
  const uint8_t bytes[2] = {static_cast<uint8_t>(pid), static_cast<uint8_t>(pid >> 8)};
  uint16_t ident = 0;
  std::memcpy(&ident, bytes, 2);
  return ident;
}

int build_keepalive(uint8_t* buffer, uint32_t& length) {
  return build_keepalive(buffer, length, g_btProtocolVersion.load(std::memory_order_relaxed), TunnelPacketIdent());
}

int build_keepalive(uint8_t* buffer, uint32_t& length, uint8_t version, uint16_t ident) {
  const int major = version >> 4;
  const int minor = version & 0x0F;
  const bool withDigest = major >= 3 || (major == 2 && minor != 0);
  const uint32_t size = withDigest ? TUN_KEEPALIVE_LONG_LENGTH : TUN_KEEPALIVE_SHORT_LENGTH;
  if (buffer == nullptr || length < size) return -1;
  std::memset(buffer, 0, size);
  WriteIpHeader(buffer, static_cast<uint16_t>(size), kProtocolIcmp, ident);
  uint8_t* icmp = buffer + kIpHeaderLength;
  icmp[0] = kIcmpEchoRequest;
  PutIdent(icmp + 4, ident);
  const uint16_t checksum = ip_checksum(icmp, (size - kIpHeaderLength) / 2);
  std::memcpy(icmp + 2, &checksum, 2);
  length = size;
  return 0;
}

int build_disconnect_udp(uint8_t* buffer, uint32_t& length) {
  return build_disconnect_udp(buffer, length, TunnelPacketIdent());
}

int build_disconnect_udp(uint8_t* buffer, uint32_t& length, uint16_t ident) {
  if (buffer == nullptr || length < TUN_DISCONNECT_LENGTH) return -1;
  std::memset(buffer, 0, TUN_DISCONNECT_LENGTH);
  WriteIpHeader(buffer, static_cast<uint16_t>(TUN_DISCONNECT_LENGTH), kProtocolUdp, ident);
  uint8_t* udp = buffer + kIpHeaderLength;
  const uint32_t udpLength = TUN_DISCONNECT_LENGTH - kIpHeaderLength;
  wire::PutU16BE(udp + 4, static_cast<uint16_t>(udpLength));
  wire::PutU32BE(buffer + kOffsetValue, TUN_DISCONNECT_LOGOUT);
  wire::PutU16BE(udp + 6, udp_checksum(0, 0, udp, udpLength));
  length = TUN_DISCONNECT_LENGTH;
  return 0;
}

int DisconnectReasonCode(uint32_t reason) {
  switch (reason) {
    case 1:
    case 6:
    case 7:
    case 8:
      return VQ_ERR_SERVER_DISCONNECT;
    case 2:
      return VQ_ERR_SERVER_TIMEOUT;
    case 3:
      return VQ_ERR_SERVER_CONFIG;
    case 4:
      return static_cast<int>(VQ_ERR_LOGGED_IN_ELSEWHERE);
    case 5:
      return static_cast<int>(VQ_ERR_FORCED_OFF);
    case 9:
      return VQ_ERR_CONNECTION_TIMEOUT;
    default:
      return -1;
  }
}

int classify_tunnel_packet(const uint8_t* packet, size_t length, DataPathContext& ctx) {
  if (packet == nullptr || length < kIpHeaderLength) return 1;
  if (!AllZero(packet + kOffsetSource, 4) || !AllZero(packet + kOffsetDestination, 4)) {
    ctx.lastTrafficMs.store(ctx.NowMs(), std::memory_order_relaxed);
    return 0;
  }
  const uint8_t protocol = packet[kOffsetProtocol];
  if (protocol == kProtocolIcmp) {
    LogPrint(LOG_DEBUG, "RECV keepalive message\n");
    ctx.lastTrafficMs.store(ctx.NowMs(), std::memory_order_relaxed);
    const uint8_t version = g_btProtocolVersion.load(std::memory_order_relaxed);
    // Compared as text, as the gateways announce it.
    const std::string text = std::to_string(version >> 4) + "." + std::to_string(version & 0x0F);
    if (text.compare("2.1") < 0) return 1;
    if (length < kDigestKeepAliveLength) return 1;
    LogPrint(LOG_DEBUG, "RECV MD5 by keepalive message\n");
    HostCheckDigestSlot::Digest digest{};
    std::memcpy(digest.data(), packet + kOffsetValue, kDigestLength);
    ctx.hostCheckDigest.Set(digest);
    ctx.Post(WM_CHANNEL_HOST_CHECK, 1);
    return 1;
  }
  if (protocol == kProtocolUdp) {
    if (length < kNoticeLength) return 0;
    const uint8_t* udp = packet + kIpHeaderLength;
    if (wire::GetU16BE(udp) != 0 || wire::GetU16BE(udp + 2) != 0 ||
        wire::GetU32BE(packet + kOffsetValue) != TUN_DISCONNECT_NOTICE) {
      return 0;
    }
    LogPrint(LOG_DEBUG, "RECV disconnect message\n");
    const int code = DisconnectReasonCode(wire::GetU32BE(packet + kOffsetReason));
    LogPrint(LOG_DEBUG, "RECV dwErrorCode = %d!! \n", code);
    ctx.Post(WM_CHANNEL_ERROR, static_cast<uint32_t>(code));
    return 1;
  }
  return 1;
}

}  // namespace brindleway
