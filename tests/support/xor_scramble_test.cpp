#include "support/xor_scramble.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Data(size_t n) {
  std::vector<uint8_t> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i * 31 + 5);
  return d;
}

TEST(XorScrambleTest, TwiceRestoresAndTheKeyRepeatsEverySixBytes) {
  const std::vector<uint8_t> in = Data(40);
  std::vector<uint8_t> once(40), twice(40);
  ASSERT_EQ(XorScramble(in, once), 1);
  ASSERT_EQ(XorScramble(once, twice), 1);
  EXPECT_EQ(twice, in);
  EXPECT_NE(once, in);
  for (size_t i = 0; i + XOR_SCRAMBLE_KEY_BYTES < in.size(); ++i) {
    EXPECT_EQ(in[i] ^ once[i], in[i + XOR_SCRAMBLE_KEY_BYTES] ^ once[i + XOR_SCRAMBLE_KEY_BYTES]) << i;
  }
}

TEST(XorScrambleTest, ShortOutputIsRefused) {
  const std::vector<uint8_t> in = Data(10);
  std::vector<uint8_t> out(9, 0xEE);
  EXPECT_EQ(XorScramble(in, out), 0);
  EXPECT_EQ(out, std::vector<uint8_t>(9, 0xEE));
  std::vector<uint8_t> none;
  EXPECT_EQ(XorScramble({}, none), 1);
}

TEST(XorScrambleTest, BufferFormStaysWithinItsWorkBuffer) {
  struct Case {
    size_t size;
    int result;
  };
  for (const Case& c : {Case{0, 1}, Case{1, 1}, Case{511, 1}, Case{512, 1}, Case{513, 0}, Case{4096, 0}}) {
    const std::vector<uint8_t> in = Data(c.size);
    std::vector<uint8_t> direct(c.size), viaBuffer(c.size, 0xEE);
    XorScramble(in, direct);
    EXPECT_EQ(XorScrambleBuffer(in, viaBuffer), c.result) << c.size;
    EXPECT_EQ(viaBuffer, c.result == 1 ? direct : std::vector<uint8_t>(c.size, 0xEE)) << c.size;
  }
}

}  // namespace
