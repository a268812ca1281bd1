// The control tables of the login dialog, one template per login mode
// (111: 0 and 3, 139: 1, 115: 2), and of the Login Mode dialog (140).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ui/control_spec.h"

namespace client {

inline constexpr int IDD_LOGIN_PASSWORD = 111;
inline constexpr int IDD_LOGIN_USB_KEY = 139;
inline constexpr int IDD_LOGIN_USB_KEY_ONLY = 115;
inline constexpr int IDD_LOGIN_MODE = 140;

inline constexpr int IDC_LOGIN_USER = 1001;
inline constexpr int IDC_LOGIN_PASSWORD = 1002;
inline constexpr int IDC_LOGIN_SERVER = 1003;
inline constexpr int IDC_LOGIN_PORT = 1004;
inline constexpr int IDC_LOGIN_PIN = 1005;
inline constexpr int IDC_LOGIN_SAVED = 1053;
inline constexpr int IDC_LOGIN_MODE = 1061;
inline constexpr int IDC_LOGIN_CANCEL = 440;
inline constexpr int IDC_LOGIN_TEST = 1064;
inline constexpr int IDB_LOGIN = 150;

inline constexpr int IDC_MODE_PASSWORD = 1058;
inline constexpr int IDC_MODE_USB_KEY = 1059;
inline constexpr int IDC_MODE_USB_KEY_ONLY = 1060;
inline constexpr int IDC_MODE_SELECT_CERT = 1054;

// The login dialog's timer: the automatic login 500 ms after it opened.
inline constexpr uint32_t kAutoLoginTimerId = 18;
inline constexpr uint32_t kAutoLoginDelayMs = 500;
// Characters the password edit takes.
inline constexpr size_t kLoginPasswordChars = 31;

// The messages of the checks and the captions.
inline constexpr uint32_t IDS_BAD_SERVER = 94;
inline constexpr uint32_t IDS_BAD_PORT = 95;
inline constexpr uint32_t IDS_NO_USER = 96;
inline constexpr uint32_t IDS_NO_PASSWORD = 97;
inline constexpr uint32_t IDS_NO_PIN = 98;
inline constexpr uint32_t IDS_BAD_PIN = 99;
inline constexpr uint32_t IDS_NO_USB_KEY = 100;
inline constexpr uint32_t IDS_LOGIN_IDLE = 430;
inline constexpr uint32_t IDS_LOGIN_BUSY = 431;

const platform::ui::DialogTemplate& LoginPasswordTemplate();
const platform::ui::DialogTemplate& LoginUsbKeyTemplate();
const platform::ui::DialogTemplate& LoginUsbKeyOnlyTemplate();
const platform::ui::DialogTemplate& LoginModeTemplate();

// A stored LOGINMODE as a mode: "1" and "2" are theirs, anything else
// (a damaged file too) counts as 0.
int LoginModeOfText(const std::string& text);
// The template of a login mode (0 and 3, and any other value: 111).
const platform::ui::DialogTemplate& LoginTemplateOfMode(int mode);
bool IsLoginTemplate(int templateId);

}  // namespace client
