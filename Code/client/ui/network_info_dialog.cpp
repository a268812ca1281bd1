#include "client/ui/network_info_dialog.h"

#include "client/app/client_app.h"
#include "client/ui/interface_page.h"
#include "client/ui/route_page.h"
#include "platform/ui/win32_ui.h"

using namespace platform::ui;

namespace client {

const DialogTemplate& NetworkInfoTemplate() {
  static const DialogTemplate templ(
      IDD_NETWORK_INFO,
      {
          {.kind = ControlKind::Picture, .row = 0, .col = 0, .pictureId = IDB_NETWORK_INFO},
          {.id = IDC_NETWORK_INFO_TABS, .kind = ControlKind::TabStrip, .row = 1, .col = 0, .colSpan = 3},
          {.id = IDOK, .kind = ControlKind::Button, .row = 2, .col = 2, .style = kDefaultButton},
      },
      true);
  return templ;
}

void NetworkInfoLogic::OnInit(Dialog& d) {
  d.SetTopmost(true);
  UiHost& host = d.host();
  std::vector<TabPageHost::TabPage> pages;
  pages.push_back({host.LoadString(IDS_TAB_GENERAL, 32), &GeneralPageTemplate(),
                   std::make_unique<GeneralPageLogic>(status_)});
  pages.push_back({host.LoadString(IDS_TAB_INTERFACE, 32), &InterfacePageTemplate(),
                   std::make_unique<InterfacePageLogic>()});
  pages.push_back({host.LoadString(IDS_TAB_ROUTE, 32), &RoutePageTemplate(), std::make_unique<RoutePageLogic>()});
  tabs_.CreateTabPages(d, IDC_NETWORK_INFO_TABS, std::move(pages));
  d.SetFocus(IDC_NETWORK_INFO_TABS);
}

void NetworkInfoLogic::OnCommand(Dialog& d, int id, int code) {
  if (code != BN_CLICKED || (id != IDOK && id != IDCANCEL)) return;
  tabs_.DestroyTabPages();
  d.EndDialog(id);
}

void NetworkInfoLogic::OnNotify(Dialog&, int id, int code, uint64_t data) { tabs_.TabHostNotify(id, code, data); }

Dialog* OpenNetworkInfo(UiHost& host, Dialog* owner, StatusReader status) {
  return host.OpenDialog(NetworkInfoTemplate(), owner, std::make_unique<NetworkInfoLogic>(std::move(status)),
                         Modality::Modal);
}

Dialog* OpenNetworkInfo(ClientApp& app) {
  UiHost& host = app.Host();
  if (Dialog* open = host.FindDialog(IDD_NETWORK_INFO)) {
    open->BringForward();
    return open;
  }
  return OpenNetworkInfo(host, nullptr, [&app] {
    return StatusSnapshot{app.Link().Status(), app.GetChannelStatus()};
  });
}

}  // namespace client
