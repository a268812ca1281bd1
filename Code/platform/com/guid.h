// Class, interface and category identifiers: 128-bit GUIDs with their
// registry text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::com {

struct GUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {};

  friend bool operator==(const GUID&, const GUID&) = default;
};

using CLSID = GUID;
using IID = GUID;
using CATID = GUID;

// Upper-case hex in braces, as the registry keys are named.
std::string GuidToString(const GUID& guid);
// Accepts the braced form in either case; nothing for anything else.
std::optional<GUID> GuidFromString(std::string_view text);

// The interfaces every component knows.
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IObjectWithSite = {0xFC4801A3, 0x2BA9, 0x11CF, {0xA2, 0x29, 0x00, 0xAA, 0x00, 0x3D, 0x73, 0x52}};
// Our container's site: how a control reaches the container's UI host.
inline constexpr IID IID_IUiSite = {0x5B0E3C71, 0x8D2A, 0x4F19, {0x9E, 0x44, 0x21, 0x7C, 0x03, 0xB6, 0x5A, 0xD8}};

}  // namespace platform::com
