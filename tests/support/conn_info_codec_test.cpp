// The wire records byte for byte, and the records a decoder must refuse.
#include "support/conn_info_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// The 588-byte image of a record, laid out by hand from its offsets.
std::vector<uint8_t> ConnInfoImage() {
  std::vector<uint8_t> b(588, 0);
  std::memcpy(&b[0], "gw.example.com", 14);
  b[256] = 0xBB; b[257] = 0x01;                 // port 443
  b[260] = 3;                                   // auth_type
  b[264] = 0x1B;                                // init
  std::memcpy(&b[268], "alice", 5);
  std::memcpy(&b[332], "s3cret", 6);
  std::memcpy(&b[460], "1234", 4);
  return b;
}

conn_info SampleRecord() {
  conn_info info;
  info.host = "gw.example.com";
  info.port = 443;
  info.auth_type = 3;
  info.init = 0x1B;
  info.user = "alice";
  info.secret1 = "s3cret";
  info.secret2 = "1234";
  return info;
}

TEST(ConnInfoCodec, EncodesAndDecodesTheFixedImage) {
  uint8_t out[conn_info::kWireSize];
  std::memset(out, 0xCC, sizeof out);
  ASSERT_TRUE(EncodeConnInfo(SampleRecord(), out));
  EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof out), ConnInfoImage());

  const auto image = ConnInfoImage();
  conn_info back;
  ASSERT_TRUE(DecodeConnInfo(image.data(), image.size(), back));
  EXPECT_EQ(back.host, "gw.example.com");
  EXPECT_EQ(back.port, 443u);
  EXPECT_EQ(back.auth_type, 3u);
  EXPECT_EQ(back.init, 0x1Bu);
  EXPECT_EQ(back.user, "alice");
  EXPECT_EQ(back.secret1, "s3cret");
  EXPECT_EQ(back.secret2, "1234");
}

TEST(ConnInfoCodec, RefusesShortAndUnterminatedRecords) {
  struct Case {
    const char* name;
    size_t length;
    size_t fillFrom, fillTo;  // bytes set to 'x' (no terminator in that field)
  };
  const Case cases[] = {
      {"short by one", 587, 0, 0},
      {"empty", 0, 0, 0},
      {"host fills its field", 588, 0, 256},
      {"user fills its field", 588, 268, 332},
      {"password fills its field", 588, 332, 460},
      {"pin fills its field", 588, 460, 588},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = ConnInfoImage();
    for (size_t i = c.fillFrom; i < c.fillTo; ++i) image[i] = 'x';
    conn_info out;
    out.host = "untouched";
    EXPECT_FALSE(DecodeConnInfo(image.data(), c.length, out));
    EXPECT_EQ(out.host, "untouched");
  }
  // A longer message is fine: the record is its first 588 bytes.
  auto image = ConnInfoImage();
  image.resize(4095, 'z');
  conn_info out;
  EXPECT_TRUE(DecodeConnInfo(image.data(), image.size(), out));
  // Text that does not fit its field is refused when encoding.
  conn_info tooLong = SampleRecord();
  tooLong.user.assign(64, 'u');
  uint8_t buf[conn_info::kWireSize];
  EXPECT_FALSE(EncodeConnInfo(tooLong, buf));
  tooLong.user.assign(63, 'u');
  EXPECT_TRUE(EncodeConnInfo(tooLong, buf));
}

TEST(ConnInfoCodec, ChangePasswordRecord) {
  change_pwd_info info{"bob", "old-pw", "new-pw"};
  uint8_t out[change_pwd_info::kWireSize];
  ASSERT_TRUE(EncodeChangePwdInfo(info, out));
  std::vector<uint8_t> expected(320, 0);
  std::memcpy(&expected[0], "bob", 3);
  std::memcpy(&expected[64], "old-pw", 6);
  std::memcpy(&expected[192], "new-pw", 6);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 320), expected);

  change_pwd_info back;
  ASSERT_TRUE(DecodeChangePwdInfo(expected.data(), 320, back));
  EXPECT_EQ(back.new_password, "new-pw");
  EXPECT_FALSE(DecodeChangePwdInfo(expected.data(), 319, back));
  std::memset(&expected[192], 'n', 128);
  EXPECT_FALSE(DecodeChangePwdInfo(expected.data(), 320, back));
}

}  // namespace
