// The About box (dialog 110): the product title, its pictures and the
// installed product version.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

namespace client {

inline constexpr int IDD_ABOUT = 110;
inline constexpr int IDC_ABOUT_VERSION = 1057;
inline constexpr int IDB_ABOUT_LOGO = 147;
inline constexpr int IDB_ABOUT_BANNER = 148;

const platform::ui::DialogTemplate& AboutTemplate();

// ProductVer of the machine's settings key, or the default (logged) when
// it cannot be read.
std::string ReadProductVersion();

class AboutDialogLogic : public platform::ui::DialogLogic {
 public:
  void OnInit(platform::ui::Dialog& d) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;
};

// Opens dialog 110 modal without owner (the tray brings an open
// one forward instead).
platform::ui::Dialog* OpenAboutDialog(platform::ui::UiHost& host);

}  // namespace client
