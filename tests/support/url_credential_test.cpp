#include "support/url_credential.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Repeat(const std::string& unit, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += unit;
  return s;
}

TEST(UrlCredentialTest, KnownForm) {
  // printf alice | iconv -t UTF-16LE | base64 -w0, then '=' written %3D.
  EXPECT_EQ(EncodeUrlCredential("alice"), "YQBsAGkAYwBlAA%3D%3D");
  EXPECT_EQ(DecodeUrlCredential("YQBsAGkAYwBlAA%3D%3D"), "alice");
  // Lower-case escapes and a bare padding decode the same.
  EXPECT_EQ(DecodeUrlCredential("YQBsAGkAYwBlAA%3d%3d"), "alice");
  EXPECT_EQ(DecodeUrlCredential("YQBsAGkAYwBlAA=="), "alice");
  // Three letters: six bytes, eight characters.
  EXPECT_EQ(EncodeUrlCredential("bob"), "YgBvAGIA");
}

TEST(UrlCredentialTest, TextsComeBackIntactAndTheUrlStaysWhole) {
  const std::string cases[] = {
      "alice",
      "p?ss/+=:@",
      "a&b=c+d%\xC3\xA9",
      "\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x94\x91",  // CJK and a character of two units
      Repeat("x", 63),
      Repeat("\xC3\xA9", 127),
      Repeat("y", 128),
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    const std::string written = EncodeUrlCredential(text);
    EXPECT_EQ(written.find_first_of("+/=:@\r\n"), std::string::npos) << written;
    EXPECT_EQ(DecodeUrlCredential(written), text);
  }
}

TEST(UrlCredentialTest, WhatIsNotUtf16OfAtMost256BytesDoesNotDecode) {
  const std::string cases[] = {
      EncodeUrlCredential(Repeat("y", 129)),  // 258 bytes
      "YWJj",                                 // "abc": three bytes
      "YQBsAGkAYwBlAA%3",                     // cut escape
      "YQBsAGkAYwBlAA%zz",                    // not hex
      "NNg%3D",                               // U+D834 alone: half a pair
      "AAA%3D",                               // a NUL unit
  };
  for (const std::string& written : cases) {
    SCOPED_TRACE(written);
    EXPECT_FALSE(DecodeUrlCredential(written));
  }
  EXPECT_EQ(DecodeUrlCredential(""), "");
}

}  // namespace
