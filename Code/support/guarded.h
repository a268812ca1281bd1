// Small copy, append, number, open and time operations that respect a
// destination capacity given by the caller and turn every fault into a
// result of -1 (0 on success).
//
// Text is UTF-8; a capacity counts what the fixed buffer it stands for would
// hold, terminator included: bytes for the narrow ("Str", "A") forms, UTF-16
// units for the wide ("Wcs", "W") forms. A destination never ends up longer
// than its capacity allows. When an operation fails the destination is
// empty, except for GuardedVsnwprintf, which keeps the text cut to fit
// (never inside a character).
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include <fmt/printf.h>

#include "platform/unique_fd.h"
#include "support/utf16.h"

// A stream closed when its owner goes.
struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

int GuardedStrCpy(std::string& dst, size_t size, std::string_view src);
int GuardedStrCat(std::string& dst, size_t size, std::string_view src);

int GuardedWcsCpy(std::string& dst, size_t size, std::string_view src);
int GuardedWcsCpy2(std::string& dst, size_t size, std::string_view src);
int GuardedWcsCpyAlt(std::string& dst, size_t size, std::string_view src);
// Copies at most count units of src (fewer when the count would end inside
// a surrogate pair); -1 when even that does not fit.
int GuardedWcsNCpy(std::string& dst, size_t size, std::string_view src, size_t count);
int GuardedWcsCat(std::string& dst, size_t size, std::string_view src);

// Radix 2..36; a negative value gets a sign in radix 10 and is taken as its
// unsigned 32-bit pattern in the others.
int GuardedItoA(int value, std::string& buf, size_t size, int radix);
int GuardedItoW(int value, std::string& buf, size_t size, int radix);

// Opens a stream (out is empty when it fails). Paths are UTF-8 in both forms.
int GuardedWFOpen(UniqueFile& out, const std::string& path, const char* mode);
int GuardedFOpen(UniqueFile& out, const std::string& path, const char* mode);
// open(2) flags and mode. share is accepted for its callers; Linux has no
// sharing modes to apply.
int GuardedSOpen(platform::UniqueFd& fd, const std::string& path, int flags, int share, int mode);

int GuardedLocalTime(std::tm* out, const std::time_t* t);

// Formats printf style into at most min(count, size - 1) UTF-16 units: 0
// when the whole text fits, -1 when it was cut or the format faulted
// (buf then empty).
template <typename... Args>
int GuardedVsnwprintf(std::string& buf, size_t size, size_t count, std::string_view format,
                      const Args&... args) {
  std::string text;
  try {
    text = fmt::sprintf(format, args...);
  } catch (const std::exception&) {
    buf.clear();
    return -1;
  }
  if (size == 0) {
    buf.clear();
    return -1;
  }
  const size_t limit = count < size - 1 ? count : size - 1;
  if (Utf16Length(text) <= limit) {
    buf = std::move(text);
    return 0;
  }
  buf = CutUtf8ToUnits(text, limit);
  return -1;
}
