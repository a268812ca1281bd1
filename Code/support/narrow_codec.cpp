#include "support/narrow_codec.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>

#include "support/utf16.h"

namespace support::detail {
namespace {

constexpr std::string_view kUtf16Le = "UTF-16LE";
constexpr std::string_view kReplacementUtf16Le = "\xFD\xFF";  // U+FFFD
constexpr std::string_view kReplacementNarrow = "?";

class Iconv {
 public:
  Iconv(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Iconv() {
    if (valid()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// What to do at an input position iconv refused: skip that many bytes and
// put the replacement in the output; stop after it when the rest is unusable.
struct Repair {
  size_t skip;
  std::string_view replacement;
  bool stop;
};

// Converts in, appending to out, never letting out grow past limit bytes.
// iconv writes whole characters only, so a stop at the limit never cuts one.
template <typename RepairFn>
void Run(iconv_t cd, std::string_view in, size_t limit, std::string& out, ConvertReport& report,
         RepairFn repair) {
  char* ip = const_cast<char*>(in.data());
  size_t il = in.size();
  auto roomLeft = [&] { return limit == kNoLimit ? kNoLimit : limit - out.size(); };
  while (il > 0) {
    size_t chunk = std::max<size_t>(64, il * 4);
    const bool atLimit = chunk >= roomLeft();
    if (atLimit) chunk = roomLeft();
    if (chunk == 0) {
      report.truncated = true;
      return;
    }
    const size_t old = out.size();
    out.resize(old + chunk);
    char* op = out.data() + old;
    size_t ol = chunk;
    const size_t rc = iconv(cd, &ip, &il, &op, &ol);
    const int err = errno;
    out.resize(old + (chunk - ol));
    if (rc != static_cast<size_t>(-1)) {
      if (rc > 0) report.lossy = true;  // glibc's count of inexact conversions
      continue;
    }
    if (err == E2BIG) {
      if (atLimit) {
        report.truncated = true;
        return;
      }
      continue;
    }
    if (err != EILSEQ && err != EINVAL) {
      report.invalidInput = true;
      return;
    }
    const Repair fix = repair(static_cast<size_t>(ip - in.data()), err == EINVAL);
    if (fix.replacement.size() > roomLeft()) {
      report.truncated = true;
      return;
    }
    out.append(fix.replacement);
    const size_t skip = std::min(fix.skip, il);
    ip += skip;
    il -= skip;
    if (fix.stop) return;
  }
}

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::string CanonicalCodePage(std::string_view name) {
  while (!name.empty() && std::isspace(static_cast<unsigned char>(name.front()))) name.remove_prefix(1);
  while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.remove_suffix(1);
  if (name.empty()) return {};
  std::string canonical = Upper(name);
  if (std::all_of(canonical.begin(), canonical.end(), [](char c) { return c >= '0' && c <= '9'; }))
    canonical = "CP" + canonical;
  if (canonical == "CP65001" || canonical == "UTF8") canonical = "UTF-8";
  if (IsUtf8CodePage(canonical)) return canonical;
  const Iconv to(canonical, std::string(kUtf16Le));
  const Iconv from(std::string(kUtf16Le), canonical);
  if (!to.valid() || !from.valid()) return {};
  return canonical;
}

bool IsUtf8CodePage(std::string_view canonicalName) { return canonicalName == "UTF-8"; }

std::u16string NarrowToUtf16(const std::string& codePage, std::string_view text, size_t maxUnits,
                             ConvertReport& report) {
  if (text.empty()) return {};
  if (IsUtf8CodePage(codePage)) {
    bool invalid = false;
    std::u16string out = Utf8ToUtf16(text, &invalid);
    if (invalid) report.invalidInput = true;
    if (maxUnits != kNoLimit && out.size() > maxUnits) {
      out.resize(Utf16CutLength(out, maxUnits));
      report.truncated = true;
    }
    return out;
  }
  const Iconv cd(std::string(kUtf16Le), codePage);
  if (!cd.valid()) {
    report.invalidInput = true;
    return {};
  }
  std::string bytes;
  const size_t limit = maxUnits == kNoLimit ? kNoLimit : maxUnits * 2;
  Run(cd.get(), text, limit, bytes, report, [&](size_t, bool incomplete) {
    report.invalidInput = true;
    return Repair{1, kReplacementUtf16Le, incomplete};
  });
  return Utf16FromLeBytes(bytes);
}

std::string Utf16ToNarrow(const std::string& codePage, std::u16string_view text, size_t maxBytes,
                          ConvertReport& report) {
  if (text.empty()) return {};
  if (IsUtf8CodePage(codePage)) {
    bool invalid = false;
    std::string out = Utf16ToUtf8(text, &invalid);
    if (invalid) report.invalidInput = true;
    if (maxBytes != kNoLimit && out.size() > maxBytes) {
      size_t n = maxBytes;
      while (n > 0 && (static_cast<uint8_t>(out[n]) & 0xC0) == 0x80) --n;
      out.resize(n);
      report.truncated = true;
    }
    return out;
  }
  const Iconv cd(codePage, std::string(kUtf16Le));
  if (!cd.valid()) {
    report.invalidInput = true;
    return {};
  }
  const std::string in = Utf16LeBytes(text);
  std::string out;
  Run(cd.get(), in, maxBytes, out, report, [&](size_t offset, bool incomplete) {
    const size_t unit = offset / 2;
    if (incomplete || unit >= text.size()) {
      report.invalidInput = true;
      return Repair{in.size(), kReplacementNarrow, true};
    }
    const char16_t u = text[unit];
    if (IsHigh(u) && unit + 1 < text.size() && IsLow(text[unit + 1])) {
      report.lossy = true;  // a valid character beyond the code page
      return Repair{4, kReplacementNarrow, false};
    }
    if (IsHigh(u) || IsLow(u)) {
      report.invalidInput = true;
    } else {
      report.lossy = true;
    }
    return Repair{2, kReplacementNarrow, false};
  });
  return out;
}

}  // namespace support::detail
