#include "platform/net/internet_checksum.h"

#include <cstring>

namespace platform::net {

uint64_t ChecksumAdd(std::span<const uint8_t> data, uint64_t sum) {
  const uint8_t* p = data.data();
  size_t n = data.size();
  // 32-bit words summed in 64 bits lose no carry before 2^32 of them, and
  // 2^16 is 1 modulo 0xFFFF, so their sum is the 16-bit words' sum. Four
  // sums side by side: the loop runs on vector registers, no carry chain.
  uint64_t wide[4] = {};
  while (n >= 16) {
    for (size_t i = 0; i < 4; ++i) {
      uint32_t word = 0;
      std::memcpy(&word, p + 4 * i, 4);
      wide[i] += word;
    }
    p += 16;
    n -= 16;
  }
  while (n >= 4) {
    uint32_t word = 0;
    std::memcpy(&word, p, 4);
    wide[0] += word;
    p += 4;
    n -= 4;
  }
  // The odd last byte is the first byte of a word padded with zero.
  uint32_t tail = 0;
  std::memcpy(&tail, p, n);
  const uint64_t words = (wide[0] + wide[1]) + (wide[2] + wide[3]) + tail;
  // 2^64 is 1 modulo 0xFFFF too: the carry of the last addition adds one.
  sum += words;
  if (sum < words) ++sum;
  return sum;
}

uint16_t ChecksumFinish(uint64_t sum) {
  sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
  sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
  sum = (sum & 0xFFFFu) + (sum >> 16);
  sum = (sum & 0xFFFFu) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

}  // namespace platform::net
