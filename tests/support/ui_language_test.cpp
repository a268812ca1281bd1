#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "support/ui_language.h"

namespace {

TEST(UiLanguageTest, LocaleTable) {
  const std::pair<const char*, uint16_t> cases[] = {
      {"zh_CN", 2052},       {"zh_CN.UTF-8", 2052}, {"zh_cn.utf8@pinyin", 2052}, {"zh_HK.UTF-8", 3076},
      {"zh_TW.Big5", 1028},  {"zh_SG", 1033},       {"zh", 1033},                {"en_US.UTF-8", 1033},
      {"de_DE", 1033},       {"C", 1033},           {"POSIX", 1033},             {"", 1033},
      {"zh_CNX", 1033},
  };
  for (const auto& [locale, language] : cases) EXPECT_EQ(LanguageIdForLocale(locale), language) << locale;
}

// Which variable wins, as the C library decides for messages.
TEST(UiLanguageTest, TakesTheFirstSetLocaleVariable) {
  const char* vars[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i)
    if (const char* v = std::getenv(vars[i])) saved[i] = v;

  ::setenv("LC_ALL", "", 1);
  ::setenv("LC_MESSAGES", "zh_HK.UTF-8", 1);
  ::setenv("LANG", "zh_CN.UTF-8", 1);
  EXPECT_EQ(GetUILanguage(), LANGID_CHINESE_HONG_KONG);
  ::setenv("LC_ALL", "zh_TW.UTF-8", 1);
  EXPECT_EQ(GetUILanguage(), LANGID_CHINESE_TAIWAN);
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  EXPECT_EQ(GetUILanguage(), LANGID_CHINESE_PRC);
  ::unsetenv("LANG");
  EXPECT_EQ(GetUILanguage(), LANGID_ENGLISH_US);

  for (int i = 0; i < 3; ++i) {
    if (saved[i]) ::setenv(vars[i], saved[i]->c_str(), 1);
    else ::unsetenv(vars[i]);
  }
}

}  // namespace
