// The General page (template 159) of the Options dialog: start at logon
// (1066), automatic login (1067) with its default connection (1068), the
// certificate choice (1054), Apply (1080) and Close (1085).
//
// Apply, after confirmation 359:
//   1. the autostart entry written (1066 ticked) or removed;
//   2. 1067 ticked: the connection of 1068 must exist (403), have a saved
//      PIN in modes 1 and 2 (402) and a saved password in mode 1 (401),
//      else 1067 is cleared and nothing more happens; it becomes the
//      current connection and AUTOLOGIN "1"; not ticked: AUTOLOGIN "0";
//   3. the tunnel service is told (VQ_SET_AUTO_LOGON 1 or 0).
#pragma once

#include <memory>

#include "client/ui/options_dialog.h"

namespace client {

inline constexpr int IDD_OPTIONS_GENERAL = 159;
inline constexpr int IDC_AUTO_START = 1066;
inline constexpr int IDC_AUTO_LOGIN = 1067;
inline constexpr int IDC_DEFAULT_CONNECTION = 1068;
inline constexpr int IDC_OPTIONS_SELECT_CERT = 1054;
inline constexpr int IDC_OPTIONS_APPLY = 1080;
inline constexpr int IDC_OPTIONS_CLOSE = 1085;
inline constexpr uint32_t IDS_CHANGE_SETTING = 359;
inline constexpr uint32_t IDS_NO_SAVED_PASSWORD = 401;
inline constexpr uint32_t IDS_NO_SAVED_PIN = 402;
inline constexpr uint32_t IDS_NO_DEFAULT_CONNECTION = 403;

const platform::ui::DialogTemplate& OptionsGeneralTemplate();

class OptionsGeneralPage : public platform::ui::DialogLogic {
 public:
  explicit OptionsGeneralPage(std::shared_ptr<OptionsSession> session) : session_(std::move(session)) {}

  void OnInit(platform::ui::Dialog& d) override { Refresh(d); }
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;
  void OnClose(platform::ui::Dialog& d) override;

  // The page anew from the store and the autostart entry.
  void Refresh(platform::ui::Dialog& d);

 private:
  void Apply(platform::ui::Dialog& d);
  // Steps 1 to 3 of Apply; false when they stopped.
  bool ApplyAutoStart();
  bool ApplyAutoLogin(platform::ui::Dialog& d, bool& on);
  void RefuseAutoLogin(platform::ui::Dialog& d, uint32_t stringId);

  std::shared_ptr<OptionsSession> session_;
};

}  // namespace client
