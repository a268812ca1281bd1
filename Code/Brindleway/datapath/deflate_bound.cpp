#include "Brindleway/datapath/deflate_bound.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace brindleway {
namespace {

constexpr double kFramingBytes = 2 + 4;  // header, Adler-32
constexpr double kLog2E = 1.4426950408889634;
// Bytes of matches one counted repeat can stand for (see the header).
constexpr double kBytesPerRepeat = 4;
// c * log2(c) in units of 2^-16 bits, rounded up, so that the entropy
// summed from it never comes out above the real one; integers add without
// the latency chain of 256 floating-point sums.
constexpr double kCountBitsScale = 65536.0;
// A prefix this much longer than the target is looked at on the way: if
// its own literals already can't take fewer bytes, the rest is not read
// (random bytes pass with this margin to spare).
constexpr uint32_t kPrefixMargin = 64;
// The bytes of a prefix one match may cover unseen: the one that runs past
// its end, while fewer than 3 of its bytes lie inside.
constexpr double kUnseenAtPrefixEnd = 2;
// Bytes scanned between two looks at the repeats so far (even).
constexpr uint32_t kCheckEvery = 64;

const std::array<uint32_t, DeflateBound::kMaxInput + 1>& CountBits() {
  static const auto table = [] {
    std::array<uint32_t, DeflateBound::kMaxInput + 1> t{};
    for (uint32_t c = 2; c <= DeflateBound::kMaxInput; ++c) {
      t[c] = static_cast<uint32_t>(std::ceil(c * std::log2(static_cast<double>(c)) * kCountBitsScale)) + 1;
    }
    return t;
  }();
  return table;
}

// The 2-byte string at p as a table index (the byte order doesn't matter,
// only that equal strings give equal indexes).
uint32_t Pair(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The least zlib can make of an input whose first scanned bytes have the
// histogram counts, of which matches cover at most covered.
double LeastBytes(const uint32_t* counts, uint32_t scanned, double covered) {
  const double bitsPerRemoved = std::log2(static_cast<double>(scanned)) + kLog2E;
  const auto& bits = CountBits();
  // Four sums side by side: one would make the 256 adds a chain.
  uint64_t sums[4] = {};
  for (uint32_t c = 0; c < 256; c += 4) {
    sums[0] += bits[counts[c]];
    sums[1] += bits[counts[c + 1]];
    sums[2] += bits[counts[c + 2]];
    sums[3] += bits[counts[c + 3]];
  }
  const uint64_t countBits = sums[0] + sums[1] + sums[2] + sums[3];
  const double entropyBits =
      scanned * std::log2(static_cast<double>(scanned)) - static_cast<double>(countBits) / kCountBitsScale;
  const double removed = std::min(covered, static_cast<double>(scanned));
  const double dynamicBits = entropyBits - removed * bitsPerRemoved;
  const double fixedBits = 8.0 * (scanned - removed);
  const double blockBits = std::max(0.0, std::min(dynamicBits, fixedBits));
  // One byte off for the rounding of the sums.
  return kFramingBytes + std::floor(blockBits / 8.0) - 1.0;
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
  const uint32_t maxRepeats = static_cast<uint32_t>(roomBits / (kBytesPerRepeat * bitsPerRemoved));

  // A byte per string, stamped with this call's generation, costs a plain
  // store per input byte where a bit set costs a read-modify-write.
  if (++m_generation == 0) {
    m_seenIn.fill(0);
    m_generation = 1;
  }
  const uint8_t now = m_generation;
  // No entry is newer than this call, so "seen in this call" is "newer
  // than the one before": a compare and an add with carry.
  const uint8_t before = now - 1;
  uint32_t counts[256] = {};
  uint32_t repeats = 0;
  // Two positions a step: the even one is looked up, then recorded, then
  // the odd one looked up, so each sees exactly the recorded strings of the
  // positions before it. The checks are taken between blocks of steps,
  // which keeps the step itself short; at the top of the step at i, counts
  // and repeats are those of the first i bytes.
  const uint32_t prefix = (target + kPrefixMargin + 1) & ~1u;
  // The first even position whose step would read past the end.
  const uint32_t stepsEnd = ((length - 3) & ~1u) + 2;
  uint32_t i = 0;
  while (i < stepsEnd) {
    uint32_t blockEnd = std::min(stepsEnd, i + kCheckEvery);
    if (i < prefix) blockEnd = std::min(blockEnd, prefix);
    // A pointer, not the index, walks the block: the step stays one add.
    const uint8_t* const end = data + blockEnd;
    for (const uint8_t* p = data + i; p < end; p += 2) {
      const uint32_t even = Pair(p);
      const uint32_t odd = Pair(p + 1);
      repeats += m_seenIn[even] > before ? 1 : 0;
      m_seenIn[even] = now;
      repeats += m_seenIn[odd] > before ? 1 : 0;
      ++counts[p[0]];
      ++counts[p[1]];
    }
    i = blockEnd;
    if (i == prefix && LeastBytes(counts, i, kBytesPerRepeat * repeats + kUnseenAtPrefixEnd) >= target) return true;
    if (repeats > maxRepeats) return false;
  }
  // The last 2-byte string, when it starts at an even position.
  if (i + 2 <= length) repeats += m_seenIn[Pair(data + i)] > before ? 1 : 0;
  for (; i < length; ++i) ++counts[data[i]];
  if (repeats > maxRepeats) return false;
  return LeastBytes(counts, length, kBytesPerRepeat * repeats) >= target;
}

}  // namespace brindleway
