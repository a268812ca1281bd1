// The word-at-a-time Internet checksum against the plain one.
#include "platform/net/internet_checksum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/ones_sum.h"
#include "platform/byte_order.h"

namespace {

using platform::net::ChecksumAdd;
using platform::net::ChecksumFinish;

TEST(InternetChecksum, AgreesWithTheWordByWordSumForEveryLengthAndAlignment) {
  std::vector<uint8_t> data(1500);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  // All-ones bytes push every carry path.
  std::vector<uint8_t> ones(1500, 0xFF);
  for (const auto* bytes : {&data, &ones}) {
    for (size_t length : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 1399u, 1400u, 1500u}) {
      const uint16_t expected = static_cast<uint16_t>(~vqtest::OnesSum({bytes->data(), length}));
      uint16_t got = ChecksumFinish(ChecksumAdd({bytes->data(), length}, 0));
      // Summed and stored in host order: as bytes it is the checksum.
      uint8_t stored[2];
      std::memcpy(stored, &got, 2);
      EXPECT_EQ(platform::GetU16BE(stored), expected) << "length " << length;
    }
  }
}

TEST(InternetChecksum, APieceAddedToALargeRunningSumKeepsItsCarry) {
  // Adding to sum is summing sum's own eight bytes (host order) first.
  std::vector<uint8_t> ones(1400, 0xFF);
  for (const uint64_t start : {0xFFFFFFFFFFFFFFF0ull, 0x8000000000000001ull, 0xFFFFFFFFFFFFFFFFull}) {
    std::vector<uint8_t> whole(8 + ones.size(), 0xFF);
    std::memcpy(whole.data(), &start, 8);
    const uint16_t expected = static_cast<uint16_t>(~vqtest::OnesSum(whole));
    const uint16_t got = ChecksumFinish(ChecksumAdd(ones, start));
    uint8_t stored[2];
    std::memcpy(stored, &got, 2);
    EXPECT_EQ(platform::GetU16BE(stored), expected) << std::hex << start;
  }
}

TEST(InternetChecksum, Rfc1071Example) {
  const uint8_t bytes[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  const uint16_t got = ChecksumFinish(ChecksumAdd(bytes, 0));
  uint8_t stored[2];
  std::memcpy(stored, &got, 2);
  EXPECT_EQ(platform::GetU16BE(stored), static_cast<uint16_t>(~0xddf2));
}

}  // namespace
