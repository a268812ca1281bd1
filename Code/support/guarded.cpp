#include "support/guarded.h"

#include <fcntl.h>

#include <cstdint>

namespace {

int Fail(std::string& dst) {
  dst.clear();
  return -1;
}

// A text of `length` units fits a capacity that also holds the terminator.
bool Fits(size_t length, size_t size) { return size > 0 && length < size; }

}  // namespace

int GuardedStrCpy(std::string& dst, size_t size, std::string_view src) {
  if (!Fits(src.size(), size)) return Fail(dst);
  dst.assign(src);
  return 0;
}

int GuardedStrCat(std::string& dst, size_t size, std::string_view src) {
  if (!Fits(dst.size() + src.size(), size)) return Fail(dst);
  dst.append(src);
  return 0;
}

int GuardedWcsCpy(std::string& dst, size_t size, std::string_view src) {
  if (!Fits(Utf16Length(src), size)) return Fail(dst);
  dst.assign(src);
  return 0;
}

int GuardedWcsCpy2(std::string& dst, size_t size, std::string_view src) {
  return GuardedWcsCpy(dst, size, src);
}

int GuardedWcsCpyAlt(std::string& dst, size_t size, std::string_view src) {
  return GuardedWcsCpy(dst, size, src);
}

int GuardedWcsNCpy(std::string& dst, size_t size, std::string_view src, size_t count) {
  std::string part = Utf16Length(src) <= count ? std::string(src) : CutUtf8ToUnits(src, count);
  if (!Fits(Utf16Length(part), size)) return Fail(dst);
  dst = std::move(part);
  return 0;
}

int GuardedWcsCat(std::string& dst, size_t size, std::string_view src) {
  if (!Fits(Utf16Length(dst) + Utf16Length(src), size)) return Fail(dst);
  dst.append(src);
  return 0;
}

int GuardedItoA(int value, std::string& buf, size_t size, int radix) {
  if (radix < 2 || radix > 36) return Fail(buf);
  const bool negative = radix == 10 && value < 0;
  uint64_t magnitude = negative ? static_cast<uint64_t>(-static_cast<int64_t>(value))
                                : static_cast<uint64_t>(static_cast<uint32_t>(value));
  std::string digits;
  do {
    const auto d = static_cast<int>(magnitude % static_cast<uint64_t>(radix));
    digits.insert(digits.begin(), static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10));
    magnitude /= static_cast<uint64_t>(radix);
  } while (magnitude > 0);
  if (negative) digits.insert(digits.begin(), '-');
  if (!Fits(digits.size(), size)) return Fail(buf);
  buf = std::move(digits);
  return 0;
}

int GuardedItoW(int value, std::string& buf, size_t size, int radix) {
  // Digits are ASCII: one byte is one UTF-16 unit.
  return GuardedItoA(value, buf, size, radix);
}

int GuardedWFOpen(UniqueFile& out, const std::string& path, const char* mode) {
  return GuardedFOpen(out, path, mode);
}

int GuardedFOpen(UniqueFile& out, const std::string& path, const char* mode) {
  out.reset();
  if (path.empty() || !mode) return -1;
  out.reset(std::fopen(path.c_str(), mode));
  return out ? 0 : -1;
}

int GuardedSOpen(platform::UniqueFd& fd, const std::string& path, int flags, int /*share*/,
                 int mode) {
  fd.reset();
  if (path.empty()) return -1;
  fd.reset(::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode)));
  return fd.valid() ? 0 : -1;
}

int GuardedLocalTime(std::tm* out, const std::time_t* t) {
  if (!out || !t) return -1;
  std::tm local{};
  if (!::localtime_r(t, &local)) return -1;
  *out = local;
  return 0;
}
