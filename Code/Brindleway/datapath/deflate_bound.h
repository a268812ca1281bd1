// A lower bound on the length of what zlib's compress() at the default
// level makes of a packet's payload, cheap enough to take before every
// compression: a payload that can't shrink by enough is then sent as it is
// without being compressed, exactly as compressing it would have decided.
//
// Why it holds, for an input of n bytes with byte histogram c:
//  - deflate's matches are 3 bytes or longer. A match of length L repeats
//    the L - 1 two-byte strings that start in its source's first L - 1
//    bytes, each at the same offset; at least (L - 1) / 2 (rounded down, so
//    at least 1) of those source starts are even, and L <= 4 * that. With R
//    the positions whose 2-byte string started at some earlier even
//    position, matches cover at most 4R bytes and at least n - 4R bytes are
//    coded as literals. (Only the even positions are recorded, all are
//    looked up: half the records of every position, and the string itself
//    is the table index, so nothing collides);
//  - an input this short fills one block, which costs at least the least
//    of the stored form (8n bits), the fixed codes (8 bits a literal or
//    more) and a dynamic code, whose literals cost at least their
//    histogram's entropy (Shannon: n log n - sum c log c bits for all n
//    bytes; each byte taken away lowers that by at most log2 n + log2 e);
//  - a 2-byte header and a 4-byte check value come around it.
// The same holds of the literals of a prefix of the input alone (the
// entropy bound holds for any part of the block's literals under its one
// code; matches wholly inside the prefix are counted as above, and the one
// match that may run past its end covers at most 2 of its bytes unseen),
// so a prefix a little longer than the target that already can't shrink
// below it bounds the whole input, and the rest is not read.
#pragma once

#include <array>
#include <cstdint>

namespace brindleway {

class DeflateBound {
 public:
  // Inputs longer than this are never bounded.
  static constexpr uint32_t kMaxInput = 4096;

  DeflateBound();

  // True when compress() provably makes at least target bytes of data.
  // False means nothing: compress and see.
  bool AtLeast(const uint8_t* data, uint32_t length, uint32_t target);

 private:
  // For each 2-byte string, the generation (call) that last saw it:
  // nothing to clear between calls but every 255th.
  std::array<uint8_t, 65536> m_seenIn{};
  uint8_t m_generation = 0;
};

}  // namespace brindleway
