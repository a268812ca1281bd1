#include "platform/net/internet_checksum.h"

#include <cstring>

namespace platform::net {

uint64_t ChecksumAdd(std::span<const uint8_t> data, uint64_t sum) {
  const uint8_t* p = data.data();
  size_t n = data.size();
  // 64-bit words with the carries counted apart: 2^64 is 1 modulo 0xFFFF,
  // so each carry adds one.
  uint64_t carries = 0;
  while (n >= 8) {
    uint64_t word = 0;
    std::memcpy(&word, p, 8);
    sum += word;
    carries += sum < word ? 1 : 0;
    p += 8;
    n -= 8;
  }
  uint64_t tail = 0;
  // The odd last byte is the first byte of a word padded with zero.
  std::memcpy(&tail, p, n);
  sum += tail;
  carries += sum < tail ? 1 : 0;
  sum += carries;
  if (sum < carries) ++sum;
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
