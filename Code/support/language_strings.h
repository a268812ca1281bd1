// The program's texts in one language, loaded as data (never code) from the
// program's own folder, whatever the current directory is.
//
// Layout: <program folder>/lang/<LANGID in decimal>/strings.txt, UTF-8, one
// text per line as "<id><TAB><text>" with a decimal id. In the text, "\n",
// "\t" and "\\" stand for a line break, a tab and a backslash. Empty lines
// and lines starting with '#' are skipped. Any other line, an id given
// twice or a file that is not UTF-8 makes the whole file unusable.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

class LanguageStrings {
 public:
  LanguageStrings(uint16_t language, std::map<uint32_t, std::string> texts)
      : language_(language), texts_(std::move(texts)) {}

  // The language of the file that was loaded (the primary language after a fallback).
  uint16_t language() const { return language_; }
  // The text, or nullptr when the table has none with that id.
  const std::string* Find(uint32_t id) const;
  size_t size() const { return texts_.size(); }

 private:
  uint16_t language_;
  std::map<uint32_t, std::string> texts_;
};

inline constexpr char kLanguageFolder[] = "lang";
inline constexpr char kLanguageFile[] = "strings.txt";

// The table of one file; nothing when it is missing or unusable.
std::optional<LanguageStrings> ReadLanguageFile(const std::string& path, uint16_t language);
// The same for a file's content (a table compiled into a program).
std::optional<LanguageStrings> ParseLanguageText(std::string_view content, uint16_t language);

// The table for language below programDir, else the one of its primary
// language (language & 0x3FF). Nothing, after "Load specific language DLL
// failed\n" (LOG_ERR), when neither loads.
std::optional<LanguageStrings> LoadLanguageStrings(const std::string& programDir, uint16_t language);

// The same below the running program's folder.
std::optional<LanguageStrings> LoadLanguageDll(uint16_t language);

// The folder that holds lang/ for the running program: its own folder in
// the build tree, its parent where installed (bin/PROGRAM beside lang/).
std::string LanguageBaseFolder();
