// Start at logon and automatic login as menu items (40015, 40016) with
// their check marks. Both toggles do nothing on a menu without their item.
// UI thread.
#pragma once

#include <string>

#include "platform/ui/menu_model.h"

namespace client {

class CXmlConfig;

// The name of the client's start-at-logon entry (the Run value's name).
inline constexpr char kAutoStartName[] = "Marrowlantern";

// Whether the client starts at logon.
bool HasClientAutoStart();

// The marks from the settings: 40016 on for AUTOLOGIN "1", off for any
// other value, left alone when the store has none; 40015 on while the
// start-at-logon entry exists.
void UpdateMenuChecks(platform::ui::MenuModel& menu, const CXmlConfig& store);

// A marked 40016 loses its mark and AUTOLOGIN becomes "0"; an unmarked one
// gets it and "1". The tunnel service is not told.
void ToggleAutoLogin(platform::ui::MenuModel& menu, CXmlConfig& store);

// An unmarked 40015 writes the start-at-logon entry for programPath, a
// marked one removes it; the mark then shows whether the entry exists, so
// a write that failed (or an empty path) leaves it unmarked.
void ToggleAutoStart(platform::ui::MenuModel& menu, const std::string& programPath);

}  // namespace client
