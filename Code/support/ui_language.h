// The user-interface language as a Windows language identifier (LANGID),
// taken from the user's locale.
#pragma once

#include <cstdint>
#include <string_view>

inline constexpr uint16_t LANGID_ENGLISH_US = 1033;
inline constexpr uint16_t LANGID_CHINESE_TAIWAN = 1028;
inline constexpr uint16_t LANGID_CHINESE_PRC = 2052;
inline constexpr uint16_t LANGID_CHINESE_HONG_KONG = 3076;

// The primary language of an identifier: its low 10 bits.
constexpr uint16_t PrimaryLanguage(uint16_t language) { return language & 0x3FF; }

// zh_CN -> 2052, zh_HK -> 3076, zh_TW -> 1028, anything else -> 1033. The
// codeset and modifier ("zh_CN.UTF-8@pinyin") do not matter, nor case.
uint16_t LanguageIdForLocale(std::string_view locale);

// The locale of messages as the C library chooses it: LC_ALL, else
// LC_MESSAGES, else LANG (the first that is set and not empty).
uint16_t GetUILanguage();
