#include "client/app/client_constants.h"
#include "client/ui/about_dialog.h"

#include "platform/ui/win32_ui.h"
#include "support/log.h"
#include "support/registry_helpers.h"

using namespace platform::ui;

namespace client {

const DialogTemplate& AboutTemplate() {
  static const DialogTemplate templ(
      IDD_ABOUT, {
                     // The product title, a text of the template (entry 60000).
                     {.kind = ControlKind::Label, .row = 0, .col = 1, .colSpan = 2},
                     {.kind = ControlKind::Picture, .row = 0, .col = 0, .rowSpan = 2, .pictureId = IDB_ABOUT_LOGO},
                     {.id = IDC_ABOUT_VERSION, .kind = ControlKind::Label, .row = 1, .col = 1, .colSpan = 2},
                     {.kind = ControlKind::Picture, .row = 2, .col = 0, .colSpan = 3, .pictureId = IDB_ABOUT_BANNER},
                     {.id = IDOK, .kind = ControlKind::Button, .row = 3, .col = 2, .style = kDefaultButton},
                 });
  return templ;
}

std::string ReadProductVersion() {
  std::string version;
  uint32_t size = REG_STRING_READ_BYTES / 2;
  if (RegReadProductValue("ProductVer", version, size) != 0) {
    LogPrint(LOG_ERR, "Get product version failed\n");
    return kDefaultProductVersion;
  }
  return version;
}

void AboutDialogLogic::OnInit(Dialog& d) { d.SetText(IDC_ABOUT_VERSION, ReadProductVersion()); }

void AboutDialogLogic::OnCommand(Dialog& d, int id, int code) {
  if (code == BN_CLICKED && (id == IDOK || id == IDCANCEL)) d.EndDialog(id);
}

Dialog* OpenAboutDialog(UiHost& host) {
  return host.OpenDialog(AboutTemplate(), nullptr, std::make_unique<AboutDialogLogic>(), Modality::Modal);
}

}  // namespace client
