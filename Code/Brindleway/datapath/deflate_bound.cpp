#include "Brindleway/datapath/deflate_bound.h"

#include <cmath>
#include <cstring>

namespace brindleway {
namespace {

constexpr double kFramingBytes = 2 + 4;  // header, Adler-32
constexpr double kLog2E = 1.4426950408889634;

// c * log2(c) for every count an input can have.
const std::array<double, DeflateBound::kMaxInput + 1>& CountBits() {
  static const auto table = [] {
    std::array<double, DeflateBound::kMaxInput + 1> t{};
    for (uint32_t c = 2; c <= DeflateBound::kMaxInput; ++c) t[c] = c * std::log2(static_cast<double>(c));
    return t;
  }();
  return table;
}

}  // namespace

DeflateBound::DeflateBound() { CountBits(); }

bool DeflateBound::AtLeast(const uint8_t* data, uint32_t length, uint32_t target) {
  if (length < 3 || length > kMaxInput) return false;
  // What one byte taken from the literals can lower the entropy bound by.
  const double bitsPerRemoved = std::log2(static_cast<double>(length)) + kLog2E;
  // Repeats past which not even 8 bits a literal could reach the target
  // (one byte of margin for the rounding below).
  const double roomBits = 8.0 * (length - (target - kFramingBytes + 1.0));
  if (roomBits < 0) return false;
  const uint32_t maxRepeats = static_cast<uint32_t>(roomBits / (3.0 * bitsPerRemoved));

  // A byte per hash, stamped with this call's generation, costs a plain
  // store per input byte where a bit set costs a read-modify-write.
  if (++m_generation == 0) {
    m_seenIn.fill(0);
    m_generation = 1;
  }
  const uint8_t now = m_generation;
  uint32_t counts[256] = {};
  ++counts[data[0]];
  ++counts[data[1]];
  uint32_t key = (uint32_t{data[0]} << 8) | data[1];
  uint32_t repeats = 0;
  for (uint32_t i = 2; i < length; ++i) {
    key = (key << 8) | data[i];
    ++counts[data[i]];
    const uint32_t hash = ((key & 0xFFFFFFu) * 0x9E3779B1u) >> 16;
    repeats += m_seenIn[hash] == now ? 1 : 0;
    m_seenIn[hash] = now;
    if ((i & 63) == 0 && repeats > maxRepeats) return false;
  }
  if (repeats > maxRepeats) return false;

  const auto& bits = CountBits();
  double entropyBits = bits[length];
  for (const uint32_t c : counts) entropyBits -= bits[c];
  const double removed = std::fmin(3.0 * repeats, static_cast<double>(length));
  const double dynamicBits = entropyBits - removed * bitsPerRemoved;
  const double fixedBits = 8.0 * (length - removed);
  const double blockBits = std::fmax(0.0, std::fmin(dynamicBits, fixedBits));
  // One byte off for the rounding of the sums.
  const double least = kFramingBytes + std::floor(blockBits / 8.0) - 1.0;
  return least >= target;
}

}  // namespace brindleway
