// Automation values: empty, 16-bit and 32-bit integers and strings (BSTR,
// held as UTF-8). ChangeType converts between them the way a script host's
// coercion does.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/hresult.h"

namespace platform::com {

using VARTYPE = uint16_t;
inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_I2 = 2;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_BSTR = 8;

class Variant {
 public:
  Variant() = default;
  static Variant I2(int16_t v) { return Variant(VT_I2, v, {}); }
  static Variant I4(int32_t v) { return Variant(VT_I4, v, {}); }
  static Variant Bstr(std::string_view text) { return Variant(VT_BSTR, 0, std::string(text)); }

  VARTYPE vt() const { return vt_; }
  // The value of an I2 or I4 (0 otherwise).
  int32_t Int() const { return number_; }
  // The text of a BSTR ("" otherwise).
  const std::string& Text() const { return text_; }

  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  Variant(VARTYPE vt, int32_t number, std::string text) : vt_(vt), number_(number), text_(std::move(text)) {}

  VARTYPE vt_ = VT_EMPTY;
  int32_t number_ = 0;
  std::string text_;
};

// in as type vt into out. Empty becomes 0 or ""; numbers become decimal
// text; text becomes a number when it is one decimal integer (blanks around
// it allowed). DISP_E_TYPEMISMATCH when it is not, DISP_E_OVERFLOW when the
// value does not fit, E_INVALIDARG for a type this layer does not hold.
HRESULT ChangeType(const Variant& in, VARTYPE vt, Variant& out);

// "I2 5", "BSTR \"x\"": for messages and tests.
std::string Describe(const Variant& value);

}  // namespace platform::com
