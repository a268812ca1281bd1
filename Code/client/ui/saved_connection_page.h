// The Saved Connection page (template 160) of the Options dialog: one saved
// connection's fields, Delete (1052), Apply (1080) and Close (1085).
//
// State (OptionsSession::pageState): 1 adding a new connection, 2 editing
// the one of OptionsSession::editedAlias.
//
// Apply reads the fields in this order, stopping at the first fault:
// server (404, focus 1071), port 1..65535 (400, focus 1004), user in modes
// 0 and 1 (405, focus 1073), the USB key's user name in mode 2 (100), a
// remembered password (97) and PIN (98) that are not empty. An empty alias
// becomes user@server:port made unique. Then:
//   adding   a taken alias: 358, focus 1070; else after 357 the connection
//            is stored, listed and selected in the tree (state 2);
//   editing  after 356: the same alias is saved over the connection; a new
//            alias renames it (file, list, tree; CURRENTUSER follows);
//            another connection's alias: 358, nothing changes.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "client/ui/options_dialog.h"

namespace client {

inline constexpr int IDD_SAVED_CONNECTION = 160;
inline constexpr int IDC_CONNECTION_NAME = 1070;
inline constexpr int IDC_CONNECTION_SERVER = 1071;
inline constexpr int IDC_CONNECTION_PORT = 1004;
inline constexpr int IDC_CONNECTION_USER = 1073;
inline constexpr int IDC_CONNECTION_PASSWORD = 1074;
inline constexpr int IDC_CONNECTION_PIN = 1075;
inline constexpr int IDC_LOGIN_MODE = 1076;
inline constexpr int IDC_REMEMBER_PASSWORD = 1077;
inline constexpr int IDC_REMEMBER_PIN = 1078;
inline constexpr int IDC_PROXIMITY_DETECTION = 1051;
inline constexpr int IDC_CONNECTION_DELETE = 1052;
inline constexpr int IDC_CONNECTION_APPLY = 1080;
inline constexpr int IDC_CONNECTION_CLOSE = 1085;

inline constexpr uint32_t IDS_MODE_PASSWORD = 353;
inline constexpr uint32_t IDS_MODE_PASSWORD_UKEY = 354;
inline constexpr uint32_t IDS_MODE_UKEY = 360;
inline constexpr uint32_t IDS_CHANGE_CONNECTION = 356;
inline constexpr uint32_t IDS_ADD_CONNECTION = 357;
inline constexpr uint32_t IDS_CONNECTION_EXISTS = 358;
inline constexpr uint32_t IDS_INVALID_PORT_RANGE = 400;
inline constexpr uint32_t IDS_NO_SERVER = 404;
inline constexpr uint32_t IDS_NO_USER = 405;
inline constexpr uint32_t IDS_PASSWORD_NULL = 97;
inline constexpr uint32_t IDS_PIN_NULL = 98;
inline constexpr uint32_t IDS_NO_USB_KEY = 100;

const platform::ui::DialogTemplate& SavedConnectionTemplate();

// A port as the page takes it: decimal digits only, 1 to 65535.
std::optional<int> ParseConnectionPort(const std::string& text);

class SavedConnectionPage : public platform::ui::DialogLogic {
 public:
  explicit SavedConnectionPage(std::shared_ptr<OptionsSession> session) : session_(std::move(session)) {}

  void OnInit(platform::ui::Dialog& d) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;
  intptr_t OnMessage(platform::ui::Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  void OnClose(platform::ui::Dialog& d) override;

 private:
  void Show(platform::ui::Dialog& d, const std::string& alias);
  void Clear(platform::ui::Dialog& d);
  void ModeChanged(platform::ui::Dialog& d);
  // The page shown again for the tree's selected item.
  void Refresh(platform::ui::Dialog& d);
  void Apply(platform::ui::Dialog& d);
  // The record of the fields; nothing after a fault was shown.
  std::optional<user_info> ReadRecord(platform::ui::Dialog& d);
  void Add(const user_info& record);
  void Change(platform::ui::Dialog& d, user_info record);
  bool Rename(user_info& record);
  bool Delete(const std::string& alias);
  void Fault(platform::ui::Dialog& d, uint32_t stringId, int focus);
  void ShowExists();

  std::shared_ptr<OptionsSession> session_;
};

}  // namespace client
