#include "support/text_convert.h"

#include <cstdlib>
#include <mutex>

#include "support/narrow_codec.h"

namespace {

using support::detail::kNoLimit;

struct CodePages {
  CodePages(std::string a, std::string o) : ansi(std::move(a)), oem(std::move(o)) {}
  std::mutex mutex;
  std::string ansi;
  std::string oem;
};

std::string FromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  std::string name = value ? support::detail::CanonicalCodePage(value) : std::string();
  return name.empty() ? std::string("UTF-8") : name;
}

CodePages& Pages() {
  static CodePages pages(FromEnvironment("VQ_ANSI_CODEPAGE"), FromEnvironment("VQ_OEM_CODEPAGE"));
  return pages;
}

// The report is optional for callers; the codec always writes one.
std::u16string ToWide(const std::string& codePage, std::string_view text, size_t maxUnits,
                      ConvertReport* report) {
  ConvertReport local;
  return support::detail::NarrowToUtf16(codePage, text, maxUnits, report ? *report : local);
}

std::string FromWide(const std::string& codePage, std::u16string_view text, size_t maxBytes,
                     ConvertReport* report) {
  ConvertReport local;
  return support::detail::Utf16ToNarrow(codePage, text, maxBytes, report ? *report : local);
}

}  // namespace

std::string CodePageName(CodePage which) {
  CodePages& pages = Pages();
  std::lock_guard lock(pages.mutex);
  return which == CodePage::Ansi ? pages.ansi : pages.oem;
}

bool SetCodePage(CodePage which, std::string_view name) {
  std::string canonical = support::detail::CanonicalCodePage(name);
  if (canonical.empty()) return false;
  CodePages& pages = Pages();
  std::lock_guard lock(pages.mutex);
  (which == CodePage::Ansi ? pages.ansi : pages.oem) = std::move(canonical);
  return true;
}

std::u16string Utf8ToWide(std::string_view text, ConvertReport* report) {
  return ToWide("UTF-8", text, kNoLimit, report);
}

std::string WideToUtf8(std::u16string_view text, ConvertReport* report) {
  return FromWide("UTF-8", text, kNoLimit, report);
}

std::u16string AnsiToWide(std::string_view text, ConvertReport* report) {
  return ToWide(CodePageName(CodePage::Ansi), text, kNoLimit, report);
}

std::string WideToAnsi(std::u16string_view text, ConvertReport* report) {
  return FromWide(CodePageName(CodePage::Ansi), text, kNoLimit, report);
}

std::string AnsiToUtf8(std::string_view text, ConvertReport* report) {
  return WideToUtf8(AnsiToWide(text, report), report);
}

std::string Utf8ToAnsi(std::string_view text, ConvertReport* report) {
  return WideToAnsi(Utf8ToWide(text, report), report);
}

std::u16string OemToWide(std::string_view text, ConvertReport* report) {
  return ToWide(CodePageName(CodePage::Oem), text, kNoLimit, report);
}

std::string OemToUtf8(std::string_view text, ConvertReport* report) {
  return WideToUtf8(OemToWide(text, report), report);
}

std::string Utf8ToOem(std::string_view text, ConvertReport* report) {
  return FromWide(CodePageName(CodePage::Oem), Utf8ToWide(text, report), kNoLimit, report);
}

std::string WideToOem(std::u16string_view text, ConvertReport* report) {
  return FromWide(CodePageName(CodePage::Oem), text, FIXED_CONVERT_SIZE - 1, report);
}

std::u16string AnsiToWideBuffered(std::string_view text, ConvertReport* report) {
  return ToWide(CodePageName(CodePage::Ansi), text, FIXED_CONVERT_SIZE - 1, report);
}
