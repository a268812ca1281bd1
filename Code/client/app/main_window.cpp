// The hidden main window's life:
//   1. Create: tray icon 102 with "<title> - <status>", menu 109 with Connect
//      and Disconnect set by the status, the update gate, timer 666 every
//      1000 ms, the login command unless started from the web, both pipe
//      servers started
//   2. every tick: the status poll (the service's keep-alive too), then the
//      tray (icon, tip, a balloon on a change) and the menu
//   3. Exit: disconnect, Destroy (menu, icon, timer, end of the loop), the
//      host's waits released, then the pipe servers and every other thread
//      of the application stopped and joined
#include "client/app/main_window.h"

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/portal_url.h"
#include "client/app/report_state.h"
#include "platform/ui/dialog.h"
#include "support/log.h"

namespace client {

namespace ui = platform::ui;

MainWindow::MainWindow(ClientApp& app) : app_(app), tray_(app), menu_(app), devices_(app) {}

MainWindow::~MainWindow() {
  if (created_) Destroy();
  StopPipeServers();
}

void MainWindow::Create() {
  ui::UiHost& host = app_.Host();
  tray_.Add();
  menu_.Create();
  host.SetTrayMenu(&menu_.Model(), [this](int command) { OnCommand(command); });
  host.SetTrayHandler([this](ui::TrayEvent event) { OnTray(event); });
  app_.Hooks().createUpdateGate(app_);
  timer_ = host.StartTimer(kStatusTimerMs, [this] { OnTimer(); });
  created_ = true;
  if (!app_.WebStart()) host.Post([this] { OnCommand(ID_CONNECT); });
  ClientApp& app = app_;
  const ClientHooks& hooks = app_.Hooks();
  wendleServer_.Start([&app, &hooks](const platform::Event& stop) { hooks.wendlePipeServer(app, stop); });
  reportServer_.Start([&app, &hooks](const platform::Event& stop) { hooks.marrowlanternPipeServer(app, stop); });
  devices_.Start();
}

void MainWindow::Destroy() {
  if (!created_) return;
  created_ = false;
  devices_.Stop();
  ui::UiHost& host = app_.Host();
  host.SetTrayMenu(nullptr, {});
  host.SetTrayHandler({});
  tray_.Remove();
  host.StopTimer(timer_);
  timer_ = 0;
  host.Quit(0);
}

void MainWindow::StopPipeServers() {
  wendleServer_.StopAll();
  reportServer_.StopAll();
}

void MainWindow::OnTimer() {
  app_.Link().SendInqueryCommand();
  OnStatusTimer();
}

void MainWindow::OnStatusTimer() {
  app_.PasswordChanges().StatusPolled(app_.GetChannelStatus());
  tray_.Update();
  menu_.Update(app_.GetChannelStatus());
}

void MainWindow::OnTray(ui::TrayEvent event) {
  switch (event) {
    case ui::TrayEvent::LeftDown:
      app_.Host().PopupMenu(menu_.Model(), nullptr, [this](int command) { OnCommand(command); });
      break;
    case ui::TrayEvent::RightDown:
      break;  // the host shows the tray menu itself
    case ui::TrayEvent::DoubleClick:
      OnCommand(app_.GetChannelStatus() == kStatusConnected ? ID_NETWORK_INFORMATION : ID_CONNECT);
      break;
    case ui::TrayEvent::BalloonClick:
      if (app_.Reports().hostCheckBalloon.exchange(false)) app_.Hooks().showHostCheckErrorInfo(app_);
      break;
    case ui::TrayEvent::TrayAvailableAgain:
      tray_.ReAdd();
      break;
  }
}

void MainWindow::ClearRetryFlags() {
  ReportState& reports = app_.Reports();
  reports.event45Retried = false;
  reports.proxSwitchDone = false;
}

void MainWindow::DisconnectedTail() {
  menu_.ShowIdle();
  app_.Hooks().setLoginDialogIdle(app_, true);
  app_.Link().SendAutoLogonFlag(false);
  app_.Reports().processProxIp = false;
  app_.Hooks().setSwitchEvent(app_);
}

void MainWindow::OnLogoff() {
  LogPrint(LOG_DEBUG, " ENDSESSION_LOGOFF  \n");
  ClearRetryFlags();
  app_.Launcher().CancelConnect();
  app_.Link().SendDisconnectCommand();
  DisconnectedTail();
}

void MainWindow::OnDeviceChange() { app_.Hooks().onDeviceChange(app_); }

void MainWindow::InsertPortalItem(const std::string& englishTitle, const std::string& chineseTitle) {
  menu_.InsertPortalItem(englishTitle, chineseTitle);
}

void MainWindow::InsertChangePasswordItem() { menu_.InsertChangePasswordItem(); }

void MainWindow::RunDialogCommand(int templateId) {
  // Never a second one: the open one comes forward.
  if (ui::Dialog* open = app_.Host().FindDialog(templateId)) {
    open->BringForward();
    return;
  }
  const ClientHooks& hooks = app_.Hooks();
  if (const auto entry = hooks.dialogs.find(templateId); entry != hooks.dialogs.end() && entry->second) {
    entry->second(app_);
  } else {
    hooks.openDialog(app_, templateId);
  }
}

void MainWindow::Exit() {
  app_.Reports().event45Retried = false;
  app_.Launcher().CancelConnect();
  app_.Link().SendDisconnectCommand();
  menu_.ShowIdle();
  Destroy();
  // A worker waiting for the UI thread is let go before it is joined.
  app_.StopWorkers();
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
      ClearRetryFlags();
      hooks.reopenLoginDialog(app_);
      break;
    case ID_DISCONNECT:
      ClearRetryFlags();
      // A connect still waiting for the services must not open later.
      app_.Launcher().CancelConnect();
      app_.Link().SendDisconnectCommand();
      hooks.closeSmsDialog(app_);
      DisconnectedTail();
      break;
    case ID_EXIT:
      Exit();
      break;
    case ID_AUTO_START:
      hooks.toggleAutoStart(app_);
      break;
    case ID_AUTO_LOGIN:
      hooks.toggleAutoLogin(app_);
      break;
    case ID_PORTAL:
      OpenPortalUrl(app_);
      break;
    default:
      break;  // other identifiers do nothing
  }
}

}  // namespace client
