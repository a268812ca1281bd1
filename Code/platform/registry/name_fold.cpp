#include "platform/registry/name_fold.h"

#include <locale.h>
#include <wctype.h>

#include <atomic>
#include <climits>
#include <cwchar>

namespace platform::registry::detail {
namespace {

// The C.UTF-8 locale carries the Unicode case tables whatever locale the
// process runs in; without it only ASCII folds. Freed when the program or
// the library holding this layer (a component unloaded by its container)
// goes, so nothing of it outlives its owner.
class Utf8LocaleHolder {
 public:
  Utf8LocaleHolder() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {}
  ~Utf8LocaleHolder() {
    if (locale_t locale = locale_.exchange(static_cast<locale_t>(0))) freelocale(locale);
  }
  Utf8LocaleHolder(const Utf8LocaleHolder&) = delete;
  Utf8LocaleHolder& operator=(const Utf8LocaleHolder&) = delete;
  locale_t get() const { return locale_.load(); }

 private:
  std::atomic<locale_t> locale_;
};

locale_t Utf8Locale() {
  static Utf8LocaleHolder holder;
  return holder.get();
}

// Makes the calling thread decode UTF-8 for the guard's lifetime.
class ThreadLocaleGuard {
 public:
  explicit ThreadLocaleGuard(locale_t locale) : previous_(locale ? uselocale(locale) : nullptr) {}
  ~ThreadLocaleGuard() {
    if (previous_) uselocale(previous_);
  }
  ThreadLocaleGuard(const ThreadLocaleGuard&) = delete;
  ThreadLocaleGuard& operator=(const ThreadLocaleGuard&) = delete;

 private:
  locale_t previous_;
};

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string FoldName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  const locale_t utf8 = Utf8Locale();
  if (!utf8) {
    for (char c : name) out.push_back(AsciiUpper(c));
    return out;
  }
  ThreadLocaleGuard guard(utf8);
  std::mbstate_t in{};
  size_t i = 0;
  while (i < name.size()) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte < 0x80) {
      out.push_back(AsciiUpper(name[i]));
      ++i;
      continue;
    }
    wchar_t wc = 0;
    const size_t used = std::mbrtowc(&wc, name.data() + i, name.size() - i, &in);
    if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2) || used == 0) {
      in = std::mbstate_t{};
      out.push_back(name[i]);
      ++i;
      continue;
    }
    if (static_cast<unsigned long>(wc) < 0x10000) wc = static_cast<wchar_t>(towupper_l(static_cast<wint_t>(wc), utf8));
    char buf[MB_LEN_MAX];
    std::mbstate_t st{};
    const size_t written = std::wcrtomb(buf, wc, &st);
    if (written == static_cast<size_t>(-1)) {
      out.append(name.substr(i, used));
    } else {
      out.append(buf, written);
    }
    i += used;
  }
  return out;
}

}  // namespace platform::registry::detail
