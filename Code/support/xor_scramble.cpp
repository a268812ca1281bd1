#include "support/xor_scramble.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<uint8_t, XOR_SCRAMBLE_KEY_BYTES> kKey = {0x5A, 0xC3, 0x17, 0x9E, 0x64, 0xB1};

}  // namespace

int XorScramble(std::span<const uint8_t> in, std::span<uint8_t> out) {
  if (out.size() < in.size()) return 0;
  std::fill(out.begin(), out.end(), uint8_t{0});
  for (size_t i = 0; i < in.size(); ++i) out[i] = in[i] ^ kKey[i % kKey.size()];
  return 1;
}

int XorScrambleBuffer(std::span<const uint8_t> in, std::span<uint8_t> out) {
  if (in.size() > XOR_SCRAMBLE_BUFFER_BYTES || out.size() < in.size()) return 0;
  std::array<uint8_t, XOR_SCRAMBLE_BUFFER_BYTES> work{};
  if (XorScramble(in, work) == 0) return 0;
  std::copy_n(work.begin(), in.size(), out.begin());
  return 1;
}
