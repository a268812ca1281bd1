// The Log, Debug and About windows under the headless host, start at logon
// and automatic login on a menu that has their items, and the host-check
// error viewer. The desktop's opener is a recording script on PATH; the
// tunnel service is a fake pipe server, and the real Brindleway in the
// console for the debug trace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "client/app/client_constants.h"
#include "client/app/host_check_viewer.h"
#include "client/app/logon_toggles.h"
#include "client/store/xml_config.h"
#include "client/ui/about_dialog.h"
#include "client/ui/debug_dialog.h"
#include "client/ui/log_dialog.h"
#include "client_fixture.h"
#include "common/child_process.h"
#include "common/eventually.h"
#include "common/log_reader.h"
#include "common/recording_opener.h"
#include "platform/paths/paths.h"
#include "platform/service/service.h"
#include "platform/shell/autostart.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "tray_fixture.h"

namespace {

using namespace vqtest;
using namespace client;
using platform::ui::Dialog;
namespace ui = platform::ui;
namespace svc = platform::service;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find("\r\n", at);
    out.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 2;
  }
  return out;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// ---- Log window --------------------------------------------------------

class LogWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    log_ = OpenLogDialog(run_.app);
    ASSERT_NE(log_, nullptr);
    run_.host.RunUntilIdle();
  }
  void TearDown() override { LogCleanup(); }

  std::string Text() const { return log_->Text(IDC_LOG_TEXT); }
  int Scrolled() const { return log_->State(IDC_LOG_TEXT)->scrolledLines; }
  void Tick() { run_.host.Advance(kLogTimerMs); }

  ClientRun run_;
  Dialog* log_ = nullptr;
};

TEST_F(LogWindow, LinesLoggedBetweenTicksAppearAtTheNextTickEachOnce) {
  EXPECT_TRUE(log_->HasTimer(kLogTimerId));
  LogPrint(LOG_INFO, "first window line\n");
  EXPECT_EQ(Count(Text(), "first window line"), 0u);
  Tick();
  EXPECT_EQ(Count(Text(), "first window line"), 1u);
  LogPrint(LOG_INFO, "second window line\n");
  LogPrint(LOG_ERR, "third window line\n");
  Tick();
  const std::string text = Text();
  EXPECT_EQ(text, LogGetQueuedText());
  EXPECT_EQ(Count(text, "first window line"), 1u);
  EXPECT_EQ(Count(text, "second window line"), 1u);
  EXPECT_LT(text.find("second window line"), text.find("third window line"));
  for (const std::string& line : Lines(text)) EXPECT_FALSE(line.empty()) << text;
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  // Each change was scrolled to its end.
  EXPECT_GE(Scrolled(), 2 * kLogScrollLines);
}

TEST_F(LogWindow, AnUnchangedQueueLeavesTheTextAsItIs) {
  LogPrint(LOG_INFO, "steady line\n");
  Tick();
  const std::string text = Text();
  const int scrolled = Scrolled();
  for (int i = 0; i < 3; ++i) Tick();
  EXPECT_EQ(Text(), text);
  EXPECT_EQ(Scrolled(), scrolled);
}

TEST_F(LogWindow, AFullQueueOfLongLinesIsNotPutInAgainEachSecond) {
  // 250 lines of 255 units: more than an edit of 64000 characters holds.
  for (int i = 0; i < LOG_QUEUE_LINES; ++i) LogPrint(LOG_INFO, "%03d %s\n", i, std::string(300, 'x'));
  Tick();
  ASSERT_GT(Text().size(), 64000u);
  const int scrolled = Scrolled();
  Tick();
  Tick();
  EXPECT_EQ(Scrolled(), scrolled);
}

TEST_F(LogWindow, ClearEmptiesWindowAndQueueAndALaterLineShowsAlone) {
  LogPrint(LOG_INFO, "before clear\n");
  Tick();
  const std::string logFile = ReadLogText();
  ASSERT_TRUE(run_.host.Click(IDD_LOG, IDC_LOG_CLEAR));
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(LogGetQueuedText(), "");
  Tick();
  EXPECT_EQ(Text(), "");
  LogPrint(LOG_INFO, "after clear\n");
  Tick();
  const std::vector<std::string> lines = Lines(Text());
  ASSERT_EQ(lines.size(), 1u) << Text();
  EXPECT_NE(lines[0].find("after clear"), std::string::npos);
  // The file keeps every line.
  EXPECT_NE(ReadLogText().find("before clear"), std::string::npos);
  EXPECT_GE(ReadLogText().size(), logFile.size());
}

TEST_F(LogWindow, OnlyTheNewest250LinesAreShown) {
  for (int i = 0; i <= 250; ++i) LogPrint(LOG_INFO, "numbered line %03d\n", i);
  Tick();
  const std::vector<std::string> lines = Lines(Text());
  ASSERT_EQ(lines.size(), 250u);
  EXPECT_NE(lines.front().find("numbered line 001"), std::string::npos);
  EXPECT_NE(lines.back().find("numbered line 250"), std::string::npos);
  EXPECT_EQ(Count(Text(), "numbered line 000"), 0u);
}

TEST_F(LogWindow, OkAndEscEndItWithItsTimer) {
  ASSERT_TRUE(run_.host.Click(IDD_LOG, ui::IDOK));
  run_.host.RunUntilIdle();
  EXPECT_EQ(run_.host.FindDialog(IDD_LOG), nullptr);
  Dialog* again = OpenLogDialog(run_.app);
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(run_.host.Close(IDD_LOG));
  run_.host.RunUntilIdle();
  EXPECT_EQ(run_.host.FindDialog(IDD_LOG), nullptr);
}

TEST_F(LogWindow, DetailWithoutTheLogFolderShowsOpenLogFileFailed) {
  RecordingOpener opener(run_.root);
  const std::string file = LogFilePath();
  std::filesystem::remove_all(file.substr(0, file.rfind('/')));
  ASSERT_TRUE(run_.host.Click(IDD_LOG, IDC_LOG_DETAIL));
  run_.host.RunUntilIdle();
  ASSERT_EQ(run_.host.PendingBoxes().size(), 1u);
  EXPECT_EQ(run_.host.PendingBoxes()[0].text.stringId, IDS_OPEN_LOG_FAILED);
  EXPECT_EQ(run_.host.PendingBoxes()[0].flags & ui::MB_ICONMASK, ui::MB_ICONERROR);
  EXPECT_EQ(opener.Record(), "");
}

TEST_F(LogWindow, DetailWithoutALogFileShowsOpenLogFileFailed) {
  RecordingOpener opener(run_.root);
  const std::string file = LogFilePath();
  std::filesystem::create_directories(file.substr(0, file.rfind('/')));
  std::filesystem::remove(file);
  ASSERT_TRUE(run_.host.Click(IDD_LOG, IDC_LOG_DETAIL));
  run_.host.RunUntilIdle();
  ASSERT_EQ(run_.host.PendingBoxes().size(), 1u);
  EXPECT_EQ(run_.host.PendingBoxes()[0].text.stringId, IDS_OPEN_LOG_FAILED);
  EXPECT_EQ(opener.Record(), "");
}

TEST_F(LogWindow, DetailOpensAUtf8CopyOfTheLogFile) {
  RecordingOpener opener(run_.root);
  LogPrint(LOG_INFO, "café au lait\n");
  LogPrint(LOG_INFO, "中文日志行\n");
  ASSERT_TRUE(run_.host.Click(IDD_LOG, IDC_LOG_DETAIL));
  run_.host.RunUntilIdle();
  EXPECT_TRUE(run_.host.PendingBoxes().empty());
  const std::string copy = platform::paths::UserTempDir() + "/" + kLogCopyName;
  ASSERT_TRUE(Eventually([&] { return opener.Called(); }));
  EXPECT_EQ(opener.Record(), "1 [" + copy + "]\n");

  const std::string bytes = ReadFileBytes(copy);
  EXPECT_EQ(bytes, ReadLogText());
  EXPECT_EQ(bytes.find('\0'), std::string::npos);
  const std::vector<std::string> lines = Lines(bytes);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[lines.size() - 2].find("café au lait"), std::string::npos) << bytes;
  EXPECT_NE(lines.back().find("中文日志行"), std::string::npos) << bytes;
  struct stat st{};
  ASSERT_EQ(::stat(copy.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // The next Detail replaces the copy with the log as it is then.
  LogPrint(LOG_INFO, "one more line\n");
  ASSERT_TRUE(run_.host.Click(IDD_LOG, IDC_LOG_DETAIL));
  ASSERT_TRUE(Eventually([&] { return Count(opener.Record(), "\n") == 2; }));
  EXPECT_NE(ReadFileBytes(copy).find("one more line"), std::string::npos);
}

// ---- Debug window ------------------------------------------------------

class DebugWindow : public ::testing::Test {
 protected:
  // The trace-mask requests the service got.
  std::vector<FakePipeServer::Bytes> MaskRequests() {
    std::vector<FakePipeServer::Bytes> out;
    for (auto& m : service_.Commands())
      if (!m.empty() && m[0] == 5) out.push_back(m);
    return out;
  }

  ClientRun run_;
  FakeTunnelService service_;
};

TEST_F(DebugWindow, OkSendsTheMaskOfTheTickedBoxesAndUndebugWins) {
  const struct {
    std::vector<int> ticked;
    uint32_t mask;
  } cases[] = {
      {{}, 0},
      {{IDC_DEBUG_BASIC}, 1},
      {{IDC_DEBUG_EVENTS, IDC_DEBUG_PACKETS}, 6},
      {{IDC_DEBUG_BASIC, IDC_DEBUG_EVENTS, IDC_DEBUG_PACKETS}, 7},
      {{IDC_UNDEBUG, IDC_DEBUG_BASIC, IDC_DEBUG_PACKETS}, 0},
  };
  size_t sent = 0;
  for (const auto& c : cases) {
    Dialog* d = OpenDebugDialog(run_.app);
    ASSERT_NE(d, nullptr);
    run_.host.RunUntilIdle();
    for (int id : {IDC_UNDEBUG, IDC_DEBUG_BASIC, IDC_DEBUG_PACKETS, IDC_DEBUG_EVENTS})
      EXPECT_FALSE(d->IsChecked(id)) << "opens with no box ticked";
    for (int id : c.ticked) ASSERT_TRUE(run_.host.Check(IDD_DEBUG, id, true));
    ASSERT_TRUE(run_.host.Click(IDD_DEBUG, ui::IDOK));
    run_.host.RunUntilIdle();
    EXPECT_EQ(run_.host.FindDialog(IDD_DEBUG), nullptr);
    const auto requests = MaskRequests();
    ASSERT_EQ(requests.size(), ++sent);
    EXPECT_EQ(requests.back(), (FakePipeServer::Bytes{5, static_cast<uint8_t>(c.mask), 0, 0, 0})) << c.mask;
  }
}

TEST_F(DebugWindow, CancelAndEscSendNothing) {
  ASSERT_NE(OpenDebugDialog(run_.app), nullptr);
  run_.host.RunUntilIdle();
  ASSERT_TRUE(run_.host.Check(IDD_DEBUG, IDC_DEBUG_EVENTS, true));
  ASSERT_TRUE(run_.host.Click(IDD_DEBUG, ui::IDCANCEL));
  run_.host.RunUntilIdle();
  ASSERT_NE(OpenDebugDialog(run_.app), nullptr);
  run_.host.RunUntilIdle();
  ASSERT_TRUE(run_.host.Close(IDD_DEBUG));
  run_.host.RunUntilIdle();
  EXPECT_EQ(run_.host.FindDialog(IDD_DEBUG), nullptr);
  EXPECT_TRUE(MaskRequests().empty());
}

// The real tunnel service in the console: "Debug events" makes every poll
// of the client leave its keep-alive line in the log; "Undebug" stops it.
TEST(DebugWindowReal, DebugEventsTracesEachPollUntilUndebug) {
  ClientRun run;
  ChildProcess service({BRINDLEWAY_PATH});
  ASSERT_TRUE(Eventually([&run] { return run.app.Link().SendInqueryCommand() == 0; }));
  const char kKeepAlive[] = "Receive keep-alive message from GUI";
  const auto setMask = [&run](int box) {
    ASSERT_NE(OpenDebugDialog(run.app), nullptr);
    run.host.RunUntilIdle();
    ASSERT_TRUE(run.host.Check(IDD_DEBUG, box, true));
    ASSERT_TRUE(run.host.Click(IDD_DEBUG, ui::IDOK));
    run.host.RunUntilIdle();
  };
  setMask(IDC_DEBUG_EVENTS);
  const size_t before = Count(ReadLogText(), kKeepAlive);
  for (int poll = 0; poll < 3; ++poll) ASSERT_EQ(run.app.Link().SendInqueryCommand(), 0);
  ASSERT_TRUE(Eventually([&] { return Count(ReadLogText(), kKeepAlive) >= before + 3; }));

  setMask(IDC_UNDEBUG);
  // The mask is taken before the reply: nothing is traced from here on.
  const size_t traced = Count(ReadLogText(), kKeepAlive);
  for (int poll = 0; poll < 3; ++poll) ASSERT_EQ(run.app.Link().SendInqueryCommand(), 0);
  EXPECT_EQ(Count(ReadLogText(), kKeepAlive), traced);
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(20000), 0);
}

// ---- About box ---------------------------------------------------------

TEST(AboutBox, ShowsTheDefaultVersionWhenNoneIsStoredAndLogsIt) {
  ClientRun run;
  LogInit(nullptr);
  Dialog* about = OpenAboutDialog(run.host);
  ASSERT_NE(about, nullptr);
  run.host.RunUntilIdle();
  EXPECT_EQ(about->Text(IDC_ABOUT_VERSION), "1.0.1.0000");
  const std::string log = ReadLogText();
  const size_t line = log.rfind("Get product version failed");
  ASSERT_NE(line, std::string::npos);
  EXPECT_NE(log.substr(log.rfind('\n', line) + 1, line).find(" LOG_ERR "), std::string::npos);
  ASSERT_TRUE(run.host.Click(IDD_ABOUT, ui::IDOK));
  run.host.RunUntilIdle();
  EXPECT_EQ(run.host.FindDialog(IDD_ABOUT), nullptr);
}

TEST(AboutBox, ShowsTheStoredVersionAsItStands) {
  ClientRun run;
  ASSERT_EQ(RegWriteProductValue("ProductVer", "2.3.4.5678"), 0);
  Dialog* about = OpenAboutDialog(run.host);
  ASSERT_NE(about, nullptr);
  run.host.RunUntilIdle();
  EXPECT_EQ(about->Text(IDC_ABOUT_VERSION), "2.3.4.5678");
}

// ---- The tray's dialog registry ----------------------------------------

TEST(SmallWindows, LogDebugAndAboutOpenFromTheirMenuCommands) {
  TrayRun run;
  ASSERT_TRUE(run.started);
  for (const auto& [command, templ] :
       std::vector<std::pair<int, int>>{{ID_LOG, IDD_LOG}, {ID_DEBUG, IDD_DEBUG}, {ID_ABOUT, IDD_ABOUT}}) {
    run.window().OnCommand(command);
    run.host.RunUntilIdle();
    Dialog* d = run.host.FindDialog(templ);
    ASSERT_NE(d, nullptr) << command;
    EXPECT_EQ(d->modality(), ui::Modality::Modal);
    // A second command brings the open one forward.
    run.window().OnCommand(command);
    run.host.RunUntilIdle();
    EXPECT_EQ(run.host.FindDialog(templ), d);
    d->EndDialog(ui::IDCANCEL);
    run.host.RunUntilIdle();
  }
}

// ---- Start at logon and automatic login --------------------------------

class AutoStartMenu : public ::testing::Test {
 protected:
  AutoStartMenu() {
    menu_.Append(ID_AUTO_START, "Start at logon");
    menu_.Append(ID_AUTO_LOGIN, "Automatic login");
  }
  std::string Entry() const { return root_.At("/home/.config/autostart/Marrowlantern.desktop"); }
  // A store whose LOGININFO has the given AUTOLOGIN element, or none.
  void LoadStore(const char* autoLogin) {
    const std::string path = root_.At("/OrlimbConfig.xml");
    std::string xml = "<KOVCONFIG><CONFIGVERS>1.0</CONFIGVERS><LOGININFO><USERINFO/><CURRENTUSER/>";
    if (autoLogin) xml += std::string("<AUTOLOGIN>") + autoLogin + "</AUTOLOGIN>";
    WriteFileBytes(path, xml + "</LOGININFO></KOVCONFIG>");
    ASSERT_TRUE(store_.Load(path));
  }

  TempRoot root_;
  ui::MenuModel menu_{kTrayMenuId};
  CXmlConfig store_;
};

TEST_F(AutoStartMenu, TogglingTwiceLeavesNoEntryBehind) {
  const std::string program = "/opt/my apps/$HOME/Marrowlantern";
  ToggleAutoStart(menu_, program);
  EXPECT_TRUE(menu_.IsChecked(ID_AUTO_START));
  EXPECT_EQ(ReadFileBytes(Entry()),
            "[Desktop Entry]\nType=Application\nName=Marrowlantern\n"
            "Exec=\"/opt/my apps/\\\\$HOME/Marrowlantern\"\n");
  EXPECT_TRUE(HasClientAutoStart());
  ToggleAutoStart(menu_, program);
  EXPECT_FALSE(menu_.IsChecked(ID_AUTO_START));
  EXPECT_FALSE(PathExists(Entry()));
  EXPECT_FALSE(HasClientAutoStart());
}

TEST_F(AutoStartMenu, TheMarkFollowsWhatWasWritten) {
  // No program path: nothing written, and no mark.
  ToggleAutoStart(menu_, "");
  EXPECT_FALSE(menu_.IsChecked(ID_AUTO_START));
  EXPECT_FALSE(PathExists(Entry()));
  // The entry cannot be written: no mark either.
  WriteFileBytes(root_.At("/home/.config/autostart"), "a file where the folder belongs");
  ToggleAutoStart(menu_, "/opt/tarnwickgate/bin/Marrowlantern");
  EXPECT_FALSE(menu_.IsChecked(ID_AUTO_START));
}

TEST_F(AutoStartMenu, TogglesDoNothingOnAMenuWithoutTheirItems) {
  ui::MenuModel tray(kTrayMenuId);
  tray.Append(ID_LOG, "Log");
  LoadStore("0");
  ToggleAutoStart(tray, "/opt/tarnwickgate/bin/Marrowlantern");
  ToggleAutoLogin(tray, store_);
  EXPECT_FALSE(PathExists(Entry()));
  EXPECT_EQ(store_.GetAutoLogin(), "0");
  EXPECT_EQ(tray.size(), 1u);
}

TEST_F(AutoStartMenu, UpdateMenuChecksReadsAutoLoginAndTheEntry) {
  const struct {
    const char* autoLogin;
    bool before;
    bool after;
  } cases[] = {
      {nullptr, true, true}, {nullptr, false, false}, {"1", false, true}, {"0", true, false}, {"yes", true, false},
  };
  for (const auto& c : cases) {
    LoadStore(c.autoLogin);
    menu_.SetChecked(ID_AUTO_LOGIN, c.before);
    UpdateMenuChecks(menu_, store_);
    EXPECT_EQ(menu_.IsChecked(ID_AUTO_LOGIN), c.after) << (c.autoLogin ? c.autoLogin : "none");
  }
  EXPECT_FALSE(menu_.IsChecked(ID_AUTO_START));
  ASSERT_EQ(platform::shell::SetAutoStart(kAutoStartName, "/x"), 0u);
  UpdateMenuChecks(menu_, store_);
  EXPECT_TRUE(menu_.IsChecked(ID_AUTO_START));
  // An entry the desktop counts as deleted is no start at logon.
  WriteFileBytes(Entry(), "[Desktop Entry]\nType=Application\nExec=/x\nHidden=true\n");
  UpdateMenuChecks(menu_, store_);
  EXPECT_FALSE(menu_.IsChecked(ID_AUTO_START));
}

TEST_F(AutoStartMenu, ToggleAutoLoginWritesZeroAndOne) {
  LoadStore("1");
  menu_.SetChecked(ID_AUTO_LOGIN, true);
  ToggleAutoLogin(menu_, store_);
  EXPECT_FALSE(menu_.IsChecked(ID_AUTO_LOGIN));
  CXmlConfig reread;
  ASSERT_TRUE(reread.Load(root_.At("/OrlimbConfig.xml")));
  EXPECT_EQ(reread.GetAutoLogin(), "0");
  ToggleAutoLogin(menu_, store_);
  EXPECT_TRUE(menu_.IsChecked(ID_AUTO_LOGIN));
  ASSERT_TRUE(reread.Load(root_.At("/OrlimbConfig.xml")));
  EXPECT_EQ(reread.GetAutoLogin(), "1");
}

TEST(AutoStartHooks, TheTrayAsksTheEntry) {
  ClientRun run;
  const ClientHooks hooks = WithDefaults({});
  EXPECT_EQ(hooks.hasAutoStart(run.app), 0);
  ASSERT_EQ(platform::shell::SetAutoStart(kAutoStartName, "/opt/tarnwickgate/bin/Marrowlantern"), 0u);
  EXPECT_EQ(hooks.hasAutoStart(run.app), 1);
}

// ---- Host-check error viewer -------------------------------------------

class HostCheckViewer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(folder_);
    uint32_t error = 0;
    auto manager = svc::OpenServiceManager(error);
    ASSERT_NE(manager, nullptr);
    svc::ServiceConfig config;
    config.name = kTunnelServiceName;
    config.binaryPathName = "\"" + folder_ + "/Brindleway\" -s";
    ASSERT_EQ(manager->CreateService(config), 0u);
  }

  TempRoot root_;
  RecordingOpener opener_{root_};
  std::string folder_ = root_.At("/opt/tarnwick gate/bin");
};

TEST_F(HostCheckViewer, TheServiceFoldersFileIsOpened) {
  EXPECT_EQ(TunnelServiceFolder(), folder_);
  const std::string file = folder_ + "/HostCheckErrorInfo.txt";
  WriteFileBytes(file, "Antivirus missing\n");
  EXPECT_TRUE(ShowHostCheckErrorInfo());
  ASSERT_TRUE(Eventually([&] { return opener_.Called(); }));
  EXPECT_EQ(opener_.Record(), "1 [" + file + "]\n");
}

TEST_F(HostCheckViewer, AMissingFileOpensNothing) {
  // The same name in the current folder is not the service's.
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(root_.path());
  WriteFileBytes(root_.At("/HostCheckErrorInfo.txt"), "elsewhere\n");
  EXPECT_FALSE(ShowHostCheckErrorInfo());
  // A folder of that name is not a file either.
  std::filesystem::create_directories(folder_ + "/HostCheckErrorInfo.txt");
  EXPECT_FALSE(ShowHostCheckErrorInfo());
  std::filesystem::current_path(cwd);
  EXPECT_EQ(opener_.Record(), "");
}

TEST(HostCheckViewerNoService, WithoutTheServiceEntryNothingOpens) {
  TempRoot root;
  RecordingOpener opener(root);
  EXPECT_EQ(TunnelServiceFolder(), "");
  EXPECT_FALSE(ShowHostCheckErrorInfo());
  EXPECT_EQ(opener.Record(), "");
}

}  // namespace
