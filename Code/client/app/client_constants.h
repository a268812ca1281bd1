// Names and numbers of the client application that several of its parts
// and its peers share: objects, pipes, the product title, the resource ids
// of its menu, timer and tray, and the string entries its code names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui/control_spec.h"

namespace client {

inline constexpr char kProductTitle[] = "Tarnwickgate Marrowlantern";
// The installed version when the machine's settings hold none (About, the
// updater's check).
inline constexpr char kDefaultProductVersion[] = "1.0.1.0000";
inline constexpr char kInstanceMutexName[] = "Global\\VardenlowMarrowlantern";
inline constexpr char kWendlePipeName[] = "\\\\.\\pipe\\VardenlowWendle";
inline constexpr char kMarrowlanternPipeName[] = "\\\\.\\pipe\\VardenlowMarrowlantern";
inline constexpr char kBrindlewayPipeName[] = "\\\\.\\pipe\\VardenlowBrindleway";
// The user's settings key (certificate settings, HKEY_CURRENT_USER).
inline constexpr char kSettingsKey[] = "Software\\Tarnwickgate\\Tarnwickgate Marrowlantern";

// Web control pipe commands this part sends.
inline constexpr uint8_t VQ_START = 14;

// Web control pipe commands the client serves, and the query sub-codes.
inline constexpr uint8_t VQ_WEB_LOGIN = 1;
inline constexpr uint8_t VQ_WEB_DISCONNECT = 2;
inline constexpr uint8_t VQ_WEB_STATUS = 3;
inline constexpr uint8_t VQ_WEB_QUERY = 6;
inline constexpr uint8_t VQ_WEB_QUERY_USER = 3;
inline constexpr uint8_t VQ_WEB_QUERY_SESSION = 5;

// Channel status (the tray's value): 0 closing ... 4 connected.
inline constexpr int kStatusClosing = 0;
inline constexpr int kStatusDisconnected = 1;
inline constexpr int kStatusConnecting = 2;
inline constexpr int kStatusReconnecting = 3;
inline constexpr int kStatusConnected = 4;

// The hidden main window: its status timer and tray icon.
inline constexpr uint32_t kStatusTimerId = 666;
inline constexpr uint32_t kStatusTimerMs = 1000;
inline constexpr int kTrayIconDisconnected = 102;
inline constexpr int kTrayIconConnecting = 103;
inline constexpr int kTrayIconConnected = 104;
inline constexpr int kTrayIconTraffic = 141;
inline constexpr int kTrayIconClosing = 144;

// Dialog templates the tray opens.
inline constexpr int kNetworkInfoTemplate = 119;
inline constexpr int kOptionsTemplate = 158;

// Menu 109 and its commands.
inline constexpr int kTrayMenuId = 109;
inline constexpr int ID_NETWORK_INFORMATION = 40007;
inline constexpr int ID_LOG = 40009;
inline constexpr int ID_ABOUT = 40010;
inline constexpr int ID_CONNECT = 40011;
inline constexpr int ID_DISCONNECT = 40012;
inline constexpr int ID_EXIT = 40013;
inline constexpr int ID_DEBUG = 40014;
inline constexpr int ID_AUTO_START = 40015;
inline constexpr int ID_AUTO_LOGIN = 40016;
inline constexpr int ID_ADD_USER = 40020;
inline constexpr int ID_DELETE_USER = 40021;
inline constexpr int ID_OPTION = 40022;
inline constexpr int ID_PORTAL = 40023;
inline constexpr int ID_CHANGE_PASSWORD = 40024;

// Dialog templates the menu commands open, with their title strings.
struct DialogCommand {
  int command;
  int templateId;
  uint32_t titleString;
};
inline constexpr DialogCommand kDialogCommands[] = {
    {ID_NETWORK_INFORMATION, 119, 152}, {ID_LOG, 114, 153},    {ID_ABOUT, 110, 151},
    {ID_DEBUG, 138, 154},               {ID_OPTION, 158, 161}, {ID_CHANGE_PASSWORD, 144, 157},
};

// The login dialog's templates (one per login mode: 0 and 3, 1, 2).
inline constexpr int kLoginDialogTemplates[] = {111, 139, 115};

// String entries of the service link's boxes.
inline constexpr uint32_t IDS_CANNOT_CONNECT_SERVICE = 91;
inline constexpr uint32_t IDS_ERROR_COMMAND = 92;

// String entries of the tray's status texts.
inline constexpr uint32_t IDS_CONNECTED = 1129;
inline constexpr uint32_t IDS_DISCONNECTED = 1130;
inline constexpr uint32_t IDS_CONNECTING = 1131;
inline constexpr uint32_t IDS_UNKNOWN = 1132;
inline constexpr uint32_t IDS_DISCONNECTING = 1147;
inline constexpr uint32_t IDS_RECONNECTING = 1149;

// Where the items the reports bring go in the tray menu: Change Password
// before Option, the portal item after Option.
inline constexpr size_t kChangePasswordPosition = 8;
inline constexpr size_t kPortalPosition = 9;
inline constexpr size_t kPortalPositionAfterChangePassword = 10;

constexpr uint32_t MenuText(int command) { return platform::ui::StringEntryId(kTrayMenuId, command); }

}  // namespace client
