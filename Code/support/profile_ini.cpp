#include "support/profile_ini.h"

#include <fstream>
#include <iterator>

#include "platform/registry/name_fold.h"
#include "support/text_convert.h"
#include "support/utf16.h"

namespace support {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() == b.size() && a == b) return true;
  return platform::registry::detail::FoldName(a) == platform::registry::detail::FoldName(b);
}

std::string DecodeText(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    return Utf16ToUtf8(Utf16FromLeBytes(bytes.substr(2)));
  }
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return std::string(bytes.substr(3));
  return AnsiToUtf8(bytes);
}

}  // namespace

ProfileFile ProfileFile::Load(const std::string& path) {
  std::string bytes;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return {};
  } catch (const std::ios_base::failure&) {
    return {};  // a folder, or a read error part way
  }
  return Parse(bytes);
}

ProfileFile ProfileFile::Parse(std::string_view bytes) {
  const std::string text = DecodeText(bytes);
  ProfileFile file;
  Section* current = nullptr;  // keys before the first section are dropped
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      std::string_view name = line.substr(1);
      const size_t close = name.rfind(']');
      if (close != std::string_view::npos) name = name.substr(0, close);
      file.sections_.push_back(Section{std::string(Trim(name)), {}});
      current = &file.sections_.back();
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || !current) continue;
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    current->entries.push_back(Entry{std::string(Trim(line.substr(0, eq))), std::string(value)});
  }
  return file;
}

std::vector<std::string> ProfileFile::SectionNames(size_t bufferUnits) const {
  std::vector<std::string> names;
  if (bufferUnits < 2) return names;
  // Room left before the list's own terminator.
  size_t room = bufferUnits - 1;
  for (const Section& section : sections_) {
    if (section.name.empty()) continue;
    const size_t units = Utf16Length(section.name) + 1;
    if (units > room) {
      std::string cut = CutUtf8ToUnits(section.name, room > 0 ? room - 1 : 0);
      if (!cut.empty()) names.push_back(std::move(cut));
      break;
    }
    names.push_back(section.name);
    room -= units;
  }
  return names;
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                   size_t bufferUnits) const {
  if (bufferUnits == 0) return {};
  for (const Section& s : sections_) {
    if (!SameName(s.name, section)) continue;
    for (const Entry& e : s.entries) {
      if (SameName(e.key, key)) return CutUtf8ToUnits(e.value, bufferUnits - 1);
    }
    break;  // only the first section of that name is searched
  }
  return CutUtf8ToUnits(defaultValue, bufferUnits - 1);
}

}  // namespace support
