#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "common/temp_root.h"
#include "platform/paths/paths.h"
#include "support/language_strings.h"

namespace {

class LanguageStringsTest : public ::testing::Test {
 protected:
  void Write(const std::string& dir, int language, const std::string& content) {
    const std::string folder = dir + "/lang/" + std::to_string(language);
    std::filesystem::create_directories(folder);
    vqtest::WriteFileBytes(folder + "/strings.txt", content);
  }

  vqtest::TempRoot root_;
  std::string program_ = root_.At("/opt/program");
};

TEST_F(LanguageStringsTest, FallsBackToThePrimaryLanguage) {
  struct Case {
    const char* what;
    bool full;
    bool primary;
    int expected;  // the language loaded, 0 for none
  };
  const Case cases[] = {
      {"2052 present", true, true, 2052},
      {"only its primary present", false, true, 4},
      {"neither", false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(program_);
    if (c.full) Write(program_, 2052, "1\tfull\n");
    if (c.primary) Write(program_, 4, "1\tprimary\n");
    const auto table = LoadLanguageStrings(program_, 2052);
    if (c.expected == 0) {
      EXPECT_FALSE(table.has_value());
      continue;
    }
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(table->language(), c.expected);
    ASSERT_NE(table->Find(1), nullptr);
    EXPECT_EQ(*table->Find(1), c.expected == 2052 ? "full" : "primary");
  }
}

TEST_F(LanguageStringsTest, ReadsTheFormat) {
  Write(program_, 1033,
        "# texts of the client\r\n"
        "\n"
        "94\tInvalid IP address or server name\r\n"
        "7\tline one\\nline two\\tand a \\\\ backslash\n"
        "8\t\n"
        "9\t连接\tmit Tab\n");
  const auto table = LoadLanguageStrings(program_, 1033);
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->size(), 4u);
  EXPECT_EQ(*table->Find(94), "Invalid IP address or server name");
  EXPECT_EQ(*table->Find(7), "line one\nline two\tand a \\ backslash");
  EXPECT_EQ(*table->Find(8), "");
  EXPECT_EQ(*table->Find(9), "连接\tmit Tab");
  EXPECT_EQ(table->Find(95), nullptr);
}

// A damaged file is not half-used: the fallback takes over.
TEST_F(LanguageStringsTest, ADamagedFileIsNotUsed) {
  Write(program_, 4, "1\tprimary\n");
  for (const char* content : {"1 no tab\n", "x\ttext\n", "-1\ttext\n", "1\ta\n1\tb\n", "1\tbad \\q escape\n",
                              "1\ttrailing \\\n", "1\t\xC3\x28\n"}) {
    SCOPED_TRACE(content);
    Write(program_, 2052, content);
    const auto table = LoadLanguageStrings(program_, 2052);
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(table->language(), 4);
  }
}

// The texts come from the program's folder; a table in the current
// directory is never picked up.
TEST_F(LanguageStringsTest, IndependentOfTheCurrentDirectory) {
  Write(program_, 2052, "1\tprogram\n");
  const std::string elsewhere = root_.At("/cwd");
  Write(elsewhere, 2052, "1\tcurrent directory\n");
  Write(elsewhere, 1033, "1\tcurrent directory\n");
  const std::string oldCwd = std::filesystem::current_path();
  ASSERT_EQ(::chdir(elsewhere.c_str()), 0);

  const auto table = LoadLanguageStrings(program_, 2052);
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(*table->Find(1), "program");
  EXPECT_FALSE(LoadLanguageStrings(program_, 1033).has_value());
  EXPECT_FALSE(LoadLanguageStrings("", 2052).has_value());
  // The test program's folder has no tables.
  ASSERT_FALSE(std::filesystem::exists(platform::paths::ModuleDir() + "/lang"));
  EXPECT_FALSE(LoadLanguageDll(2052).has_value());

  ASSERT_EQ(::chdir(oldCwd.c_str()), 0);
}

}  // namespace
