#include "client/app/tray_menu.h"

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/report_state.h"
#include "support/ui_language.h"

namespace client {

void TrayMenu::Create() {
  ClientApp& app = app_;
  menu_ = app.Host().LoadMenu(kTrayMenuId, {ID_NETWORK_INFORMATION, ID_LOG, ID_DEBUG, ID_ABOUT, 0, ID_CONNECT,
                                            ID_DISCONNECT, 0, ID_OPTION, 0, ID_EXIT});
  // The marks live on items this menu does not show; they are kept where
  // a menu has them.
  menu_.SetChecked(ID_AUTO_LOGIN, app.Hooks().autoLoginSet(app) != 0);
  menu_.SetChecked(ID_AUTO_START, app.Hooks().hasAutoStart(app) != 0);
  menu_.RemoveCommand(ID_CHANGE_PASSWORD);
  const int status = app.GetChannelStatus();
  if (status == kStatusDisconnected) {
    ShowIdle();
  } else if (status == kStatusConnected) {
    menu_.SetGrayed(ID_CONNECT, true);
    menu_.SetGrayed(ID_DISCONNECT, false);
  }
}

void TrayMenu::ShowIdle() {
  menu_.SetGrayed(ID_CONNECT, false);
  menu_.SetGrayed(ID_DISCONNECT, true);
}

void TrayMenu::RemovePortalItem() {
  if (menu_.Has(ID_PORTAL)) {
    menu_.SetGrayed(ID_PORTAL, true);
    menu_.RemoveCommand(ID_PORTAL);
  }
  app_.Reports().portalItemInserted = false;
}

void TrayMenu::Update(int status) {
  ReportState& reports = app_.Reports();
  if (!reports.changePasswordItemInserted) menu_.RemoveCommand(ID_CHANGE_PASSWORD);
  switch (status) {
    case kStatusDisconnected:
      ShowIdle();
      reports.urlPending = false;
      RemovePortalItem();
      menu_.RemoveCommand(ID_CHANGE_PASSWORD);
      reports.connecting = false;
      reports.loginHidden = false;
      reports.changePasswordItemInserted = false;
      break;
    case kStatusConnecting:
    case kStatusReconnecting:
      menu_.SetGrayed(ID_CONNECT, true);
      menu_.SetGrayed(ID_DISCONNECT, reports.loginHidden);
      reports.connecting = true;
      break;
    case kStatusConnected:
      menu_.SetGrayed(ID_CONNECT, true);
      menu_.SetGrayed(ID_DISCONNECT, false);
      reports.connecting = false;
      reports.loginHidden = false;
      break;
    default:  // closing (0) and values the service does not send
      menu_.SetGrayed(ID_CONNECT, true);
      menu_.SetGrayed(ID_DISCONNECT, true);
      reports.connecting = false;
      reports.loginHidden = false;
      break;
  }
}

void TrayMenu::InsertPortalItem(const std::string& englishTitle, const std::string& chineseTitle) {
  const std::string& title = app_.UiLanguage() == LANGID_CHINESE_PRC ? chineseTitle : englishTitle;
  if (menu_.Has(ID_PORTAL)) {
    menu_.SetText(ID_PORTAL, title);
  } else {
    menu_.Insert(menu_.Has(ID_CHANGE_PASSWORD) ? kPortalPositionAfterChangePassword : kPortalPosition, ID_PORTAL,
                 title);
  }
  menu_.SetGrayed(ID_PORTAL, false);
  app_.Reports().portalItemInserted = true;
}

void TrayMenu::InsertChangePasswordItem() {
  const std::string caption = app_.Host().LoadString(MenuText(ID_CHANGE_PASSWORD));
  if (menu_.Has(ID_CHANGE_PASSWORD)) {
    menu_.SetText(ID_CHANGE_PASSWORD, caption);
  } else {
    menu_.Insert(kChangePasswordPosition, ID_CHANGE_PASSWORD, caption);
  }
  app_.Reports().changePasswordItemInserted = true;
}

}  // namespace client
