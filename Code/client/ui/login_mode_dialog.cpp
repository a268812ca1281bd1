#include "client/ui/login_mode_dialog.h"

#include <string>

#include "client/app/client_app.h"
#include "client/store/process_store.h"
#include "client/ui/cert_choice.h"
#include "client/ui/login_templates.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"

using namespace platform::ui;

namespace client {

void LoginModeLogic::OnInit(Dialog& d) {
  d.SetTopmost(true);
  switch (app_.GetLoginMode()) {
    case 1: d.Check(IDC_MODE_USB_KEY, true); break;
    case 2: d.Check(IDC_MODE_USB_KEY_ONLY, true); break;
    default: d.Check(IDC_MODE_PASSWORD, true); break;
  }
}

void LoginModeLogic::OnCommand(Dialog& d, int id, int code) {
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDOK:
      Accept(d);
      d.EndDialog(IDOK);
      break;
    case IDCANCEL:
      d.EndDialog(IDCANCEL);
      break;
    case IDC_MODE_SELECT_CERT:
      ChooseClientCertificate(d.host(), &d, app_.Certificates());
      break;
    default:
      break;
  }
}

void LoginModeLogic::Accept(Dialog& d) {
  int mode = 3;
  if (d.IsChecked(IDC_MODE_PASSWORD)) {
    mode = 0;
  } else if (d.IsChecked(IDC_MODE_USB_KEY)) {
    mode = 1;
  } else if (d.IsChecked(IDC_MODE_USB_KEY_ONLY)) {
    mode = 2;
  }
  std::optional<user_info> current = g_xmlConfig.GetCurrentUser();
  const std::string text = std::to_string(mode);
  if (mode == app_.GetLoginMode() || !current || current->LOGINMODE == text) return;
  current->LOGINMODE = text;
  g_xmlConfig.CopyToCurrentUser(*current);
  if (std::optional<user_info> saved = g_xmlConfig.FindUser(current->ALIASID)) {
    saved->LOGINMODE = text;
    g_xmlConfig.CopyToListEntry(*saved);
    // Only a stored connection: the store would add a current record that
    // names none as a new one.
    if (!g_xmlConfig.SaveUserField(*current, "LOGINMODE")) {
      LogPrint(LOG_ERR, "Save login mode of %s failed\n", current->ALIASID);
    }
  }
}

bool RunLoginModeDialog(ClientApp& app, Dialog* owner, std::function<void(int result)> onEnd) {
  return app.Host().OpenDialog(LoginModeTemplate(), owner, std::make_unique<LoginModeLogic>(app), Modality::Modal,
                               [onEnd = std::move(onEnd)](Dialog&, int result) {
                                 if (onEnd) onEnd(result);
                               }) != nullptr;
}

}  // namespace client
