#include "platform/tun/tcp_segmenter.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/net/internet_checksum.h"
#include "platform/tun/tcp_ipv4_fields.h"

namespace platform::tun {
namespace {

using net::ChecksumAdd;
using net::ChecksumFinish;
using namespace tcp_ipv4;


// A checksum stored as it was summed: in host order.
void StoreChecksum(uint8_t* p, uint16_t checksum) { std::memcpy(p, &checksum, 2); }

}  // namespace

bool CompleteChecksum(std::span<uint8_t> packet, size_t start, size_t offset) {
  if (start > packet.size() || offset > packet.size() - start || packet.size() - start - offset < 2) return false;
  // The field holds the pseudo-header's sum; the sum over it and the rest
  // is the checksum. Zero goes out as its other form, as the kernel does.
  const uint16_t checksum = ChecksumFinish(ChecksumAdd(packet.subspan(start), 0));
  StoreChecksum(packet.data() + start + offset, checksum == 0 ? 0xFFFF : checksum);
  return true;
}

bool TcpSegmenter::Start(std::span<const uint8_t> packet, size_t segmentSize) {
  Clear();
  const uint8_t* ip = packet.data();
  if (segmentSize == 0 || packet.size() < kIpMinHeader || (ip[0] >> 4) != 4) return false;
  const size_t ipHeader = static_cast<size_t>(ip[0] & 0x0F) * 4;
  if (ipHeader < kIpMinHeader || GetU16BE(ip + kIpTotalLength) != packet.size()) return false;
  if (ip[kIpProtocol] != kProtocolTcp || (GetU16BE(ip + kIpFragment) & 0x3FFF) != 0) return false;
  if (packet.size() < ipHeader + kTcpMinHeader) return false;
  const size_t tcpHeader = static_cast<size_t>(ip[ipHeader + kTcpDataOffset] >> 4) * 4;
  if (tcpHeader < kTcpMinHeader || packet.size() < ipHeader + tcpHeader) return false;
  packet_ = packet;
  ipHeader_ = ipHeader;
  headers_ = ipHeader + tcpHeader;
  segmentSize_ = segmentSize;
  index_ = 0;
  offset_ = headers_;
  payloadEnd_ = packet.size();
  // A packet of headers alone is one segment of no payload.
  if (offset_ == payloadEnd_) ++payloadEnd_;
  return true;
}

size_t TcpSegmenter::NextLength() const {
  if (!Pending()) return 0;
  return headers_ + std::min(segmentSize_, packet_.size() - std::min(offset_, packet_.size()));
}

size_t TcpSegmenter::Next(std::span<uint8_t> out) {
  const size_t length = NextLength();
  if (length == 0 || out.size() < length) return 0;
  const size_t payload = length - headers_;
  const bool last = offset_ + std::max<size_t>(payload, 1) >= payloadEnd_;
  uint8_t* ip = out.data();
  std::memcpy(ip, packet_.data(), headers_);
  std::memcpy(ip + headers_, packet_.data() + offset_, payload);

  PutU16BE(ip + kIpTotalLength, static_cast<uint16_t>(length));
  PutU16BE(ip + kIpIdent, static_cast<uint16_t>(GetU16BE(packet_.data() + kIpIdent) + index_));
  PutU16BE(ip + kIpChecksum, 0);
  StoreChecksum(ip + kIpChecksum, ChecksumFinish(ChecksumAdd({ip, ipHeader_}, 0)));

  uint8_t* tcp = ip + ipHeader_;
  PutU32BE(tcp + kTcpSequence,
         GetU32BE(packet_.data() + ipHeader_ + kTcpSequence) + static_cast<uint32_t>(offset_ - headers_));
  if (!last) tcp[kTcpFlags] &= static_cast<uint8_t>(~(kTcpFin | kTcpPsh));
  if (index_ != 0) tcp[kTcpFlags] &= static_cast<uint8_t>(~kTcpCwr);
  PutU16BE(tcp + kTcpChecksum, 0);
  const size_t tcpLength = length - ipHeader_;
  const uint8_t pseudo[4] = {0, kProtocolTcp, static_cast<uint8_t>(tcpLength >> 8), static_cast<uint8_t>(tcpLength)};
  uint64_t sum = ChecksumAdd({ip + kIpAddresses, 8}, 0);
  sum = ChecksumAdd(pseudo, sum);
  sum = ChecksumAdd({tcp, tcpLength}, sum);
  StoreChecksum(tcp + kTcpChecksum, ChecksumFinish(sum));

  offset_ += std::max<size_t>(payload, 1);
  ++index_;
  if (!Pending()) Clear();
  return length;
}

}  // namespace platform::tun
