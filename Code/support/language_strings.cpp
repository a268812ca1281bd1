#include "support/language_strings.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/paths/paths.h"
#include "support/log.h"
#include "support/ui_language.h"
#include "support/utf16.h"

namespace {

// "\n", "\t", "\\"; false for any other escape or a trailing backslash.
bool Unescape(std::string_view in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out += in[i];
      continue;
    }
    if (++i == in.size()) return false;
    switch (in[i]) {
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      default: return false;
    }
  }
  return true;
}

bool ParseId(std::string_view text, uint32_t& id) {
  if (text.empty() || text.size() > 9) return false;
  id = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    id = id * 10 + static_cast<uint32_t>(c - '0');
  }
  return true;
}

std::string LanguageFilePath(const std::string& programDir, uint16_t language) {
  return programDir + "/" + kLanguageFolder + "/" + std::to_string(language) + "/" + kLanguageFile;
}

}  // namespace

const std::string* LanguageStrings::Find(uint32_t id) const {
  auto it = texts_.find(id);
  return it == texts_.end() ? nullptr : &it->second;
}

std::optional<LanguageStrings> ReadLanguageFile(const std::string& path, uint16_t language) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream whole;
  whole << in.rdbuf();
  return ParseLanguageText(whole.str(), language);
}

std::optional<LanguageStrings> ParseLanguageText(std::string_view content, uint16_t language) {
  bool invalid = false;
  Utf8ToUtf16(content, &invalid);
  if (invalid) return std::nullopt;

  std::map<uint32_t, std::string> texts;
  std::istringstream lines{std::string(content)};
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    uint32_t id = 0;
    std::string text;
    if (tab == std::string::npos || !ParseId(std::string_view(line).substr(0, tab), id) ||
        !Unescape(std::string_view(line).substr(tab + 1), text) || !texts.emplace(id, std::move(text)).second)
      return std::nullopt;
  }
  return LanguageStrings(language, std::move(texts));
}

std::optional<LanguageStrings> LoadLanguageStrings(const std::string& programDir, uint16_t language) {
  if (!programDir.empty()) {
    if (auto table = ReadLanguageFile(LanguageFilePath(programDir, language), language)) return table;
    const uint16_t primary = PrimaryLanguage(language);
    if (primary != language)
      if (auto table = ReadLanguageFile(LanguageFilePath(programDir, primary), primary)) return table;
  }
  LogPrint(LOG_ERR, "Load specific language DLL failed\n");
  return std::nullopt;
}

std::optional<LanguageStrings> LoadLanguageDll(uint16_t language) {
  return LoadLanguageStrings(platform::paths::ModuleDir(), language);
}

std::string LanguageBaseFolder() {
  const std::string own = platform::paths::ModuleDir();
  struct stat st{};
  if (::stat((own + "/" + kLanguageFolder).c_str(), &st) == 0) return own;
  const size_t slash = own.rfind('/');
  return slash == std::string::npos || slash == 0 ? own : own.substr(0, slash);
}
