// IPv4 netmasks (network order) and prefix lengths.
#pragma once

#include <arpa/inet.h>

#include <bit>
#include <cstdint>
#include <optional>

namespace platform::net {

// The prefix length of a contiguous mask; none for a mask with holes.
inline std::optional<int> PrefixFromMask(uint32_t maskNet) {
  const uint32_t host = ntohl(maskNet);
  const uint32_t inverted = ~host;
  if ((inverted & (inverted + 1)) != 0) return std::nullopt;
  return std::popcount(host);
}

// Leading one bits of a mask in network order (never more than 32); a mask
// with holes counts up to its first hole.
inline int MaskPrefixLength(uint32_t maskNet) {
  return std::countl_one(ntohl(maskNet));
}

inline uint32_t MaskFromPrefix(int prefix) {
  if (prefix <= 0) return 0;
  if (prefix >= 32) return 0xFFFFFFFFu;
  return htonl(~((1u << (32 - prefix)) - 1));
}

}  // namespace platform::net
