#include "Brindleway/control/host_texts.h"

#include "Brindleway/control/host_id.h"
#include "support/text_convert.h"

namespace brindleway {
namespace {

// At most size - 1 bytes, never cutting a UTF-8 character.
std::string Bounded(std::string text, size_t size) {
  if (size == 0) return {};
  if (text.size() < size) return text;
  size_t end = size - 1;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

}  // namespace

bool GetHostIdText(std::string& out, size_t size) {
  std::string id;
  if (!GetHostId(id)) return false;
  LogPrint(LOG_INFO, "Real HostID = %s\n", id);
  out = Bounded(std::move(id), size);
  return true;
}

bool GetHostNameText(std::string& out, size_t size) {
  std::string name;
  if (!GetComputerHostName(name) || name.empty()) name = kFallbackHostName;
  LogPrint(LOG_INFO, "Real HOST_NAME = %s\n", name);
  out = Bounded(std::move(name), size);
  return true;
}

bool WideToNarrow(std::u16string_view text, std::string& out) {
  ConvertReport report;
  std::string narrow = WideToAnsi(text, &report);
  if (!report.ok()) {
    LogPrint(LOG_ERR, "Text cannot be converted to the code page %s\n", CodePageName(CodePage::Ansi));
    return false;
  }
  out = std::move(narrow);
  return true;
}

bool NarrowToWide(std::string_view text, std::u16string& out) {
  ConvertReport report;
  std::u16string wide = AnsiToWide(text, &report);
  if (report.invalidInput) return false;
  out = std::move(wide);
  return true;
}

int StoreFormattedText(std::u16string& out, const std::string& text) {
  std::u16string wide = Utf8ToWide(text);
  if (wide.size() > kFormatTextLimit) {
    out.clear();
    return -1;
  }
  out = std::move(wide);
  return static_cast<int>(out.size());
}

}  // namespace brindleway
