// The control's identifiers: its type library, interfaces, classes and
// registry entries.
#pragma once

#include <cstdint>

#include "platform/com/dispatch.h"
#include "platform/com/guid.h"

namespace wendle {

using platform::com::GUID;

inline constexpr GUID LIBID_WendleLib = {0xD99582AB, 0x96FB, 0x4F65, {0x93, 0x34, 0x37, 0x47, 0xC3, 0x3A, 0x6C, 0xD0}};
inline constexpr GUID DIID__DWendle = {0x860A0F1B, 0x0F0D, 0x48CD, {0x8F, 0x3A, 0x08, 0x2A, 0x24, 0x3C, 0x63, 0xED}};
inline constexpr GUID DIID__DWendleEvents = {0x794E3A8A, 0x15CA, 0x4688, {0x9B, 0x16, 0x88, 0xBD, 0xCB, 0xBE, 0x82, 0xE2}};
inline constexpr GUID CLSID_Wendle = {0x93BCCDD4, 0x0770, 0x49AE, {0x9C, 0xD5, 0xB0, 0x54, 0xED, 0x0A, 0x16, 0xEC}};
inline constexpr GUID CLSID_WendlePropPage = {0x11C41C16, 0x1E56, 0x4346, {0xBC, 0x63, 0x11, 0x3E, 0x8F, 0xF8, 0x89, 0xB1}};
inline constexpr GUID CATID_SafeForScripting = {0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
inline constexpr GUID CATID_SafeForInitializing = {0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};

inline constexpr char WENDLE_PROGID[] = "WENDLE.WendleCtrl.1";
inline constexpr char WENDLE_PROPPAGE_PROGID[] = "WENDLE.WendlePropPage.1";
inline constexpr char WENDLE_TYPE_NAME[] = "Wendle Control";             // string 1
inline constexpr char WENDLE_PROPPAGE_NAME[] = "Wendle Property Page";   // string 2
inline constexpr char WENDLE_LIB_HELP_STRING[] = "Wendle ActiveX Control module";
inline constexpr char WENDLE_LIB_HELP_FILE[] = "Wendle.hlp";
inline constexpr uint32_t WENDLE_LIB_LCID = 0x409;
inline constexpr uint16_t WENDLE_LIB_MAJOR = 1;
inline constexpr uint16_t WENDLE_LIB_MINOR = 0;
inline constexpr int WENDLE_TOOLBOX_BITMAP = 1;
// OLEMISC_SETCLIENTSITEFIRST | ACTIVATEWHENVISIBLE | INSIDEOUT |
// CANTLINKINSIDE | RECOMPOSEONRESIZE
inline constexpr uint32_t WENDLE_MISC_STATUS = 0x20191;

// Dispatch ids of _DWendle.
enum : platform::com::DISPID {
  DISPID_Init = 1,
  DISPID_Connect = 2,
  DISPID_IsClientInstalled = 3,
  DISPID_GetConnStat = 4,
  DISPID_Disconnect = 5,
  DISPID_SetClientAuthFlag = 6,
  DISPID_UserExist = 7,
  DISPID_IsSessionExpire = 8,
};

}  // namespace wendle
