#include "support/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

const uint32_t kAllFlags[] = {0, BASE64_FLAG_NOPAD, BASE64_FLAG_NOCRLF,
                              BASE64_FLAG_NOPAD | BASE64_FLAG_NOCRLF};

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

// Encodes through the buffer interface with exactly the required capacity.
std::string Encode(const std::vector<uint8_t>& data, uint32_t flags) {
  int capacity = Base64EncodeGetRequiredLength(static_cast<int>(data.size()), flags);
  EXPECT_GE(capacity, 0);
  std::string out(static_cast<size_t>(capacity), '\0');
  static const uint8_t kEmpty = 0;
  EXPECT_TRUE(Base64Encode(data.empty() ? &kEmpty : data.data(), static_cast<int>(data.size()),
                           out.data(), &capacity, flags));
  out.resize(static_cast<size_t>(capacity));
  return out;
}

std::vector<uint8_t> Decode(const std::string& text) {
  int count = 0;
  Base64Decode(text.data(), static_cast<int>(text.size()), nullptr, &count);
  std::vector<uint8_t> out(static_cast<size_t>(count) + 1);
  int capacity = static_cast<int>(out.size());
  EXPECT_TRUE(Base64Decode(text.data(), static_cast<int>(text.size()), out.data(), &capacity));
  out.resize(static_cast<size_t>(capacity));
  return out;
}

struct Vector {
  std::string plain;
  std::string encoded;  // with padding, without line breaks
};

// RFC 4648 section 10, and the short cases of the encoder's own contract.
const Vector kVectors[] = {
    {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},     {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
    {"ab", "YWI="},
};

std::string WithoutPadding(std::string s) {
  while (!s.empty() && s.back() == '=') s.pop_back();
  return s;
}

TEST(Base64Test, KnownVectorsUnderEveryFlagCombination) {
  for (const Vector& v : kVectors) {
    for (uint32_t flags : kAllFlags) {
      const std::string expected =
          (flags & BASE64_FLAG_NOPAD) ? WithoutPadding(v.encoded) : v.encoded;
      EXPECT_EQ(Encode(Bytes(v.plain), flags), expected) << v.plain << " flags " << flags;
      EXPECT_EQ(Base64EncodeToString(Bytes(v.plain), flags), expected);
      EXPECT_EQ(Decode(expected), Bytes(v.plain)) << expected;
    }
  }
}

TEST(Base64Test, LineBreaksFollowOnlyCompleteLines) {
  const std::vector<uint8_t> four(4, 0xAB), fiftySeven(57, 0x5A), fiftyEight(58, 0x5A);
  EXPECT_EQ(Encode(four, 0).size(), 8u);

  const std::string oneLine = Encode(fiftySeven, 0);
  ASSERT_EQ(oneLine.size(), 78u);
  EXPECT_EQ(oneLine.substr(76), "\r\n");

  const std::string twoLines = Encode(fiftyEight, 0);
  ASSERT_EQ(twoLines.size(), 82u);
  EXPECT_EQ(twoLines.substr(76, 2), "\r\n");
  EXPECT_EQ(twoLines.substr(80), "==");
  EXPECT_EQ(Encode(fiftyEight, BASE64_FLAG_NOPAD).size(), 80u);
  EXPECT_EQ(Encode(fiftyEight, BASE64_FLAG_NOCRLF).size(), 80u);
}

TEST(Base64Test, RequiredLengthBoundsEveryOutputAndTheOutputRoundTrips) {
  std::vector<uint8_t> data;
  for (int length = 0; length <= 5000; ++length) {
    for (uint32_t flags : kAllFlags) {
      const int required = Base64EncodeGetRequiredLength(length, flags);
      const std::string text = Base64EncodeToString(data, flags);
      ASSERT_GE(required, static_cast<int>(text.size())) << length << " flags " << flags;
      // Lines: every one but the last is exactly 76 characters.
      size_t start = 0, breaks = 0;
      for (size_t pos; (pos = text.find("\r\n", start)) != std::string::npos; start = pos + 2) {
        ASSERT_EQ(pos - start, 76u) << length;
        ++breaks;
      }
      ASSERT_EQ(breaks, (flags & BASE64_FLAG_NOCRLF) ? 0u : static_cast<size_t>(length / 57));
      if (!(flags & BASE64_FLAG_NOCRLF)) {
        ASSERT_LE(text.size() - start, 76u);
      }
      ASSERT_EQ(Base64DecodeToBytes(text), data) << length;
    }
    data.push_back(static_cast<uint8_t>(length * 37 + 11));
  }
}

TEST(Base64Test, RequiredLengthRejectsWhatCannotBeRepresented) {
  EXPECT_EQ(Base64EncodeGetRequiredLength(-1, 0), -1);
  EXPECT_EQ(Base64EncodeGetRequiredLength(0x7FFFFFFF, 0), -1);
}

TEST(Base64Test, DecodeSkipsBlanksLineBreaksAndPadding) {
  EXPECT_EQ(Decode("YW Jj\r\n"), Bytes("abc"));
  EXPECT_EQ(Decode(" Zm9v\r\nYmFy \t=="), Bytes("foobar"));
  EXPECT_EQ(Decode("YQ"), Bytes("a"));     // 2 characters -> 1 byte
  EXPECT_EQ(Decode("YWI"), Bytes("ab"));   // 3 characters -> 2 bytes
  EXPECT_EQ(Decode("YWJjZ"), Bytes("abc"));  // a lone last character carries no byte
  EXPECT_EQ(Decode("=\r\n"), Bytes(""));
}

TEST(Base64Test, EncodeCapacityOneShortFailsWithTheRequiredLength) {
  const std::vector<uint8_t> data = Bytes("foobar!");
  for (uint32_t flags : kAllFlags) {
    const int required = Base64EncodeGetRequiredLength(static_cast<int>(data.size()), flags);
    std::string out(static_cast<size_t>(required), '#');
    int capacity = required - 1;
    EXPECT_FALSE(Base64Encode(data.data(), static_cast<int>(data.size()), out.data(), &capacity, flags));
    EXPECT_EQ(capacity, required);
    EXPECT_EQ(out, std::string(static_cast<size_t>(required), '#'));
  }
}

TEST(Base64Test, DecodeCapacityOneShortFailsWithTheFullCountAndWritesNothing) {
  const std::string text = "Zm9vYmFy";
  std::vector<uint8_t> out(6, 0xEE);
  int capacity = 5;
  EXPECT_FALSE(Base64Decode(text.data(), static_cast<int>(text.size()), out.data(), &capacity));
  EXPECT_EQ(capacity, 6);
  EXPECT_EQ(out, std::vector<uint8_t>(6, 0xEE));

  int count = 100;
  EXPECT_FALSE(Base64Decode(text.data(), static_cast<int>(text.size()), nullptr, &count));
  EXPECT_EQ(count, 6);

  capacity = 6;
  EXPECT_TRUE(Base64Decode(text.data(), static_cast<int>(text.size()), out.data(), &capacity));
  EXPECT_EQ(out, Bytes("foobar"));
}

TEST(Base64Test, NullArgumentsFail) {
  char out[16];
  int capacity = sizeof out;
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_FALSE(Base64Encode(nullptr, 3, out, &capacity, 0));
  EXPECT_FALSE(Base64Encode(data, 3, nullptr, &capacity, 0));
  EXPECT_FALSE(Base64Encode(data, 3, out, nullptr, 0));
  uint8_t bytes[16];
  EXPECT_FALSE(Base64Decode("YWJj", 4, bytes, nullptr));
  capacity = sizeof bytes;
  EXPECT_FALSE(Base64Decode(nullptr, 4, bytes, &capacity));
}

TEST(Base64Test, DecodeCharCoversTheAlphabetOnly) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int c = 0; c < 256; ++c) {
    const size_t pos = alphabet.find(static_cast<char>(c));
    EXPECT_EQ(Base64DecodeChar(c), pos == std::string::npos ? -1 : static_cast<int>(pos)) << c;
  }
}

}  // namespace
