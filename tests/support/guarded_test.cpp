#include "support/guarded.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <string>

#include "common/temp_root.h"

namespace {

const std::string kGrin = "\xF0\x9F\x98\x80";  // two UTF-16 units, four bytes
const std::string kE = "\xC3\xA9";             // one UTF-16 unit, two bytes

struct CopyCase {
  const char* name;
  int (*fn)(std::string&, size_t, std::string_view);
  std::string src;
  size_t size;
  int expected;
};

class GuardedCopyTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(GuardedCopyTest, FitsOrFailsEmpty) {
  const CopyCase& c = GetParam();
  std::string dst = "stale";
  EXPECT_EQ(c.fn(dst, c.size, c.src), c.expected);
  EXPECT_EQ(dst, c.expected == 0 ? c.src : std::string());
}

INSTANTIATE_TEST_SUITE_P(
    Table, GuardedCopyTest,
    ::testing::Values(
        CopyCase{"StrFits", GuardedStrCpy, "abc", 4, 0},
        CopyCase{"StrNoRoomForTerminator", GuardedStrCpy, "abc", 3, -1},
        CopyCase{"StrCountsBytes", GuardedStrCpy, kE, 2, -1},
        CopyCase{"StrZeroSize", GuardedStrCpy, "", 0, -1},
        CopyCase{"WcsCountsUnits", GuardedWcsCpy, kE + kE, 3, 0},
        CopyCase{"WcsPairIsTwoUnits", GuardedWcsCpy, "a" + kGrin, 3, -1},
        CopyCase{"WcsPairFits", GuardedWcsCpy, "a" + kGrin, 4, 0},
        CopyCase{"Wcs2", GuardedWcsCpy2, "abc", 3, -1},
        CopyCase{"WcsAlt", GuardedWcsCpyAlt, "abc", 4, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GuardedTest, AppendRespectsTheWholeLength) {
  std::string dst = "ab";
  EXPECT_EQ(GuardedStrCat(dst, 5, "cd"), 0);
  EXPECT_EQ(dst, "abcd");
  EXPECT_EQ(GuardedStrCat(dst, 5, "e"), -1);
  EXPECT_EQ(dst, "");

  dst = kE;
  EXPECT_EQ(GuardedWcsCat(dst, 4, kGrin), 0);  // 1 + 2 units + terminator
  EXPECT_EQ(dst, kE + kGrin);
  EXPECT_EQ(GuardedWcsCat(dst, 4, "x"), -1);
  EXPECT_EQ(dst, "");
}

TEST(GuardedTest, CountedCopyNeverSplitsAPair) {
  std::string dst;
  EXPECT_EQ(GuardedWcsNCpy(dst, 10, "a" + kGrin + "b", 2), 0);
  EXPECT_EQ(dst, "a");  // two units would end inside the pair
  EXPECT_EQ(GuardedWcsNCpy(dst, 10, "a" + kGrin + "b", 3), 0);
  EXPECT_EQ(dst, "a" + kGrin);
  EXPECT_EQ(GuardedWcsNCpy(dst, 3, "abcdef", 3), -1);
  EXPECT_EQ(dst, "");
  EXPECT_EQ(GuardedWcsNCpy(dst, 4, "abcdef", 3), 0);
  EXPECT_EQ(dst, "abc");
}

TEST(GuardedTest, NumbersToText) {
  struct Case {
    int value;
    int radix;
    size_t size;
    int result;
    std::string text;
  };
  const Case cases[] = {
      {255, 16, 3, 0, "ff"},          {255, 16, 2, -1, ""},
      {-42, 10, 4, 0, "-42"},         {-42, 10, 3, -1, ""},
      {-1, 16, 9, 0, "ffffffff"},     {INT_MIN, 10, 12, 0, "-2147483648"},
      {5, 2, 4, 0, "101"},            {0, 10, 2, 0, "0"},
      {10, 1, 10, -1, ""},            {10, 37, 10, -1, ""},
  };
  for (const Case& c : cases) {
    std::string buf = "stale";
    EXPECT_EQ(GuardedItoA(c.value, buf, c.size, c.radix), c.result) << c.value << "/" << c.radix;
    EXPECT_EQ(buf, c.text);
    EXPECT_EQ(GuardedItoW(c.value, buf, c.size, c.radix), c.result);
  }
}

TEST(GuardedTest, FormatCutsBetweenCharactersAndSaysSo) {
  std::string buf;
  EXPECT_EQ(GuardedVsnwprintf(buf, 16, 15, "%s=%d", "n", 42), 0);
  EXPECT_EQ(buf, "n=42");
  EXPECT_EQ(GuardedVsnwprintf(buf, 16, 2, "%s%s", "a", kGrin), -1);
  EXPECT_EQ(buf, "a");
  EXPECT_EQ(GuardedVsnwprintf(buf, 4, 100, "%s", "abcdef"), -1);
  EXPECT_EQ(buf, "abc");
  EXPECT_EQ(GuardedVsnwprintf(buf, 16, 15, "%d", "not a number"), -1);
  EXPECT_EQ(buf, "");
}

TEST(GuardedTest, OpenAndTime) {
  vqtest::TempRoot root;
  UniqueFile file;
  EXPECT_EQ(GuardedFOpen(file, root.At("/missing/file"), "rb"), -1);
  EXPECT_FALSE(file);
  EXPECT_EQ(GuardedWFOpen(file, root.At("/file"), "wb"), 0);
  EXPECT_TRUE(file);

  platform::UniqueFd fd;
  EXPECT_EQ(GuardedSOpen(fd, root.At("/file"), O_RDONLY, 0, 0), 0);
  EXPECT_TRUE(fd.valid());
  EXPECT_EQ(GuardedSOpen(fd, root.At("/missing"), O_RDONLY, 0, 0), -1);
  EXPECT_FALSE(fd.valid());

  std::tm out{};
  const std::time_t now = 86400;
  EXPECT_EQ(GuardedLocalTime(&out, &now), 0);
  EXPECT_EQ(GuardedLocalTime(nullptr, &now), -1);
  EXPECT_EQ(GuardedLocalTime(&out, nullptr), -1);
}

}  // namespace
