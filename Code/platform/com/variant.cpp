#include "platform/com/variant.h"

#include <charconv>
#include <limits>

namespace platform::com {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A decimal integer with an optional sign and blanks around it.
HRESULT ParseInteger(std::string_view text, int64_t& value) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return DISP_E_TYPEMISMATCH;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (end != text.data() + text.size()) return DISP_E_TYPEMISMATCH;
  if (ec == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
  if (ec != std::errc()) return DISP_E_TYPEMISMATCH;
  return S_OK;
}

}  // namespace

HRESULT ChangeType(const Variant& in, VARTYPE vt, Variant& out) {
  int64_t number = 0;
  switch (in.vt()) {
    case VT_EMPTY: break;
    case VT_I2:
    case VT_I4: number = in.Int(); break;
    case VT_BSTR:
      if (vt == VT_BSTR) {
        out = in;
        return S_OK;
      }
      if (const HRESULT hr = ParseInteger(in.Text(), number); FAILED(hr)) return hr;
      break;
    default: return E_INVALIDARG;
  }
  switch (vt) {
    case VT_EMPTY: out = Variant(); return S_OK;
    case VT_I2:
      if (number < std::numeric_limits<int16_t>::min() || number > std::numeric_limits<int16_t>::max())
        return DISP_E_OVERFLOW;
      out = Variant::I2(static_cast<int16_t>(number));
      return S_OK;
    case VT_I4:
      if (number < std::numeric_limits<int32_t>::min() || number > std::numeric_limits<int32_t>::max())
        return DISP_E_OVERFLOW;
      out = Variant::I4(static_cast<int32_t>(number));
      return S_OK;
    case VT_BSTR:
      out = Variant::Bstr(in.vt() == VT_EMPTY ? std::string() : std::to_string(number));
      return S_OK;
    default: return E_INVALIDARG;
  }
}

std::string Describe(const Variant& v) {
  switch (v.vt()) {
    case VT_EMPTY: return "EMPTY";
    case VT_I2: return "I2 " + std::to_string(v.Int());
    case VT_I4: return "I4 " + std::to_string(v.Int());
    case VT_BSTR: return "BSTR \"" + v.Text() + "\"";
    default: return "VT " + std::to_string(v.vt());
  }
}

}  // namespace platform::com
