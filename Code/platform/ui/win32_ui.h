// The Win32 numbers the dialogs are written against: dialog and box
// results, message-box flags and the notification codes of the controls.
// Logic compares and stores these values as the system defines them.
#pragma once

#include <cstdint>

#include "platform/sync/message_queue.h"  // WM_USER

namespace platform::ui {

// Dialog and message-box results.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Message-box flags: buttons, icon, default button, window.
inline constexpr uint32_t MB_OK = 0x0;
inline constexpr uint32_t MB_OKCANCEL = 0x1;
inline constexpr uint32_t MB_ABORTRETRYIGNORE = 0x2;
inline constexpr uint32_t MB_YESNOCANCEL = 0x3;
inline constexpr uint32_t MB_YESNO = 0x4;
inline constexpr uint32_t MB_RETRYCANCEL = 0x5;
inline constexpr uint32_t MB_TYPEMASK = 0xF;
inline constexpr uint32_t MB_ICONERROR = 0x10;
inline constexpr uint32_t MB_ICONQUESTION = 0x20;
inline constexpr uint32_t MB_ICONWARNING = 0x30;
inline constexpr uint32_t MB_ICONINFORMATION = 0x40;
inline constexpr uint32_t MB_ICONMASK = 0xF0;
inline constexpr uint32_t MB_DEFBUTTON1 = 0x0;
inline constexpr uint32_t MB_DEFBUTTON2 = 0x100;
inline constexpr uint32_t MB_DEFBUTTON3 = 0x200;
inline constexpr uint32_t MB_DEFMASK = 0xF00;
inline constexpr uint32_t MB_SETFOREGROUND = 0x10000;
inline constexpr uint32_t MB_TOPMOST = 0x40000;

// WM_COMMAND notification codes.
inline constexpr int BN_CLICKED = 0;
inline constexpr int BN_DOUBLECLICKED = 5;
inline constexpr int EN_SETFOCUS = 0x100;
inline constexpr int EN_KILLFOCUS = 0x200;
inline constexpr int EN_CHANGE = 0x300;
inline constexpr int EN_UPDATE = 0x400;
inline constexpr int EN_MAXTEXT = 0x501;
inline constexpr int CBN_SELCHANGE = 1;
inline constexpr int CBN_DBLCLK = 2;
inline constexpr int CBN_SETFOCUS = 3;
inline constexpr int CBN_KILLFOCUS = 4;
inline constexpr int CBN_EDITCHANGE = 5;
inline constexpr int CBN_DROPDOWN = 7;
inline constexpr int CBN_CLOSEUP = 8;
inline constexpr int LBN_SELCHANGE = 1;
inline constexpr int LBN_DBLCLK = 2;

// WM_NOTIFY codes.
inline constexpr int NM_CLICK = -2;
inline constexpr int NM_DBLCLK = -3;
inline constexpr int NM_RETURN = -4;
inline constexpr int NM_RCLICK = -5;
inline constexpr int NM_SETFOCUS = -7;
inline constexpr int LVN_ITEMCHANGED = -101;
inline constexpr int TVN_SELCHANGED = -451;
inline constexpr int TCN_KEYDOWN = -550;
inline constexpr int TCN_SELCHANGE = -551;
inline constexpr int TCN_SELCHANGING = -552;

// Virtual keys, as keyboard notifications carry them.
inline constexpr int VK_RETURN = 0x0D;
inline constexpr int VK_ESCAPE = 0x1B;
inline constexpr int VK_PRIOR = 0x21;  // Page Up
inline constexpr int VK_NEXT = 0x22;   // Page Down
inline constexpr int VK_LEFT = 0x25;
inline constexpr int VK_UP = 0x26;
inline constexpr int VK_RIGHT = 0x27;
inline constexpr int VK_DOWN = 0x28;

}  // namespace platform::ui
