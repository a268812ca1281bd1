#include "support/text_convert.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Sets the code pages for one test and puts the previous ones back.
class CodePageScope {
 public:
  CodePageScope(const char* ansi, const char* oem)
      : ansi_(CodePageName(CodePage::Ansi)), oem_(CodePageName(CodePage::Oem)) {
    EXPECT_TRUE(SetCodePage(CodePage::Ansi, ansi));
    EXPECT_TRUE(SetCodePage(CodePage::Oem, oem));
  }
  ~CodePageScope() {
    SetCodePage(CodePage::Ansi, ansi_);
    SetCodePage(CodePage::Oem, oem_);
  }

 private:
  std::string ansi_, oem_;
};

const std::string kGrin = "\xF0\x9F\x98\x80";  // U+1F600, a surrogate pair in UTF-16
const std::string kZhong = "\xE4\xB8\xAD";     // U+4E2D
const std::string kWen = "\xE6\x96\x87";       // U+6587

TEST(TextConvertTest, Utf8AndUtf16KeepSurrogatePairs) {
  ConvertReport report;
  const std::u16string wide = Utf8ToWide("a" + kGrin + "b", &report);
  EXPECT_EQ(wide, (std::u16string{u'a', 0xD83D, 0xDE00, u'b'}));
  EXPECT_EQ(WideToUtf8(wide, &report), "a" + kGrin + "b");
  EXPECT_TRUE(report.ok());
}

TEST(TextConvertTest, InvalidInputIsReplacedAndReported) {
  ConvertReport report;
  EXPECT_EQ(Utf8ToWide("a\xC3(b", &report), (std::u16string{u'a', 0xFFFD, u'(', u'b'}));
  EXPECT_TRUE(report.invalidInput);

  ConvertReport lone;
  EXPECT_EQ(WideToUtf8(std::u16string{u'x', 0xD800}, &lone), "x\xEF\xBF\xBD");
  EXPECT_TRUE(lone.invalidInput);
}

TEST(TextConvertTest, EmptyInputGivesAnEmptyResult) {
  CodePageScope pages("CP936", "CP1252");
  ConvertReport report;
  EXPECT_EQ(Utf8ToWide("", &report), u"");
  EXPECT_EQ(WideToUtf8(u"", &report), "");
  EXPECT_EQ(AnsiToWide("", &report), u"");
  EXPECT_EQ(Utf8ToAnsi("", &report), "");
  EXPECT_EQ(WideToOem(u"", &report), "");
  EXPECT_EQ(AnsiToWideBuffered("", &report), u"");
  EXPECT_TRUE(report.ok());
}

TEST(TextConvertTest, DefaultCodePagesAreUtf8) {
  // No test leaves other code pages behind, and the environment sets none.
  EXPECT_EQ(CodePageName(CodePage::Ansi), "UTF-8");
  EXPECT_EQ(CodePageName(CodePage::Oem), "UTF-8");
  EXPECT_EQ(Utf8ToAnsi("caf\xC3\xA9"), "caf\xC3\xA9");
}

TEST(TextConvertTest, CodePagesAreNamedByIconvNameOrWindowsNumber) {
  CodePageScope pages("UTF-8", "UTF-8");
  EXPECT_TRUE(SetCodePage(CodePage::Ansi, "936"));
  EXPECT_EQ(CodePageName(CodePage::Ansi), "CP936");
  EXPECT_TRUE(SetCodePage(CodePage::Ansi, "65001"));
  EXPECT_EQ(CodePageName(CodePage::Ansi), "UTF-8");
  EXPECT_FALSE(SetCodePage(CodePage::Ansi, "no-such-page"));
  EXPECT_FALSE(SetCodePage(CodePage::Ansi, ""));
  EXPECT_EQ(CodePageName(CodePage::Ansi), "UTF-8");
}

TEST(TextConvertTest, Cp1252IsLossyForCharactersItLacks) {
  CodePageScope pages("CP1252", "CP1252");
  ConvertReport exact;
  EXPECT_EQ(Utf8ToAnsi("caf\xC3\xA9 \xE2\x82\xAC", &exact), "caf\xE9 \x80");
  EXPECT_TRUE(exact.ok());
  EXPECT_EQ(AnsiToUtf8("caf\xE9 \x80", &exact), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_TRUE(exact.ok());

  ConvertReport lossy;
  EXPECT_EQ(Utf8ToAnsi("a" + kZhong + kGrin + "b", &lossy), "a??b");
  EXPECT_TRUE(lossy.lossy);
  EXPECT_FALSE(lossy.invalidInput);

  ConvertReport undefined;  // 0x81 has no character in CP1252
  EXPECT_EQ(AnsiToWide("a\x81" "b", &undefined), (std::u16string{u'a', 0xFFFD, u'b'}));
  EXPECT_TRUE(undefined.invalidInput);

  ConvertReport lone;
  EXPECT_EQ(WideToAnsi(std::u16string{u'a', 0xDC00, u'b'}, &lone), "a?b");
  EXPECT_TRUE(lone.invalidInput);
}

TEST(TextConvertTest, Cp936RoundTrips) {
  CodePageScope pages("CP936", "CP936");
  const std::string utf8 = kZhong + kWen + " abc";
  const std::string gbk = "\xD6\xD0\xCE\xC4 abc";
  ConvertReport report;
  EXPECT_EQ(Utf8ToAnsi(utf8, &report), gbk);
  EXPECT_EQ(AnsiToUtf8(gbk, &report), utf8);
  EXPECT_EQ(Utf8ToOem(utf8, &report), gbk);
  EXPECT_EQ(OemToUtf8(gbk, &report), utf8);
  EXPECT_EQ(WideToUtf8(OemToWide(gbk, &report)), utf8);
  EXPECT_TRUE(report.ok());

  ConvertReport cut;  // a lead byte without its trail byte
  EXPECT_EQ(AnsiToWide("a\xD6", &cut), (std::u16string{u'a', 0xFFFD}));
  EXPECT_TRUE(cut.invalidInput);
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// The fixed-size conversions stop at their limit between characters.
TEST(TextConvertTest, FixedSizeConversionsCutOnlyBetweenCharacters) {
  {
    CodePageScope pages("CP936", "CP936");
    ConvertReport report;
    // 2-byte characters: 1023 bytes hold 511 of them (1022 bytes), not half of the 512th.
    EXPECT_EQ(WideToOem(Utf8ToWide(Repeat(kZhong, 600)), &report), Repeat("\xD6\xD0", 511));
    EXPECT_TRUE(report.truncated);
    ConvertReport exact;
    EXPECT_EQ(WideToOem(Utf8ToWide("a" + Repeat(kZhong, 511)), &exact).size(), 1023u);
    EXPECT_FALSE(exact.truncated);
  }
  {
    CodePageScope pages("UTF-8", "UTF-8");
    ConvertReport report;
    EXPECT_EQ(WideToOem(Utf8ToWide("a" + Repeat(kZhong, 400)), &report), "a" + Repeat(kZhong, 340));
    EXPECT_TRUE(report.truncated);

    ConvertReport pairs;  // 1023 units hold 511 pairs, not the first half of the 512th
    EXPECT_EQ(AnsiToWideBuffered(Repeat(kGrin, 600), &pairs), Utf8ToWide(Repeat(kGrin, 511)));
    EXPECT_TRUE(pairs.truncated);
  }
  {
    CodePageScope pages("CP936", "CP936");
    ConvertReport report;
    const std::u16string wide = AnsiToWideBuffered(Repeat("\xD6\xD0", 1100), &report);
    EXPECT_EQ(wide.size(), 1023u);
    EXPECT_TRUE(report.truncated);
  }
}

}  // namespace
