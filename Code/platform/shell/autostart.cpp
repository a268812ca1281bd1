#include "platform/shell/autostart.h"

#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/fd_io.h"
#include "platform/paths/paths.h"
#include "platform/replacement_file.h"
#include "platform/win32/win32_error.h"

namespace platform::shell {
namespace {

constexpr std::string_view kGroup = "[Desktop Entry]";

bool IsFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool HasControlCharacter(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  return false;
}

// One argument of Exec: inside double quotes '"', '`', '$' and '\' take a
// backslash, and '%' (a field code's start) is doubled.
std::string QuoteExecArgument(std::string_view argument) {
  std::string out = "\"";
  for (const char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  out += '"';
  return out;
}

// A string value: its backslashes are escaped once more, after the quoting.
std::string EscapeValue(std::string_view value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Whether the text holds the [Desktop Entry] group, and it is not hidden.
bool IsShownEntry(std::string_view text) {
  bool seenGroup = false;
  bool inGroup = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inGroup = line == kGroup;
      seenGroup = seenGroup || inGroup;
      continue;
    }
    if (!inGroup) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (Trim(line.substr(0, eq)) == "Hidden" && Trim(line.substr(eq + 1)) == "true") return false;
  }
  return seenGroup;
}

}  // namespace

std::string AutoStartPath(const std::string& name) {
  if (!IsFileName(name)) return {};
  return paths::UserAppData() + "/autostart/" + name + ".desktop";
}

std::string AutoStartEntryText(const std::string& name, const std::string& programPath) {
  std::string text(kGroup);
  text += "\nType=Application\nName=" + EscapeValue(name) +
          "\nExec=" + EscapeValue(QuoteExecArgument(programPath)) + "\n";
  return text;
}

uint32_t SetAutoStart(const std::string& name, const std::string& programPath) {
  const std::string path = AutoStartPath(name);
  if (path.empty() || HasControlCharacter(name) || programPath.empty() || programPath.front() != '/' ||
      HasControlCharacter(programPath))
    return ERROR_INVALID_PARAMETER;
  const std::string folder = path.substr(0, path.rfind('/'));
  // The user's configuration is the user's alone.
  if (!paths::CreateDirectories(folder, 0700)) return LastWin32Error();
  ReplacementFile file;
  if (const uint32_t rc = file.Open(path); rc != ERROR_SUCCESS) return rc;
  if (const uint32_t rc = file.SetMode(0644); rc != ERROR_SUCCESS) return rc;
  if (const uint32_t rc = file.Write(AutoStartEntryText(name, programPath)); rc != ERROR_SUCCESS) return rc;
  return file.Commit();
}

uint32_t DeleteAutoStart(const std::string& name) {
  const std::string path = AutoStartPath(name);
  if (path.empty()) return ERROR_INVALID_PARAMETER;
  if (::unlink(path.c_str()) != 0) return LastWin32Error();
  return ERROR_SUCCESS;
}

bool HasAutoStart(const std::string& name) {
  const std::string path = AutoStartPath(name);
  if (path.empty()) return false;
  std::string text;
  if (ReadFileBytes(path, text) != 0) return false;
  return IsShownEntry(text);
}

}  // namespace platform::shell
