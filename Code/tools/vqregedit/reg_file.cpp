#include "tools/vqregedit/reg_file.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include <fmt/format.h>

#include "platform/win32/win32_error.h"
#include "support/guarded.h"
#include "support/registry_value.h"
#include "support/text_convert.h"
#include "support/utf16.h"

namespace regfile {
namespace reg = platform::registry;
namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr size_t kHexLineWidth = 76;

struct Op {
  enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
  int line = 0;
  reg::RootKey root = reg::HKEY_LOCAL_MACHINE;
  std::string subkey;
  std::string name;
  uint32_t type = reg::REG_NONE;
  std::vector<uint8_t> data;
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && ::strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

const char* RootName(reg::RootKey root) {
  switch (root) {
    case reg::RootKey::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case reg::RootKey::CurrentUser: return "HKEY_CURRENT_USER";
    case reg::RootKey::LocalMachine: break;
  }
  return "HKEY_LOCAL_MACHINE";
}

// The file as UTF-8 text; ansi tells whether it was in the ANSI code page.
std::string DecodeFile(std::string_view bytes, bool& ansi) {
  ansi = false;
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE')
    return WideToUtf8(Utf16FromLeBytes(bytes.substr(2)));
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") return std::string(bytes.substr(3));
  ansi = true;
  return AnsiToUtf8(bytes);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// A quoted string at s[pos] ('"'); pos ends after the closing quote.
bool ParseQuoted(std::string_view s, size_t& pos, std::string& out) {
  out.clear();
  if (pos >= s.size() || s[pos] != '"') return false;
  for (size_t i = pos + 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      pos = i + 1;
      return true;
    }
    if (c == '\\' && i + 1 < s.size()) {
      const char next = s[i + 1];
      if (next == '\\' || next == '"') {
        out.push_back(next);
        ++i;
        continue;
      }
    }
    out.push_back(c);
  }
  return false;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool ParseHexNumber(std::string_view s, uint32_t& value) {
  if (s.empty() || s.size() > 8) return false;
  value = 0;
  for (const char c : s) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    value = (value << 4) | static_cast<uint32_t>(d);
  }
  return true;
}

bool ParseHexBytes(std::string_view list, std::vector<uint8_t>& out) {
  out.clear();
  list = Trim(list);
  if (list.empty()) return true;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string_view::npos) end = list.size();
    const std::string_view token = Trim(list.substr(start, end - start));
    if (token.empty()) {
      if (end == list.size()) break;  // a trailing comma
      return false;
    }
    uint32_t byte = 0;
    if (token.size() > 2 || !ParseHexNumber(token, byte)) return false;
    out.push_back(static_cast<uint8_t>(byte));
    start = end + 1;
  }
  return true;
}

// REGEDIT4 keeps hex(2) and hex(7) strings in the ANSI code page: each
// NUL-separated piece converts on its own, NULs stay NULs.
std::vector<uint8_t> AnsiStringsToUtf16(const std::vector<uint8_t>& bytes) {
  std::u16string units;
  std::string piece;
  for (const uint8_t b : bytes) {
    if (b == 0) {
      units += AnsiToWide(piece);
      units.push_back(u'\0');
      piece.clear();
    } else {
      piece.push_back(static_cast<char>(b));
    }
  }
  units += AnsiToWide(piece);
  const std::string le = Utf16LeBytes(units);
  return std::vector<uint8_t>(le.begin(), le.end());
}

std::vector<uint8_t> Utf16StringsToAnsi(const std::vector<uint8_t>& data) {
  const std::u16string units =
      Utf16FromLeBytes(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  std::vector<uint8_t> out;
  std::u16string piece;
  auto flush = [&] {
    const std::string narrow = WideToAnsi(piece);
    out.insert(out.end(), narrow.begin(), narrow.end());
    piece.clear();
  };
  for (const char16_t u : units) {
    if (u == 0) {
      flush();
      out.push_back(0);
    } else {
      piece.push_back(u);
    }
  }
  flush();
  return out;
}

class Parser {
 public:
  Parser(std::vector<std::string> lines, Format format)
      : lines_(std::move(lines)), format_(format) {}

  uint32_t Run(size_t first, std::vector<Op>& ops, std::string& message) {
    for (size_t i = first; i < lines_.size(); ++i) {
      const int lineNo = static_cast<int>(i) + 1;
      const std::string_view line = Trim(lines_[i]);
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        if (!ParseKeyLine(line, lineNo, ops)) return Fail(lineNo, message);
        continue;
      }
      if (!inKey_) {
        error_ = "a value outside a key";
        return Fail(lineNo, message);
      }
      if (!ParseValueLine(i, lineNo, ops)) return Fail(lineNo, message);
    }
    return platform::ERROR_SUCCESS;
  }

 private:
  uint32_t Fail(int lineNo, std::string& message) {
    message = fmt::format("line {}: {}", lineNo, error_);
    return platform::ERROR_INVALID_DATA;
  }

  bool ParseKeyLine(std::string_view line, int lineNo, std::vector<Op>& ops) {
    const size_t close = line.rfind(']');
    if (close == std::string_view::npos || !Trim(line.substr(close + 1)).empty()) {
      error_ = "a key name without its closing bracket";
      return false;
    }
    std::string_view name = line.substr(1, close - 1);
    Op op;
    op.line = lineNo;
    op.kind = Op::Kind::CreateKey;
    if (!name.empty() && name.front() == '-') {
      op.kind = Op::Kind::DeleteKey;
      name.remove_prefix(1);
    }
    if (!ParseKeyName(name, op.root, op.subkey)) {
      error_ = "an unknown root key";
      return false;
    }
    if (op.kind == Op::Kind::DeleteKey && op.subkey.empty()) {
      error_ = "a root key cannot be deleted";
      return false;
    }
    inKey_ = op.kind == Op::Kind::CreateKey;
    ops.push_back(std::move(op));
    return true;
  }

  // May consume continuation lines (advancing i).
  bool ParseValueLine(size_t& i, int lineNo, std::vector<Op>& ops) {
    const std::string_view line = Trim(lines_[i]);
    Op op;
    op.line = lineNo;
    size_t pos = 0;
    if (line.front() == '@') {
      pos = 1;
    } else if (!ParseQuoted(line, pos, op.name)) {
      error_ = "a value name must be quoted or @";
      return false;
    }
    std::string_view rest = Trim(line.substr(pos));
    if (rest.empty() || rest.front() != '=') {
      error_ = "'=' missing after the value name";
      return false;
    }
    rest = Trim(rest.substr(1));
    if (rest == "-") {
      op.kind = Op::Kind::DeleteValue;
      ops.push_back(std::move(op));
      return true;
    }
    op.kind = Op::Kind::SetValue;
    if (!rest.empty() && rest.front() == '"') {
      size_t end = 0;
      std::string text;
      if (!ParseQuoted(rest, end, text) || !Trim(rest.substr(end)).empty()) {
        error_ = "a string without its closing quote";
        return false;
      }
      op.type = reg::REG_SZ;
      op.data = RegSzBytes(text, true);
    } else if (StartsWithNoCase(rest, "dword:")) {
      uint32_t value = 0;
      if (!ParseHexNumber(Trim(rest.substr(6)), value)) {
        error_ = "a dword needs 1 to 8 hex digits";
        return false;
      }
      op.type = reg::REG_DWORD;
      op.data = RegDwordBytes(value);
    } else if (StartsWithNoCase(rest, "hex")) {
      if (!ParseHexValue(rest.substr(3), i, op)) return false;
    } else {
      error_ = "unknown value data";
      return false;
    }
    ops.push_back(std::move(op));
    return true;
  }

  // After "hex": ":" or "(type):", then the byte list, continued over lines
  // that end with a backslash.
  bool ParseHexValue(std::string_view rest, size_t& i, Op& op) {
    op.type = reg::REG_BINARY;
    if (!rest.empty() && rest.front() == '(') {
      const size_t close = rest.find(')');
      if (close == std::string_view::npos || !ParseHexNumber(rest.substr(1, close - 1), op.type)) {
        error_ = "a bad hex(type)";
        return false;
      }
      rest.remove_prefix(close + 1);
    }
    if (rest.empty() || rest.front() != ':') {
      error_ = "':' missing after hex";
      return false;
    }
    std::string list(Trim(rest.substr(1)));
    while (!list.empty() && list.back() == '\\') {
      list.pop_back();
      if (i + 1 >= lines_.size()) {
        error_ = "the file ends inside hex data";
        return false;
      }
      list += Trim(lines_[++i]);
    }
    if (!ParseHexBytes(list, op.data)) {
      error_ = "bad hex bytes";
      return false;
    }
    if (format_ == Format::Regedit4 && (op.type == reg::REG_EXPAND_SZ || op.type == reg::REG_MULTI_SZ))
      op.data = AnsiStringsToUtf16(op.data);
    return true;
  }

  std::vector<std::string> lines_;
  Format format_;
  bool inKey_ = false;
  std::string error_;
};

uint32_t Parse(std::string_view fileBytes, std::vector<Op>& ops, std::string& message) {
  bool ansi = false;
  const std::vector<std::string> lines = SplitLines(DecodeFile(fileBytes, ansi));
  size_t first = 0;
  while (first < lines.size() && Trim(lines[first]).empty()) ++first;
  if (first == lines.size()) {
    message = "an empty file";
    return platform::ERROR_INVALID_DATA;
  }
  const std::string_view header = Trim(lines[first]);
  Format format;
  if (header == kHeader5) {
    format = Format::Regedit5;
  } else if (header == kHeader4) {
    format = Format::Regedit4;
  } else {
    message = fmt::format("line {}: not a registry file", first + 1);
    return platform::ERROR_INVALID_DATA;
  }
  return Parser(lines, format).Run(first + 1, ops, message);
}

uint32_t Apply(const std::vector<Op>& ops, std::string& message) {
  reg::Key current;
  for (const Op& op : ops) {
    uint32_t err = platform::ERROR_SUCCESS;
    switch (op.kind) {
      case Op::Kind::CreateKey:
        err = reg::Key::Create(op.root, op.subkey, reg::Access::Write, current);
        break;
      case Op::Kind::DeleteKey: {
        current.Close();
        reg::Key root;
        err = reg::Key::Open(op.root, "", reg::Access::Write, root);
        if (err == platform::ERROR_SUCCESS) err = root.DeleteTree(op.subkey);
        if (err == platform::ERROR_FILE_NOT_FOUND) err = platform::ERROR_SUCCESS;
        break;
      }
      case Op::Kind::SetValue:
        err = current.SetValue(op.name, op.type, op.data);
        break;
      case Op::Kind::DeleteValue:
        err = current.DeleteValue(op.name);
        if (err == platform::ERROR_FILE_NOT_FOUND) err = platform::ERROR_SUCCESS;
        break;
    }
    if (err != platform::ERROR_SUCCESS) {
      message = fmt::format("line {}: error {}", op.line, err);
      return err;
    }
  }
  return platform::ERROR_SUCCESS;
}

// A REG_SZ image that the quoted form gives back: whole UTF-16 units, no NUL
// but an optional last one, no line breaks, valid text.
bool HasStringForm(const std::vector<uint8_t>& data) {
  if (data.size() % 2 != 0) return false;
  std::u16string units =
      Utf16FromLeBytes(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  if (!units.empty() && units.back() == u'\0') units.pop_back();
  for (const char16_t u : units)
    if (u == u'\0' || u == u'\r' || u == u'\n') return false;
  bool invalid = false;
  Utf16ToUtf8(units, &invalid);
  return !invalid;
}

void AppendHex(std::string& out, size_t lineStart, const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    out += fmt::format("{:02x}", bytes[i]);
    if (i + 1 == bytes.size()) break;
    out += ',';
    if (out.size() - lineStart >= kHexLineWidth) {
      out += "\\\r\n  ";
      lineStart = out.size() - 2;
    }
  }
}

std::string FormatValue(const reg::Value& value, Format format) {
  std::string out;
  const size_t lineStart = out.size();
  out += value.name.empty() ? std::string("@") : Quote(value.name);
  out += '=';
  if (value.type == reg::REG_SZ && HasStringForm(value.data)) {
    out += Quote(RegSzText(value.data));
  } else if (value.type == reg::REG_DWORD && value.data.size() == 4) {
    out += fmt::format("dword:{:08x}", *RegDwordValue(value.data));
  } else {
    out += value.type == reg::REG_BINARY ? std::string("hex:")
                                         : fmt::format("hex({:x}):", value.type);
    const bool ansiStrings = format == Format::Regedit4 && (value.type == reg::REG_EXPAND_SZ ||
                                                            value.type == reg::REG_MULTI_SZ);
    AppendHex(out, lineStart, ansiStrings ? Utf16StringsToAnsi(value.data) : value.data);
  }
  out += "\r\n";
  return out;
}

uint32_t ExportKey(const reg::Key& key, const std::string& fullName, Format format,
                   std::string& out) {
  out += "[" + fullName + "]\r\n";
  for (uint32_t i = 0;; ++i) {
    reg::Value value;
    const uint32_t err = key.EnumValue(i, value);
    if (err == platform::ERROR_NO_MORE_ITEMS) break;
    if (err != platform::ERROR_SUCCESS) return err;
    out += FormatValue(value, format);
  }
  out += "\r\n";
  for (uint32_t i = 0;; ++i) {
    std::string name;
    uint32_t err = key.EnumKey(i, name);
    if (err == platform::ERROR_NO_MORE_ITEMS) break;
    if (err != platform::ERROR_SUCCESS) return err;
    reg::Key sub;
    err = key.OpenSubKey(name, reg::Access::Read, sub);
    if (err == platform::ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
    if (err != platform::ERROR_SUCCESS) return err;
    if (err = ExportKey(sub, fullName + "\\" + name, format, out); err != platform::ERROR_SUCCESS)
      return err;
  }
  return platform::ERROR_SUCCESS;
}

// Body text (UTF-8, no header) of one key.
uint32_t ExportBody(reg::RootKey root, std::string_view subkey, Format format, std::string& body) {
  reg::Key key;
  if (uint32_t err = reg::Key::Open(root, subkey, reg::Access::Read, key);
      err != platform::ERROR_SUCCESS)
    return err;
  std::string fullName = RootName(root);
  for (const std::string& name : reg::SplitKeyPath(subkey)) fullName += "\\" + name;
  return ExportKey(key, fullName, format, body);
}

std::string Encode(const std::string& body, Format format) {
  if (format == Format::Regedit4) return Utf8ToAnsi(std::string(kHeader4) + "\r\n\r\n" + body);
  return "\xFF\xFE" + Utf16LeBytes(Utf8ToWide(std::string(kHeader5) + "\r\n\r\n" + body));
}

}  // namespace

bool ParseKeyName(std::string_view fullName, reg::RootKey& root, std::string& subkey) {
  fullName = Trim(fullName);
  const size_t slash = fullName.find('\\');
  const std::string_view first = fullName.substr(0, slash);
  if (EqualsNoCase(first, "HKEY_LOCAL_MACHINE") || EqualsNoCase(first, "HKLM")) {
    root = reg::HKEY_LOCAL_MACHINE;
  } else if (EqualsNoCase(first, "HKEY_CURRENT_USER") || EqualsNoCase(first, "HKCU")) {
    root = reg::HKEY_CURRENT_USER;
  } else if (EqualsNoCase(first, "HKEY_CLASSES_ROOT") || EqualsNoCase(first, "HKCR")) {
    root = reg::HKEY_CLASSES_ROOT;
  } else {
    return false;
  }
  subkey = slash == std::string_view::npos ? std::string() : std::string(fullName.substr(slash + 1));
  return true;
}

uint32_t ImportText(std::string_view fileBytes, std::string* message) {
  std::string local;
  std::string& msg = message ? *message : local;
  std::vector<Op> ops;
  if (uint32_t err = Parse(fileBytes, ops, msg); err != platform::ERROR_SUCCESS) return err;
  return Apply(ops, msg);
}

uint32_t ImportFile(const std::string& path, std::string* message) {
  UniqueFile file;
  if (GuardedFOpen(file, path, "rb") != 0) {
    const uint32_t err = platform::LastWin32Error();
    if (message) *message = "cannot open the file";
    return err;
  }
  std::string bytes;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, file.get())) > 0) bytes.append(buf, n);
  if (std::ferror(file.get())) {
    if (message) *message = "cannot read the file";
    return platform::ERROR_READ_FAULT;
  }
  return ImportText(bytes, message);
}

uint32_t ExportText(reg::RootKey root, std::string_view subkey, Format format,
                    std::string& fileBytes) {
  std::string body;
  if (uint32_t err = ExportBody(root, subkey, format, body); err != platform::ERROR_SUCCESS)
    return err;
  fileBytes = Encode(body, format);
  return platform::ERROR_SUCCESS;
}

uint32_t ExportFile(const std::string& path, std::string_view fullKeyName, Format format,
                    std::string* message) {
  std::string body;
  uint32_t err = platform::ERROR_SUCCESS;
  if (Trim(fullKeyName).empty()) {
    err = ExportBody(reg::HKEY_LOCAL_MACHINE, "", format, body);
    if (err == platform::ERROR_SUCCESS) err = ExportBody(reg::HKEY_CURRENT_USER, "", format, body);
  } else {
    reg::RootKey root;
    std::string subkey;
    if (!ParseKeyName(fullKeyName, root, subkey)) {
      if (message) *message = "an unknown root key";
      return platform::ERROR_INVALID_PARAMETER;
    }
    err = ExportBody(root, subkey, format, body);
  }
  if (err != platform::ERROR_SUCCESS) {
    if (message) *message = fmt::format("cannot read the key: error {}", err);
    return err;
  }
  const std::string bytes = Encode(body, format);
  UniqueFile file;
  if (GuardedFOpen(file, path, "wb") != 0) {
    err = platform::LastWin32Error();
    if (message) *message = "cannot create the file";
    return err;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  const bool closed = std::fclose(file.release()) == 0;
  if (!written || !closed) {
    if (message) *message = "cannot write the file";
    return platform::ERROR_WRITE_FAULT;
  }
  return platform::ERROR_SUCCESS;
}

}  // namespace regfile
