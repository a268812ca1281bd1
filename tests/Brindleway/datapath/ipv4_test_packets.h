// IPv4 packets for the data-path tests, built and checked here from RFC 791
// and RFC 1071 alone (big-endian words, nothing of the client's code).
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/ones_sum.h"
#include "platform/byte_order.h"

namespace brindleway::iptest {

inline uint16_t Be16(const std::vector<uint8_t>& p, size_t at) { return platform::GetU16BE(&p[at]); }
inline void PutBe16(std::vector<uint8_t>& p, size_t at, uint16_t v) { platform::PutU16BE(&p[at], v); }

using vqtest::OnesSum;

// A header (or ICMP message) whose checksum is right sums to 0xFFFF.
inline bool ChecksumOk(const uint8_t* data, size_t length) { return OnesSum({data, length}) == 0xFFFF; }
inline bool HeaderChecksumOk(const std::vector<uint8_t>& packet) {
  return packet.size() >= 20 && ChecksumOk(packet.data(), 4 * (packet[0] & 0x0F));
}

struct Ipv4Fields {
  std::string source = "10.1.0.5";
  std::string destination = "192.168.50.7";
  uint8_t protocol = 1;
  size_t payload = 56;
  uint16_t flags = 0;  // DF 0x4000, MF 0x2000, offset in 8-byte units
  uint16_t id = 0x4242;
  size_t headerLength = 20;
};

// Payload bytes are a pattern of the offset, so a reassembly shows any
// misplaced byte; an ICMP payload starts as an echo request.
inline std::vector<uint8_t> Ipv4(const Ipv4Fields& fields) {
  std::vector<uint8_t> p(fields.headerLength + fields.payload, 0);
  p[0] = static_cast<uint8_t>(0x40 | (fields.headerLength / 4));
  PutBe16(p, 2, static_cast<uint16_t>(p.size()));
  PutBe16(p, 4, fields.id);
  PutBe16(p, 6, fields.flags);
  p[8] = 64;
  p[9] = fields.protocol;
  in_addr a{};
  inet_pton(AF_INET, fields.source.c_str(), &a);
  std::memcpy(&p[12], &a, 4);
  inet_pton(AF_INET, fields.destination.c_str(), &a);
  std::memcpy(&p[16], &a, 4);
  for (size_t i = 20; i < fields.headerLength; ++i) p[i] = 1;  // NOP options
  for (size_t i = 0; i < fields.payload; ++i) p[fields.headerLength + i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  if (fields.protocol == 1 && fields.payload >= 8) {
    p[fields.headerLength] = 8;
    p[fields.headerLength + 1] = 0;
    PutBe16(p, fields.headerLength + 2, 0);
    PutBe16(p, fields.headerLength + 2, static_cast<uint16_t>(~OnesSum({&p[fields.headerLength], fields.payload})));
  }
  PutBe16(p, 10, static_cast<uint16_t>(~OnesSum({p.data(), fields.headerLength})));
  return p;
}

// Reassembles fragments (RFC 815 style, any order) into the datagram; every
// fragment's header checksum and consistency are checked on the way.
struct Reassembly {
  bool ok = false;
  std::string error;
  std::vector<uint8_t> header;   // of the fragment at offset 0
  std::vector<uint8_t> payload;  // the datagram's payload
  bool lastHadMf = false;        // the fragment that ends the payload kept MF
  std::vector<size_t> sizes;     // payload sizes in arrival order
};

inline Reassembly Fail(Reassembly r, const std::string& error) {
  r.error = error;
  return r;
}

inline Reassembly Reassemble(const std::vector<std::vector<uint8_t>>& fragments) {
  Reassembly r;
  std::map<size_t, std::vector<uint8_t>> pieces;
  size_t end = 0;
  for (const auto& f : fragments) {
    if (f.size() < 20 || (f[0] >> 4) != 4) return Fail(r, "not IPv4");
    const size_t h = 4 * (f[0] & 0x0F);
    if (Be16(f, 2) != f.size()) return Fail(r, "total length");
    if (!HeaderChecksumOk(f)) return Fail(r, "header checksum");
    const uint16_t flags = Be16(f, 6);
    if ((flags & 0x4000) != 0) return Fail(r, "DF set on a fragment");
    const size_t offset = 8u * (flags & 0x1FFF);
    const size_t size = f.size() - h;
    const bool mf = (flags & 0x2000) != 0;
    if (mf && size % 8 != 0) return Fail(r, "non-final fragment not a multiple of 8");
    r.sizes.push_back(size);
    if (offset == 0) r.header.assign(f.begin(), f.begin() + static_cast<long>(h));
    pieces[offset] = std::vector<uint8_t>(f.begin() + static_cast<long>(h), f.end());
    if (offset + size > end) {
      end = offset + size;
      r.lastHadMf = mf;
    }
  }
  size_t at = 0;
  for (const auto& [offset, data] : pieces) {
    if (offset != at) return Fail(r, "gap or overlap at " + std::to_string(offset));
    r.payload.insert(r.payload.end(), data.begin(), data.end());
    at += data.size();
  }
  r.ok = true;
  return r;
}

}  // namespace brindleway::iptest
