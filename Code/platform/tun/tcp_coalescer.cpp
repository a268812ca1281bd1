#include "platform/tun/tcp_coalescer.h"

#include <cstring>

#include "platform/byte_order.h"
#include "platform/net/internet_checksum.h"
#include "platform/tun/tcp_ipv4_fields.h"

namespace platform::tun {
namespace {

using net::ChecksumAdd;
using net::ChecksumFinish;
using namespace tcp_ipv4;

constexpr size_t kIpHeader = TcpCoalescer::kChecksumStart;  // IP options never merge
static_assert(TcpCoalescer::kChecksumOffset == kTcpChecksum);
constexpr size_t kMaxPacket = 65535;
constexpr uint8_t kVersion4NoOptions = 0x45;

// What decides whether a packet merges.
struct Segment {
  const uint8_t* ip = nullptr;
  size_t length = 0;
  size_t headers = 0;  // IP and TCP
  size_t payload = 0;
  uint16_t ident = 0;
  uint32_t sequence = 0;
  uint8_t flags = 0;
};

// False for a packet that merges with nothing: not TCP/IPv4, IP options, a
// fragment, a total length that is not its size, no payload, or flags other
// than ACK, PSH and CWR.
bool Parse(std::span<const uint8_t> packet, Segment& s) {
  const uint8_t* ip = packet.data();
  if (packet.size() < kIpHeader + kTcpMinHeader || ip[0] != kVersion4NoOptions) return false;
  if (GetU16BE(ip + kIpTotalLength) != packet.size() || ip[kIpProtocol] != kProtocolTcp ||
      (GetU16BE(ip + kIpFragment) & 0x3FFF) != 0) {
    return false;
  }
  const uint8_t* tcp = ip + kIpHeader;
  const size_t tcpHeader = static_cast<size_t>(tcp[kTcpDataOffset] >> 4) * 4;
  if (tcpHeader < kTcpMinHeader || packet.size() <= kIpHeader + tcpHeader) return false;
  const uint8_t flags = tcp[kTcpFlags];
  if ((flags & kTcpAck) == 0 || (flags & (kTcpSyn | kTcpFin | kTcpRst | kTcpUrg | kTcpEce)) != 0) return false;
  s.ip = ip;
  s.length = packet.size();
  s.headers = kIpHeader + tcpHeader;
  s.payload = packet.size() - s.headers;
  s.ident = GetU16BE(ip + kIpIdent);
  s.sequence = GetU32BE(tcp + kTcpSequence);
  s.flags = flags;
  return true;
}

bool Same(const uint8_t* a, const uint8_t* b, size_t from, size_t to) {
  return std::memcmp(a + from, b + from, to - from) == 0;
}

// Whether next, at index in the run, goes on from prev in the run that
// first started.
bool Continues(const Segment& first, const Segment& prev, const Segment& next, size_t index) {
  if (next.headers != first.headers || next.payload > first.payload || (next.flags & kTcpCwr) != 0) return false;
  if (next.ident != static_cast<uint16_t>(first.ident + index)) return false;
  if (next.sequence != static_cast<uint32_t>(prev.sequence + prev.payload)) return false;
  // All the rest of the headers but the lengths, checksums and flags: version
  // and TOS; DF and fragment, TTL and protocol; addresses; ports;
  // acknowledgment and data offset; window; urgent pointer and options.
  const uint8_t* a = first.ip;
  const uint8_t* b = next.ip;
  const uint8_t* ta = a + kIpHeader;
  const uint8_t* tb = b + kIpHeader;
  return Same(a, b, 0, kIpTotalLength) && Same(a, b, kIpFragment, kIpChecksum) &&
         Same(a, b, kIpAddresses, kIpHeader) && Same(ta, tb, 0, kTcpSequence) &&
         Same(ta, tb, kTcpAckNumber, kTcpFlags) && Same(ta, tb, kTcpWindow, kTcpChecksum) &&
         Same(ta, tb, kTcpUrgent, first.headers - kIpHeader);
}

// The pseudo-header's sum for a TCP length.
uint64_t PseudoHeaderSum(const uint8_t* ip, size_t tcpLength) {
  const uint8_t pseudo[4] = {0, kProtocolTcp, static_cast<uint8_t>(tcpLength >> 8), static_cast<uint8_t>(tcpLength)};
  return ChecksumAdd(pseudo, ChecksumAdd({ip + kIpAddresses, 8}, 0));
}

// Both checksums right: each sum over its part, checksum included, is 0
// once complemented.
bool ChecksumsHold(const Segment& s) {
  if (ChecksumFinish(ChecksumAdd({s.ip, kIpHeader}, 0)) != 0) return false;
  const size_t tcpLength = s.length - kIpHeader;
  return ChecksumFinish(ChecksumAdd({s.ip + kIpHeader, tcpLength}, PseudoHeaderSum(s.ip, tcpLength))) == 0;
}

// A checksum stored as it was summed: in host order.
void StoreChecksum(uint8_t* p, uint16_t checksum) { std::memcpy(p, &checksum, 2); }

}  // namespace

size_t TcpCoalescer::Take(std::span<const std::span<const uint8_t>> packets) {
  if (packets.empty()) return 0;
  Segment first;
  if (!Parse(packets[0], first) || (first.flags & kTcpPsh) != 0) return 1;
  Segment prev = first;
  size_t count = 1;
  size_t length = first.length;
  // The first one's checksums are summed only once a second could join it:
  // a packet that goes alone is the kernel's to check.
  bool firstChecked = false;
  while (count < packets.size() && count < kMaxSegments) {
    Segment next;
    if (!Parse(packets[count], next) || !Continues(first, prev, next, count) || length + next.payload > kMaxPacket) {
      break;
    }
    if (!firstChecked) {
      if (!ChecksumsHold(first)) return 1;
      firstChecked = true;
    }
    if (!ChecksumsHold(next)) break;
    length += next.payload;
    ++count;
    prev = next;
    if (next.payload < first.payload || (next.flags & kTcpPsh) != 0) break;
  }
  if (count == 1) return 1;

  std::memcpy(headers_.data(), first.ip, first.headers);
  uint8_t* ip = headers_.data();
  uint8_t* tcp = ip + kIpHeader;
  PutU16BE(ip + kIpTotalLength, static_cast<uint16_t>(length));
  PutU16BE(ip + kIpChecksum, 0);
  StoreChecksum(ip + kIpChecksum, ChecksumFinish(ChecksumAdd({ip, kIpHeader}, 0)));
  tcp[kTcpFlags] |= prev.flags & kTcpPsh;
  // The sum folded, not complemented: what the kernel leaves in the field
  // of a packet whose checksum it leaves to the device.
  StoreChecksum(tcp + kTcpChecksum, static_cast<uint16_t>(~ChecksumFinish(PseudoHeaderSum(ip, length - kIpHeader))));
  headerLength_ = first.headers;
  segmentSize_ = first.payload;
  length_ = length;
  ecn_ = (first.flags & kTcpCwr) != 0;
  return count;
}

}  // namespace platform::tun
