// The hidden main window under the headless host against a fake tunnel
// service: what the tray shows for each status, the tray menu's items and
// their state, the tray's clicks, Disconnect, Exit and log-off.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "client/app/report_state.h"
#include "common/eventually.h"
#include "common/log_reader.h"
#include "platform/ui/dialog.h"
#include "tray_fixture.h"

namespace {

using namespace vqtest;
namespace ui = platform::ui;
using client::kProductTitle;
using Bytes = FakePipeServer::Bytes;

std::string Tip(const std::string& status) { return std::string(kProductTitle) + " - " + status; }

struct TickCase {
  int status;
  uint32_t received;
  uint32_t sent;
  int icon;
  const char* text;
  bool balloon;
};

TEST(ClientTray, IconTipAndBalloonFollowTheStatusTickByTick) {
  TrayRun run;
  ASSERT_TRUE(run.started);
  // Each row is one tick after the one above it; counters are totals.
  const TickCase ticks[] = {
      {1, 0, 0, 102, "Disconnected", false},   // the window starts at 1
      {2, 0, 0, 103, "Connecting", true},
      {3, 0, 0, 103, "Reconnecting", true},
      {4, 5, 0, 141, "Connected", true},       // packets came in
      {4, 5, 0, 104, "Connected", false},      // nothing moved: idle, no balloon
      {4, 5, 9, 141, "Connected", false},      // only sent packets moved
      {4, 5, 9, 104, "Connected", false},
      {4, 6, 10, 141, "Connected", false},
      {0, 6, 10, 144, "Disconnecting", true},
      {7, 6, 10, 102, "Unknown", true},
      {1, 0, 0, 102, "Disconnected", true},
  };
  size_t balloons = run.UiLines("balloon").size();
  for (size_t i = 0; i < std::size(ticks); ++i) {
    const TickCase& t = ticks[i];
    run.service.status = t.status;
    run.service.received = t.received;
    run.service.sent = t.sent;
    run.Tick();
    SCOPED_TRACE("tick " + std::to_string(i) + ", status " + std::to_string(t.status));
    EXPECT_EQ(run.host.TrayIconId(), t.icon);
    EXPECT_EQ(run.host.TrayTip(), Tip(t.text));
    const std::vector<std::string> shown = run.UiLines("balloon");
    ASSERT_EQ(shown.size(), balloons + (t.balloon ? 1 : 0));
    if (t.balloon) {
      EXPECT_NE(shown.back().find("\"text\":\"" + std::string(t.text) + "\""), std::string::npos) << shown.back();
      EXPECT_NE(shown.back().find("\"title\":\"" + std::string(kProductTitle) + "\""), std::string::npos);
      EXPECT_NE(shown.back().find("\"icon\":\"info\""), std::string::npos);
    }
    balloons = shown.size();
  }
}

TEST(ClientTray, ConnectedClearsTheHostCheckBalloonFlag) {
  TrayRun run;
  run.app.Reports().hostCheckBalloon = true;
  run.service.status = 2;
  run.Tick();
  EXPECT_TRUE(run.app.Reports().hostCheckBalloon);
  run.service.status = 4;
  run.Tick();
  EXPECT_FALSE(run.app.Reports().hostCheckBalloon);
}

TEST(ClientTray, ALongChineseStatusTextIsCutWithoutSplittingACharacter) {
  TempRoot texts;
  std::filesystem::create_directories(texts.At("/lang/2052"));
  // 63 units, then a character of two units across the 64th.
  const std::string longText = std::string(63, 'x') + "\xF0\x9F\x98\x80" + "tail";
  WriteFileBytes(texts.At("/lang/2052/strings.txt"), "1130\t" + longText + "\n");
  client::ClientApp::Settings settings;
  settings.language = 2052;
  settings.programDir = texts.path();
  TrayRun run(settings);
  run.Tick();
  EXPECT_EQ(run.host.TrayTip(), Tip(std::string(63, 'x')));
}

// Menu state after a tick at a status, from the flags and items before it.
struct MenuCase {
  int status;
  bool loginHidden;
  bool portal;
  bool changePassword;
  bool connectGrayed;
  bool disconnectGrayed;
  bool itemsKept;
  bool connectingAfter;
  bool loginHiddenAfter;
};

TEST(ClientTrayMenu, ConnectAndDisconnectFollowTheStatusAndTheFlags) {
  const MenuCase cases[] = {
      {0, true, true, true, true, true, true, false, false},
      {1, true, true, true, false, true, false, false, false},
      {1, false, true, false, false, true, false, false, false},
      {2, false, false, false, true, false, true, true, false},
      {2, true, true, true, true, true, true, true, true},
      {3, true, false, true, true, true, true, true, true},
      {3, false, true, false, true, false, true, true, false},
      {4, true, true, true, true, false, true, false, false},
      {9, true, true, true, true, true, true, false, false},
  };
  for (const MenuCase& c : cases) {
    SCOPED_TRACE("status " + std::to_string(c.status) + (c.loginHidden ? " login hidden" : "") +
                 (c.portal ? " portal" : "") + (c.changePassword ? " change password" : ""));
    TrayRun run;
    client::ReportState& reports = run.app.Reports();
    if (c.changePassword) run.window().InsertChangePasswordItem();
    if (c.portal) run.window().InsertPortalItem("Portal", "门户");
    reports.urlPending = true;
    reports.loginHidden = c.loginHidden;
    run.service.status = c.status;
    run.Tick();
    const ui::MenuModel& menu = run.window().Menu();
    EXPECT_EQ(menu.IsGrayed(client::ID_CONNECT), c.connectGrayed);
    EXPECT_EQ(menu.IsGrayed(client::ID_DISCONNECT), c.disconnectGrayed);
    EXPECT_EQ(menu.Has(client::ID_PORTAL), c.portal && c.itemsKept);
    EXPECT_EQ(menu.Has(client::ID_CHANGE_PASSWORD), c.changePassword && c.itemsKept);
    EXPECT_EQ(reports.portalItemInserted.load(), c.portal && c.itemsKept);
    EXPECT_EQ(reports.changePasswordItemInserted.load(), c.changePassword && c.itemsKept);
    EXPECT_EQ(reports.urlPending.load(), c.status != 1);
    EXPECT_EQ(reports.connecting.load(), c.connectingAfter);
    EXPECT_EQ(reports.loginHidden.load(), c.loginHiddenAfter);
  }
}

std::vector<int> Commands(const ui::MenuModel& menu) {
  std::vector<int> out;
  for (const ui::MenuItem& item : menu.items()) out.push_back(item.separator ? 0 : item.command);
  return out;
}

const std::vector<int> kOriginal = {client::ID_NETWORK_INFORMATION, client::ID_LOG, client::ID_DEBUG, client::ID_ABOUT,
                                    0, client::ID_CONNECT, client::ID_DISCONNECT, 0, client::ID_OPTION, 0,
                                    client::ID_EXIT};

TEST(ClientTrayMenu, RunTimeItemsGoToTheirPlacesOnceAndLeaveTheOriginalMenu) {
  for (const bool portalFirst : {true, false}) {
    SCOPED_TRACE(portalFirst ? "portal first" : "change password first");
    TrayRun run;
    client::MainWindow& window = run.window();
    run.service.status = 4;
    run.Tick();
    ASSERT_EQ(Commands(window.Menu()), kOriginal);
    for (int round = 0; round < 2; ++round) {
      if (portalFirst) window.InsertPortalItem(round ? "Portal again" : "Portal", "门户");
      window.InsertChangePasswordItem();
      if (!portalFirst) window.InsertPortalItem(round ? "Portal again" : "Portal", "门户");
    }
    std::vector<int> both = kOriginal;
    both.insert(both.begin() + 8, client::ID_CHANGE_PASSWORD);
    both.insert(both.begin() + 10, client::ID_PORTAL);
    EXPECT_EQ(Commands(window.Menu()), both);
    const ui::MenuItem& portal = window.Menu().items()[10];
    EXPECT_EQ(portal.text, "Portal again");
    EXPECT_FALSE(portal.grayed);
    EXPECT_EQ(window.Menu().items()[8].text, "Change Password");

    // Still connected: both stay; back at 1 the original menu returns.
    run.Tick();
    EXPECT_EQ(Commands(window.Menu()), both);
    run.service.status = 1;
    run.Tick();
    EXPECT_EQ(Commands(window.Menu()), kOriginal);
  }
}

TEST(ClientTrayMenu, ThePortalItemAloneFollowsOption) {
  TrayRun run;
  run.window().InsertPortalItem("Portal", "门户");
  std::vector<int> expected = kOriginal;
  expected.insert(expected.begin() + 9, client::ID_PORTAL);
  EXPECT_EQ(Commands(run.window().Menu()), expected);
}

TEST(ClientTrayMenu, ChangePasswordGoesUnlessItsFlagIsSet) {
  TrayRun run;
  run.service.status = 4;
  run.window().InsertChangePasswordItem();
  run.Tick();
  EXPECT_TRUE(run.window().Menu().Has(client::ID_CHANGE_PASSWORD));
  run.app.Reports().changePasswordItemInserted = false;
  run.Tick();
  EXPECT_FALSE(run.window().Menu().Has(client::ID_CHANGE_PASSWORD));
  EXPECT_EQ(Commands(run.window().Menu()), kOriginal);
}

TEST(ClientTrayMenu, ChineseTitlesAndCaptionsUnderTheChineseLanguage) {
  client::ClientApp::Settings settings;
  settings.language = 2052;
  settings.programDir = VQ_CLIENT_BUILD_DIR;
  TrayRun run(settings);
  run.window().InsertChangePasswordItem();
  run.window().InsertPortalItem("Portal", "门户");
  const ui::MenuModel& menu = run.window().Menu();
  EXPECT_EQ(menu.items()[8].text, "修改密码");
  EXPECT_EQ(menu.items()[10].text, "门户");
  EXPECT_EQ(menu.items()[5].text, "连接");
}

// Empty dialogs with the ids of Network Information and About.
const ui::DialogTemplate& EmptyTemplate(int id) {
  static const ui::DialogTemplate networkInformation(119, {});
  static const ui::DialogTemplate about(110, {});
  return id == 119 ? networkInformation : about;
}

// A dialog registered for a template, counting how often it was opened.
client::ClientHooks DialogRegistry(int templateId, std::atomic<int>& opened) {
  client::ClientHooks hooks;
  hooks.dialogs[templateId] = [templateId, &opened](client::ClientApp& app) {
    ++opened;
    app.Host().OpenDialog(EmptyTemplate(templateId), nullptr, std::make_unique<ui::DialogLogic>(),
                          ui::Modality::Modeless);
  };
  return hooks;
}

TEST(ClientTrayEvents, DoubleClickOpensNetworkInformationWhenConnectedElseTheLogin) {
  std::atomic<int> opened{0};
  TrayRun run({}, DialogRegistry(119, opened));
  const int loginsAtStart = run.counts.loginDialog;
  run.host.DeliverTrayEvent(ui::TrayEvent::DoubleClick);
  run.host.RunUntilIdle();
  EXPECT_EQ(run.counts.loginDialog, loginsAtStart + 1);
  EXPECT_EQ(opened, 0);

  run.service.status = 4;
  run.Tick();
  run.host.DeliverTrayEvent(ui::TrayEvent::DoubleClick);
  run.host.RunUntilIdle();
  EXPECT_EQ(opened, 1);
  EXPECT_NE(run.host.FindDialog(119), nullptr);
  EXPECT_EQ(run.counts.loginDialog, loginsAtStart + 1);
}

TEST(ClientTrayEvents, TheSameDialogCommandTwiceBringsTheOpenOneForward) {
  std::atomic<int> opened{0};
  TrayRun run({}, DialogRegistry(110, opened));
  ASSERT_TRUE(run.host.ChooseTrayCommand(client::ID_ABOUT));
  run.host.RunUntilIdle();
  ui::Dialog* about = run.host.FindDialog(110);
  ASSERT_NE(about, nullptr);
  about->ShowWindow(false);
  ASSERT_TRUE(run.host.ChooseTrayCommand(client::ID_ABOUT));
  run.host.RunUntilIdle();
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(run.host.OpenDialogs().size(), 1u);
  EXPECT_EQ(run.host.FindDialog(110), about);
  EXPECT_TRUE(about->IsShown());
}

TEST(ClientTrayEvents, BalloonClickShowsTheHostCheckInfoOnlyWhileItsFlagIsSet) {
  TrayRun run;
  run.host.DeliverTrayEvent(ui::TrayEvent::BalloonClick);
  EXPECT_EQ(run.calls.hostCheckInfo, 0);
  run.app.Reports().hostCheckBalloon = true;
  run.host.DeliverTrayEvent(ui::TrayEvent::BalloonClick);
  EXPECT_EQ(run.calls.hostCheckInfo, 1);
  EXPECT_FALSE(run.app.Reports().hostCheckBalloon);
  run.host.DeliverTrayEvent(ui::TrayEvent::BalloonClick);
  EXPECT_EQ(run.calls.hostCheckInfo, 1);
}

TEST(ClientTrayEvents, LeftClickShowsTheTrayMenu) {
  TrayRun run;
  run.host.DeliverTrayEvent(ui::TrayEvent::LeftDown);
  ASSERT_NE(run.host.OpenPopup(), nullptr);
  EXPECT_EQ(Commands(*run.host.OpenPopup()), kOriginal);
  EXPECT_TRUE(run.host.ChoosePopup(client::ID_CONNECT));
  run.host.RunUntilIdle();
  EXPECT_EQ(run.counts.loginDialog, 2);  // the start's and this one
}

TEST(ClientTrayEvents, TheTrayComingBackShowsTheIconWithTheCurrentTip) {
  TrayRun run;
  run.service.status = 4;
  run.Tick();
  const size_t balloons = run.UiLines("balloon").size();
  run.host.RemoveTrayIcon();  // what the shell's restart lost
  run.host.DeliverTrayEvent(ui::TrayEvent::TrayAvailableAgain);
  EXPECT_EQ(run.host.TrayTip(), Tip("Connected"));
  EXPECT_EQ(run.host.TrayIconId(), 104);
  EXPECT_EQ(run.UiLines("balloon").size(), balloons);
}

TEST(ClientTrayCommands, DisconnectClosesTheChannelAndRunsTheDisconnectedTail) {
  TrayRun run;
  run.service.status = 4;
  run.Tick();
  client::ReportState& reports = run.app.Reports();
  reports.event45Retried = true;
  reports.proxSwitchDone = true;
  reports.processProxIp = true;
  ASSERT_TRUE(run.host.ChooseTrayCommand(client::ID_DISCONNECT));
  EXPECT_EQ(run.service.Commands(), (std::vector<Bytes>{{VQ_CLOSE_CHANNEL}, {VQ_SET_AUTO_LOGON, 0, 0}}));
  EXPECT_EQ(run.calls.loginIdle, 1);
  EXPECT_EQ(run.calls.switchEvent, 1);
  EXPECT_FALSE(reports.event45Retried);
  EXPECT_FALSE(reports.proxSwitchDone);
  EXPECT_FALSE(reports.processProxIp);
  EXPECT_FALSE(run.window().Menu().IsGrayed(client::ID_CONNECT));
  EXPECT_TRUE(run.window().Menu().IsGrayed(client::ID_DISCONNECT));
}

TEST(ClientTrayCommands, LogOffClosesTheChannelThenExits) {
  TrayRun run;
  run.service.status = 4;
  run.Tick();
  run.app.LogOff();
  EXPECT_EQ(run.service.Commands(),
            (std::vector<Bytes>{{VQ_CLOSE_CHANNEL}, {VQ_SET_AUTO_LOGON, 0, 0}, {VQ_CLOSE_CHANNEL}}));
  EXPECT_NE(ReadLogText().find("ENDSESSION_LOGOFF"), std::string::npos);
  EXPECT_EQ(run.calls.loginIdle, 1);
  EXPECT_EQ(run.host.TrayIconId(), 0);
  EXPECT_FALSE(run.window().Created());
}

TEST(ClientTrayCommands, ExitReleasesAWorkerWaitingForTheUiThreadAndJoinsIt) {
  TrayRun run;
  std::atomic<bool> waiting{false};
  std::atomic<bool> released{false};
  run.app.Threads().Start([&](const platform::Event& stop) {
    waiting = true;
    // The UI thread runs Exit and pumps nothing: only the shutdown lets go.
    released = !run.host.Send([] {});
    stop.Wait();
  });
  ASSERT_TRUE(Eventually([&] { return waiting.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.host.ChooseTrayCommand(client::ID_EXIT));
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_TRUE(released);
  EXPECT_EQ(run.app.Threads().Running(), 0u);
  EXPECT_EQ(run.host.TrayIconId(), 0);
  EXPECT_EQ(run.service.Commands(), (std::vector<Bytes>{{VQ_CLOSE_CHANNEL}}));
}

TEST(ClientTrayCommands, CreationMadeTheUpdateGateAndAskedForTheLogin) {
  TrayRun run;
  EXPECT_EQ(run.calls.updateGate, 1);
  EXPECT_EQ(run.counts.loginDialog, 1);
  EXPECT_EQ(run.host.TrayIconId(), 102);
  EXPECT_EQ(run.host.TrayTip(), Tip("Disconnected"));
  EXPECT_FALSE(run.window().Menu().IsGrayed(client::ID_CONNECT));
  EXPECT_TRUE(run.window().Menu().IsGrayed(client::ID_DISCONNECT));
}

}  // namespace
