#include "support/secret_protection.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/temp_root.h"
#include "support/text_convert.h"

namespace {

class SecretProtectionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetCodePage(CodePage::Oem, "UTF-8");
    SetCodePage(CodePage::Ansi, "UTF-8");
  }

  vqtest::TempRoot root_;
};

TEST_F(SecretProtectionTest, RoundTripOfEveryKindOfCharacter) {
  // The OEM code page plays no part: a CP936 system keeps the emoji too.
  ASSERT_TRUE(SetCodePage(CodePage::Oem, "CP936"));
  const std::string secrets[] = {"p@ssw0rd", "\xe5\xaf\x86\xe7\xa0\x81\xe4\xb8\x80\xe4\xba\x8c",
                                 "\xf0\x9f\x94\x91\xf0\x9f\x98\x80 pin", "caf\xc3\xa9", std::string(600, 'k')};
  for (const std::string& secret : secrets) {
    std::string text;
    ASSERT_TRUE(ProtectPassword(secret, text)) << secret;
    std::string back;
    ASSERT_TRUE(UnprotectPassword(text, back)) << secret;
    EXPECT_EQ(back, secret);
  }
}

TEST_F(SecretProtectionTest, TextIsBase64InLinesOf76) {
  std::string text;
  ASSERT_TRUE(ProtectPassword(std::string(300, 'a'), text));
  size_t start = 0;
  size_t lines = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2, ++lines) {
    EXPECT_EQ(end - start, 76u);
  }
  EXPECT_GE(lines, 4u);
  EXPECT_LE(text.size() - start, 76u);
  EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\r\n"),
            std::string::npos);
}

TEST_F(SecretProtectionTest, LimitsOfSecretAndText) {
  std::string text = "untouched";
  // 1024 bytes is over the secret's limit; 720 bytes seal to more than
  // 1023 characters of text.
  EXPECT_FALSE(ProtectPassword(std::string(1024, 's'), text));
  EXPECT_FALSE(ProtectPassword(std::string(720, 's'), text));
  EXPECT_EQ(text, "untouched");
  std::string back = "untouched";
  EXPECT_FALSE(UnprotectPassword(std::string(1024, 'A'), back));
  EXPECT_EQ(back, "untouched");
}

TEST_F(SecretProtectionTest, ChangedTextOrAnotherUserFails) {
  std::string text;
  ASSERT_TRUE(ProtectPassword("the secret", text));
  std::string back = "untouched";
  // One character in the middle changed (a last character before the
  // padding may carry only bits that decoding drops).
  std::string changed = text;
  changed[20] = changed[20] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(UnprotectPassword(changed, back));
  EXPECT_FALSE(UnprotectPassword("", back));
  EXPECT_FALSE(UnprotectPassword("not base64 at all!", back));
  EXPECT_EQ(back, "untouched");

  ::setenv("XDG_CONFIG_HOME", root_.At("/other/.config").c_str(), 1);
  EXPECT_FALSE(UnprotectPassword(text, back));
  EXPECT_EQ(back, "untouched");
}

TEST_F(SecretProtectionTest, IfSetFormsSkipEmptyAndMissing) {
  std::string out = "untouched";
  const std::string empty;
  EXPECT_FALSE(ProtectPasswordIfSet(&empty, &out));
  EXPECT_FALSE(ProtectPasswordIfSet(nullptr, &out));
  EXPECT_FALSE(UnprotectPasswordIfSet(&empty, &out));
  EXPECT_EQ(out, "untouched");
  const std::string plain = "pin 1234";
  EXPECT_FALSE(ProtectPasswordIfSet(&plain, nullptr));

  std::string text;
  ASSERT_TRUE(ProtectPasswordIfSet(&plain, &text));
  std::string back;
  ASSERT_TRUE(UnprotectPasswordIfSet(&text, &back));
  EXPECT_EQ(back, plain);
}

}  // namespace
