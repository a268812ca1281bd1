// Where the fields the TCP segmenter and coalescer read and write lie in an
// IPv4 header and the TCP header behind it, and the TCP flags they look at.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::tun::tcp_ipv4 {

inline constexpr size_t kIpMinHeader = 20;
inline constexpr size_t kTcpMinHeader = 20;
inline constexpr uint8_t kProtocolTcp = 6;

inline constexpr uint8_t kTcpFin = 0x01;
inline constexpr uint8_t kTcpSyn = 0x02;
inline constexpr uint8_t kTcpRst = 0x04;
inline constexpr uint8_t kTcpPsh = 0x08;
inline constexpr uint8_t kTcpAck = 0x10;
inline constexpr uint8_t kTcpUrg = 0x20;
inline constexpr uint8_t kTcpEce = 0x40;
inline constexpr uint8_t kTcpCwr = 0x80;

// Offsets in the IPv4 header.
inline constexpr size_t kIpTotalLength = 2;
inline constexpr size_t kIpIdent = 4;
inline constexpr size_t kIpFragment = 6;
inline constexpr size_t kIpProtocol = 9;
inline constexpr size_t kIpChecksum = 10;
inline constexpr size_t kIpAddresses = 12;  // source, then destination

// Offsets in the TCP header.
inline constexpr size_t kTcpSequence = 4;
inline constexpr size_t kTcpAckNumber = 8;
inline constexpr size_t kTcpDataOffset = 12;
inline constexpr size_t kTcpFlags = 13;
inline constexpr size_t kTcpWindow = 14;
inline constexpr size_t kTcpChecksum = 16;
inline constexpr size_t kTcpUrgent = 18;

}  // namespace platform::tun::tcp_ipv4
