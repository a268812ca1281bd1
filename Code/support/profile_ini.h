// Profile (INI) files read the way the Windows profile functions read them:
// section and key names match without regard to case, names and values are
// trimmed of blanks, a value quoted as a whole loses its quotes, and every
// answer is cut to the caller's buffer, counted in UTF-16 units with its
// terminator. A file that starts with FF FE is UTF-16LE; any other file is
// 8-bit text in the ANSI code page (a UTF-8 byte-order mark is skipped).
//
// Lines: "[section]", "key=value", comments starting with ";"; other lines
// are ignored. Keys before the first section belong to no section.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace support {

class ProfileFile {
 public:
  // A file that is missing or cannot be read (a folder, say) has no sections.
  static ProfileFile Load(const std::string& path);
  // The text of a file, as Load decodes it.
  static ProfileFile Parse(std::string_view bytes);

  // The non-empty section names in file order (repeated names repeat), as
  // they fit a buffer of bufferUnits units that also holds a terminator
  // after each name and one after the list: the name that no longer fits is
  // cut, and the names after it are left out.
  std::vector<std::string> SectionNames(size_t bufferUnits) const;

  // The value of key in the first section named section, else defaultValue;
  // cut to bufferUnits - 1 units.
  std::string GetString(std::string_view section, std::string_view key, std::string_view defaultValue,
                        size_t bufferUnits) const;

 private:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  std::vector<Section> sections_;
};

}  // namespace support
