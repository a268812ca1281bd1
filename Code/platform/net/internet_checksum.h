// The Internet checksum (RFC 1071), summed several words at a time.
#pragma once

#include <cstdint>
#include <span>

namespace platform::net {

// The sum of data's 16-bit words added to sum, before folding. Pieces
// summed one after the other must each hold an even number of bytes but
// the last. Sums in host order; the folded result is stored back in host
// order (memcpy), which gives the checksum's bytes on either byte order.
uint64_t ChecksumAdd(std::span<const uint8_t> data, uint64_t sum);
// Folds a sum to 16 bits and complements it.
uint16_t ChecksumFinish(uint64_t sum);

}  // namespace platform::net
