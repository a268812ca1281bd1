#include "support/utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct DecodeCase {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

class Utf8ToUtf16Test : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8ToUtf16Test, Decodes) {
  EXPECT_EQ(Utf8ToUtf16(GetParam().utf8), GetParam().utf16);
}

const std::u16string kBad(1, char16_t{0xFFFD});

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8ToUtf16Test,
    ::testing::Values(
        DecodeCase{"Empty", "", u""},
        DecodeCase{"Ascii", "abc", u"abc"},
        DecodeCase{"TwoBytes", "\xC3\xBC", std::u16string{0x00FC}},
        DecodeCase{"ThreeBytes", "\xE2\x82\xAC", std::u16string{0x20AC}},
        DecodeCase{"FourBytesMakeAPair", "\xF0\x9F\x98\x80", std::u16string{0xD83D, 0xDE00}},
        DecodeCase{"HighestCodePoint", "\xF4\x8F\xBF\xBF", std::u16string{0xDBFF, 0xDFFF}},
        DecodeCase{"LoneContinuation", "\x80", kBad},
        DecodeCase{"InvalidLead", "a\xFF" "b", u"a" + kBad + u"b"},
        DecodeCase{"OverlongTwoBytes", "\xC0\xAF", kBad + kBad},
        DecodeCase{"OverlongThreeBytes", "\xE0\x80\x80", kBad + kBad + kBad},
        DecodeCase{"EncodedSurrogate", "\xED\xA0\x80", kBad + kBad + kBad},
        DecodeCase{"AboveUnicode", "\xF4\x90\x80\x80", kBad + kBad + kBad + kBad},
        DecodeCase{"TruncatedAtEnd", "\xE2\x82", kBad},
        DecodeCase{"TruncatedBeforeAscii", "\xF0\x9F\x98" "A", kBad + u"A"}),
    [](const auto& info) { return std::string(info.param.name); });

struct EncodeCase {
  const char* name;
  std::u16string utf16;
  std::string utf8;
};

class Utf16ToUtf8Test : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(Utf16ToUtf8Test, Encodes) {
  EXPECT_EQ(Utf16ToUtf8(GetParam().utf16), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf16ToUtf8Test,
    ::testing::Values(
        EncodeCase{"Empty", u"", ""},
        EncodeCase{"Mixed", std::u16string{u'a', 0x00FC, 0x20AC, 0xD83D, 0xDE00},
                   "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"},
        EncodeCase{"LoneHigh", std::u16string{0xD83D, u'a'}, "\xEF\xBF\xBD" "a"},
        EncodeCase{"HighAtEnd", std::u16string{u'a', 0xD83D}, "a\xEF\xBF\xBD"},
        EncodeCase{"LoneLow", std::u16string{0xDE00}, "\xEF\xBF\xBD"},
        EncodeCase{"SwappedPair", std::u16string{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Utf16Test, ValidTextSurvivesTheRoundTrip) {
  const std::string text = "log \xC3\xBC \xE4\xB8\xAD \xF0\x9F\x98\x80 end";
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text);
}

struct CutCase {
  const char* name;
  std::u16string text;
  size_t maxUnits;
  size_t expected;
};

class Utf16CutLengthTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(Utf16CutLengthTest, NeverSplitsAPair) {
  EXPECT_EQ(Utf16CutLength(GetParam().text, GetParam().maxUnits), GetParam().expected);
}

const std::u16string kPair{0xD83D, 0xDE00};

INSTANTIATE_TEST_SUITE_P(
    Table, Utf16CutLengthTest,
    ::testing::Values(CutCase{"ShortText", u"abc", 5, 3}, CutCase{"ExactFit", u"abc", 3, 3},
                      CutCase{"PlainCut", u"abc", 2, 2}, CutCase{"Zero", u"abc", 0, 0},
                      CutCase{"BeforePair", u"a" + kPair, 1, 1},
                      CutCase{"InsidePair", u"a" + kPair, 2, 1},
                      CutCase{"AfterPair", u"a" + kPair + u"b", 3, 3},
                      CutCase{"OnlyHalfAPairFits", kPair, 1, 0},
                      CutCase{"LoneHighMayEnd", std::u16string{u'a', 0xD83D, u'b'}, 2, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Utf16Test, LeBytesPutTheLowByteFirst) {
  const std::u16string text{u'A', 0x20AC, 0xD83D, 0xDE00};
  EXPECT_EQ(Utf16LeBytes(text), std::string("A\0\xAC\x20\x3D\xD8\x00\xDE", 8));
  EXPECT_EQ(Utf16LeBytes(u""), "");
}

}  // namespace
