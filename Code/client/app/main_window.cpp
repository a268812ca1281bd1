// The hidden main window's life:
//   1. Create: tray icon 102 with "<title> - <status>", menu 109 with Connect
//      and Disconnect set by the status, timer 666 every 1000 ms, the login
//      command unless started from the web, both pipe servers started
//   2. every tick: the status poll (the service's keep-alive too), then the
//      tray and menu update
//   3. Exit: disconnect, Destroy (menu, icon, timer, end of the loop), then
//      the pipe servers stopped and joined
#include "client/app/main_window.h"

#include <string>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "support/log.h"

namespace client {

namespace ui = platform::ui;

MainWindow::MainWindow(ClientApp& app) : app_(app) {}

MainWindow::~MainWindow() {
  if (created_) Destroy();
  StopPipeServers();
}

void MainWindow::Create() {
  ui::UiHost& host = app_.Host();
  menu_ = host.LoadMenu(kTrayMenuId, {ID_NETWORK_INFORMATION, ID_LOG, ID_DEBUG, ID_ABOUT, 0, ID_CONNECT,
                                      ID_DISCONNECT, 0, ID_OPTION, 0, ID_EXIT});
  host.SetTrayMenu(&menu_, [this](int command) { OnCommand(command); });
  host.SetTrayHandler([this](ui::TrayEvent event) { OnTray(event); });
  host.SetTrayIcon(kTrayIconDisconnected,
                   std::string(kProductTitle) + " - " + host.LoadString(IDS_DISCONNECTED, 64));
  ShowStatusInMenu(app_.GetChannelStatus());
  timer_ = host.StartTimer(kStatusTimerMs, [this] { OnTimer(); });
  created_ = true;
  if (!app_.WebStart()) host.Post([this] { OnCommand(ID_CONNECT); });
  ClientApp& app = app_;
  const ClientHooks& hooks = app_.Hooks();
  wendleServer_.Start([&app, &hooks](const platform::Event& stop) { hooks.wendlePipeServer(app, stop); });
  reportServer_.Start([&app, &hooks](const platform::Event& stop) { hooks.marrowlanternPipeServer(app, stop); });
}

void MainWindow::Destroy() {
  if (!created_) return;
  created_ = false;
  ui::UiHost& host = app_.Host();
  host.SetTrayMenu(nullptr, {});
  host.SetTrayHandler({});
  host.RemoveTrayIcon();
  host.StopTimer(timer_);
  timer_ = 0;
  host.Quit(0);
}

void MainWindow::StopPipeServers() {
  wendleServer_.StopAll();
  reportServer_.StopAll();
}

void MainWindow::ShowStatusInMenu(int status) {
  if (status == kStatusDisconnected) {
    menu_.SetGrayed(ID_CONNECT, false);
    menu_.SetGrayed(ID_DISCONNECT, true);
  } else if (status == kStatusConnected) {
    menu_.SetGrayed(ID_CONNECT, true);
    menu_.SetGrayed(ID_DISCONNECT, false);
  }
}

void MainWindow::OnTimer() {
  app_.Link().SendInqueryCommand();
  app_.Hooks().onStatusTimer(app_);
}

void MainWindow::OnTray(ui::TrayEvent event) {
  switch (event) {
    case ui::TrayEvent::DoubleClick:
      OnCommand(app_.GetChannelStatus() == kStatusConnected ? ID_NETWORK_INFORMATION : ID_CONNECT);
      break;
    case ui::TrayEvent::TrayAvailableAgain:
      app_.Host().SetTrayIcon(kTrayIconDisconnected, std::string(kProductTitle) + " - " +
                                                         app_.Host().LoadString(IDS_DISCONNECTED, 64));
      app_.Hooks().onStatusTimer(app_);
      break;
    default:
      break;  // the host shows the menu on a click
  }
}

void MainWindow::OnLogoff() {
  LogPrint(LOG_DEBUG, " ENDSESSION_LOGOFF  \n");
  app_.Hooks().clearRetryFlags(app_);
  app_.Launcher().CancelConnect();
  app_.Link().SendDisconnectCommand();
  app_.Hooks().disconnectedTail(app_);
}

void MainWindow::RunDialogCommand(int templateId) {
  // An open one is brought forward by its own part; never a second one.
  if (app_.Host().FindDialog(templateId) != nullptr) return;
  app_.Hooks().openDialog(app_, templateId);
}

void MainWindow::OnCommand(int command) {
  const ClientHooks& hooks = app_.Hooks();
  for (const DialogCommand& dialog : kDialogCommands) {
    if (dialog.command == command) {
      RunDialogCommand(dialog.templateId);
      return;
    }
  }
  switch (command) {
    case ID_CONNECT:
      hooks.clearRetryFlags(app_);
      hooks.reopenLoginDialog(app_);
      break;
    case ID_DISCONNECT:
      hooks.clearRetryFlags(app_);
      // A connect still waiting for the services must not open later.
      app_.Launcher().CancelConnect();
      app_.Link().SendDisconnectCommand();
      hooks.closeSmsDialog(app_);
      hooks.disconnectedTail(app_);
      break;
    case ID_EXIT:
      hooks.clearRetryFlags(app_);
      app_.Launcher().CancelConnect();
      app_.Link().SendDisconnectCommand();
      menu_.SetGrayed(ID_CONNECT, false);
      menu_.SetGrayed(ID_DISCONNECT, true);
      Destroy();
      StopPipeServers();
      break;
    case ID_AUTO_START:
      hooks.toggleAutoStart(app_);
      break;
    case ID_AUTO_LOGIN:
      hooks.toggleAutoLogin(app_);
      break;
    case ID_PORTAL:
      hooks.openPortalUrl(app_);
      break;
    default:
      break;  // other identifiers do nothing
  }
}

}  // namespace client
