// Profile files: lookups the way the Windows profile functions answer them,
// the two text encodings, and the cuts at the caller's buffer size.
#include "support/profile_ini.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/temp_root.h"

using support::ProfileFile;

namespace {

// ASCII as UTF-16LE with the byte-order mark, spelled out apart from the
// code under test.
std::string Utf16LeFile(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

const char kSample[] =
    "; scanners\r\n"
    "orphan=before any section\r\n"
    "[Scanner One]\r\n"
    "NAME_LIST = one.exe,two.exe  \r\n"
    "Other=x\r\n"
    "  [ second ]  \r\n"
    "name_list=\"quoted.exe\"\r\n"
    "Empty=\r\n"
    "no equals sign\r\n"
    "[scanner one]\r\n"
    "NAME_LIST=shadowed.exe\r\n"
    "Extra=only here\r\n";

struct LookupCase {
  const char* section;
  const char* key;
  const char* expected;
};

TEST(ProfileIniTest, LookupsIgnoreCaseTrimAndTakeTheFirstSection) {
  const std::vector<LookupCase> cases = {
      {"Scanner One", "NAME_LIST", "one.exe,two.exe"},
      {"SCANNER ONE", "name_list", "one.exe,two.exe"},
      {"second", "NAME_LIST", "quoted.exe"},
      {"second", "Empty", ""},
      {"second", "no equals sign", "(default)"},
      {"Scanner One", "Extra", "(default)"},  // only the first "scanner one" is searched
      {"missing", "NAME_LIST", "(default)"},
      {"", "orphan", "(default)"},
  };
  for (const std::string& bytes : {std::string(kSample), Utf16LeFile(kSample)}) {
    const ProfileFile file = ProfileFile::Parse(bytes);
    for (const auto& c : cases) {
      EXPECT_EQ(file.GetString(c.section, c.key, "(default)", 1024), c.expected) << c.section << " / " << c.key;
    }
    EXPECT_EQ(file.SectionNames(1024), (std::vector<std::string>{"Scanner One", "second", "scanner one"}));
  }
}

TEST(ProfileIniTest, QuotesGoOnlyWhenTheyEnclose) {
  const ProfileFile file = ProfileFile::Parse("[s]\na='x.exe'\nb=\"x.exe\nc=\"a\",\"b\"\nd=\"\n");
  EXPECT_EQ(file.GetString("s", "a", "", 1024), "x.exe");
  EXPECT_EQ(file.GetString("s", "b", "", 1024), "\"x.exe");
  EXPECT_EQ(file.GetString("s", "c", "", 1024), "a\",\"b");
  EXPECT_EQ(file.GetString("s", "d", "", 1024), "\"");
}

TEST(ProfileIniTest, EightBitTextIsTheAnsiCodePageAndAUtf8MarkIsSkipped) {
  // UTF-8 is the default ANSI code page.
  const ProfileFile plain = ProfileFile::Parse("[Sch\xC3\xBCtzer]\nNAME_LIST=w\xC3\xA4" "chter.exe\n");
  EXPECT_EQ(plain.GetString("SCH\xC3\x9CTZER", "NAME_LIST", "", 1024), "w\xC3\xA4" "chter.exe");
  const ProfileFile marked = ProfileFile::Parse("\xEF\xBB\xBF[first]\nNAME_LIST=a.exe\n");
  EXPECT_EQ(marked.SectionNames(1024), std::vector<std::string>{"first"});
}

TEST(ProfileIniTest, ValueIsCutToTheBufferWithoutSplittingACharacter) {
  const std::string longValue(1030, 'v');
  const ProfileFile file = ProfileFile::Parse("[s]\nk=" + longValue + "\n");
  EXPECT_EQ(file.GetString("s", "k", "", 1024), std::string(1023, 'v'));
  EXPECT_EQ(file.GetString("s", "k", "", 1), "");

  // A surrogate pair (U+1F600) straddling unit 1023 is left out whole.
  const ProfileFile pair = ProfileFile::Parse("[s]\nk=" + std::string(1022, 'v') + "\xF0\x9F\x98\x80x\n");
  EXPECT_EQ(pair.GetString("s", "k", "", 1024), std::string(1022, 'v'));
}

TEST(ProfileIniTest, SectionNamesAreCutAtTheBuffer) {
  // Each name takes its length plus a terminator; the list one more.
  const ProfileFile file = ProfileFile::Parse("[aaaa]\n[bbbb]\n[cccc]\n[dddd]\n");
  EXPECT_EQ(file.SectionNames(16), (std::vector<std::string>{"aaaa", "bbbb", "cccc"}));  // exactly fits
  EXPECT_EQ(file.SectionNames(15), (std::vector<std::string>{"aaaa", "bbbb", "ccc"}));
  EXPECT_EQ(file.SectionNames(12), (std::vector<std::string>{"aaaa", "bbbb"}));  // nothing left of "cccc"
  EXPECT_EQ(file.SectionNames(21), (std::vector<std::string>{"aaaa", "bbbb", "cccc", "dddd"}));
  EXPECT_TRUE(file.SectionNames(0).empty());
}

TEST(ProfileIniTest, MissingOrEmptyFileHasNoSections) {
  vqtest::TempRoot root;
  EXPECT_TRUE(ProfileFile::Load(root.At("/absent.ini")).SectionNames(1024).empty());
  vqtest::WriteFileBytes(root.At("/empty.ini"), "");
  EXPECT_TRUE(ProfileFile::Load(root.At("/empty.ini")).SectionNames(1024).empty());
  EXPECT_TRUE(ProfileFile::Load(root.path()).SectionNames(1024).empty());  // a folder

  vqtest::WriteFileBytes(root.At("/real.ini"), Utf16LeFile("[p]\r\nNAME_LIST=x.exe\r\n"));
  const ProfileFile file = ProfileFile::Load(root.At("/real.ini"));
  EXPECT_EQ(file.GetString("P", "NAME_LIST", "", 1024), "x.exe");
}

}  // namespace
