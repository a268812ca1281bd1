#include "client/app/logon_toggles.h"

#include "client/app/client_constants.h"
#include "client/store/xml_config.h"
#include "platform/shell/autostart.h"
#include "support/log.h"

namespace client {

bool HasClientAutoStart() { return platform::shell::HasAutoStart(kAutoStartName); }

void UpdateMenuChecks(platform::ui::MenuModel& menu, const CXmlConfig& store) {
  if (const std::optional<std::string> autoLogin = store.GetAutoLogin())
    menu.SetChecked(ID_AUTO_LOGIN, *autoLogin == "1");
  menu.SetChecked(ID_AUTO_START, HasClientAutoStart());
}

void ToggleAutoLogin(platform::ui::MenuModel& menu, CXmlConfig& store) {
  if (!menu.Has(ID_AUTO_LOGIN)) return;
  const bool on = !menu.IsChecked(ID_AUTO_LOGIN);
  menu.SetChecked(ID_AUTO_LOGIN, on);
  store.SetAutoLogin(FormatText("%d", on ? 1 : 0));
}

void ToggleAutoStart(platform::ui::MenuModel& menu, const std::string& programPath) {
  if (!menu.Has(ID_AUTO_START)) return;
  if (menu.IsChecked(ID_AUTO_START)) {
    if (const uint32_t rc = platform::shell::DeleteAutoStart(kAutoStartName); rc != 0 && rc != 2)
      LogPrint(LOG_ERR, "Delete auto start entry failed (%u)\n", rc);
  } else if (!programPath.empty()) {
    if (const uint32_t rc = platform::shell::SetAutoStart(kAutoStartName, programPath); rc != 0)
      LogPrint(LOG_ERR, "Set auto start entry failed (%u)\n", rc);
  }
  menu.SetChecked(ID_AUTO_START, HasClientAutoStart());
}

}  // namespace client
