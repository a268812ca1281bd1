// Loading the settings file:
//   1. read and parse the file (a missing file is an empty one here)
//   2. put the registry's saved logins in front of its entries
//   3. when that added entries, save the file; once the file holds them (or
//      held them already), delete them from the registry
#include "support/config_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fd_io.h"
#include "platform/paths/paths.h"
#include "platform/replacement_file.h"
#include "platform/unique_fd.h"
#include "support/file_helpers.h"
#include "support/log.h"
#include "support/registry_logins.h"
#include "support/utf16.h"

namespace {

constexpr char kVendorFolder[] = "Tarnwickgate";
constexpr char kProductFolder[] = "Tarnwickgate Marrowlantern";

enum class ReadResult { Read, Missing, Failed };

// White space as the C library's iswspace sees it in the "C" locale.
bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

std::u16string_view Trim(std::u16string_view s, bool leading, bool trailing) {
  if (leading) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  }
  if (trailing) {
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  }
  return s;
}

void ParseLines(const std::string& fileName, std::u16string_view text, ConfigList& list) {
  int lineNumber = 0;
  while (!text.empty()) {
    const size_t end = text.find(u'\n');
    std::u16string_view line = text.substr(0, end);
    text = end == std::u16string_view::npos ? std::u16string_view() : text.substr(end + 1);
    ++lineNumber;

    line = Trim(line, true, true);
    if (line.empty() || line.front() == u'#' || line.front() == u';') continue;
    const size_t equals = line.find(u'=');
    if (equals == std::u16string_view::npos) {
      LogPrint(LOG_ERR, "%s(%d): No '=' found\n", fileName, lineNumber);
      continue;
    }
    const std::u16string_view key = Trim(line.substr(0, equals), false, true);
    const std::u16string_view value = Trim(line.substr(equals + 1), true, false);
    ConfigAppendEntry(list, Utf16ToUtf8(key), Utf16ToUtf8(value));
  }
}

ReadResult ReadFile(const std::string& path, std::string& bytes) {
  if (path.empty()) return ReadResult::Failed;
  const int err = platform::ReadFileBytes(path, bytes);
  if (err == 0) return ReadResult::Read;
  return err == ENOENT ? ReadResult::Missing : ReadResult::Failed;
}

}  // namespace

std::string ConfigFilePath(const std::string& fileName) {
  const std::string folder =
      platform::paths::UserAppData() + "/" + kVendorFolder + "/" + kProductFolder;
  if (CreateDirectoryRecursive(folder.c_str()) == 0) return {};
  return folder + "/" + fileName;
}

int LoadConfigFile(const std::string& fileName, ConfigList& list) {
  const std::string path = ConfigFilePath(fileName);
  std::string bytes;
  const ReadResult read = ReadFile(path, bytes);
  if (read == ReadResult::Read) ParseLines(fileName, Utf16FromLeBytes(bytes), list);

  const RegistryLoginImport imported = ImportRegistryLogins(list);
  if (imported.found) {
    // A file that exists but cannot be read must not be replaced by one
    // holding only the registry's logins.
    const bool fileHoldsThem =
        imported.added == 0 || (read != ReadResult::Failed && SaveConfigFile(fileName, list) == 0);
    if (!fileHoldsThem) {
      LogPrint(LOG_ERR, "Saved logins are kept in the registry until the configuration file can be written\n");
    } else if (DeleteRegistryLogins() != 0) {
      LogPrint(LOG_ERR, "Delete saved logins from the registry failed\n");
    }
  }

  if (read != ReadResult::Read) {
    LogPrint(LOG_ERR, "Open configuration file failed\n");
    return -1;
  }
  return 0;
}

int SaveConfigFile(const std::string& fileName, const ConfigList& list) {
  const std::string path = ConfigFilePath(fileName);
  platform::ReplacementFile file;
  if (path.empty() || file.Open(path) != 0) {
    LogPrint(LOG_ERR, "Open configuration file failed\n");
    return -1;
  }
  std::u16string text;
  for (const ConfigEntry& e : list.entries) text += Utf8ToUtf16(e.key) + u"=" + Utf8ToUtf16(e.value) + u"\r\n";
  if (file.Write(Utf16LeBytes(text)) != 0 || file.Commit() != 0) {
    LogPrint(LOG_ERR, "Write configuration file failed\n");
    return -1;
  }
  return 0;
}
