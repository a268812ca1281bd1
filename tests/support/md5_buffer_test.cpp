#include "support/md5_buffer.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

std::string Hex(const uint8_t* d, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

TEST(Md5OfBufferTest, KnownAnswers) {
  struct Case {
    std::string data;
    const char* md5;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b"},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, MD5_DIGEST_BYTES> out{};
    ASSERT_EQ(Md5OfBuffer(reinterpret_cast<const uint8_t*>(c.data.data()), static_cast<uint32_t>(c.data.size()),
                          out.data()),
              0);
    EXPECT_EQ(Hex(out.data(), out.size()), c.md5);
  }
}

TEST(Md5OfBufferTest, NullArgumentsFailAndWriteNothing) {
  std::array<uint8_t, MD5_DIGEST_BYTES> out;
  out.fill(0xAB);
  EXPECT_EQ(Md5OfBuffer(nullptr, 0, out.data()), -1);
  EXPECT_EQ(out[0], 0xAB);
  const uint8_t data[1] = {1};
  EXPECT_EQ(Md5OfBuffer(data, 1, nullptr), -1);
}

}  // namespace
