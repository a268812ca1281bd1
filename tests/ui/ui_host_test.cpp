#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "common/eventually.h"
#include "common/temp_root.h"
#include "platform/ui/dialog.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/win32_ui.h"
#include "ui/test_template.h"

namespace platform::ui {
namespace {

using vqtest::Recorder;
using vqtest::TestLogic;

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Logic that hands every call to a function of the test.
struct Hooks : DialogLogic {
  std::function<void(Dialog&)> init;
  std::function<void(Dialog&, int, int)> command;
  std::function<void(Dialog&, uint32_t)> timer;
  void OnInit(Dialog& d) override {
    if (init) init(d);
  }
  void OnCommand(Dialog& d, int id, int code) override {
    if (command) command(d, id, code);
  }
  void OnTimer(Dialog& d, uint32_t id) override {
    if (timer) timer(d, id);
  }
};

class HeadlessHostTest : public ::testing::Test {
 protected:
  HeadlessHostTest() { host.SetStrings(vqtest::TestStrings(1033)); }

  Dialog* OpenTest(std::shared_ptr<Recorder> recorder, DialogEnd onEnd = {}) {
    return host.OpenDialog(vqtest::TestTemplate(), nullptr, std::make_unique<TestLogic>(recorder),
                           Modality::Modeless, std::move(onEnd));
  }

  FakeClock clock;
  HeadlessHost host{clock};
};

TEST_F(HeadlessHostTest, PostsFromManyThreadsKeepEachThreadsOrder) {
  constexpr int kThreads = 8, kEach = 500;
  std::map<int, std::vector<int>> seen;  // UI thread only
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) ASSERT_TRUE(host.Post([&seen, t, i] { seen[t].push_back(i); }));
    });
  // Runs while the threads still post.
  for (int round = 0; round < 50; ++round) host.RunUntilIdle();
  for (auto& th : threads) th.join();
  host.RunUntilIdle();
  ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads));
  for (auto& [t, order] : seen) {
    ASSERT_EQ(order.size(), static_cast<size_t>(kEach)) << "thread " << t;
    for (int i = 0; i < kEach; ++i) ASSERT_EQ(order[i], i) << "thread " << t;
  }
}

TEST_F(HeadlessHostTest, SendFromAWorkerWaitsForThePumpAndRunsInlineOnTheUiThread) {
  int ran = 0;
  EXPECT_TRUE(host.Send([&] { ++ran; }));
  EXPECT_EQ(ran, 1) << "inline on the UI thread, no pump needed";

  std::atomic<bool> returned{false};
  std::atomic<std::thread::id> ranOn{};
  std::thread worker([&] {
    EXPECT_TRUE(host.Send([&] { ranOn = std::this_thread::get_id(); }));
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned) << "Send returned before the UI thread ran it";
  ASSERT_TRUE(vqtest::Eventually([&] {
    host.RunUntilIdle();
    return returned.load();
  }));
  worker.join();
  EXPECT_EQ(ranOn.load(), std::this_thread::get_id());
}

TEST_F(HeadlessHostTest, ShutdownReleasesThreadsWaitingInSendAndBoxWait) {
  std::atomic<int> boxResult{-1}, sendResult{-1};
  std::thread asker([&] { boxResult = host.MessageBoxWait("Are you sure to exit?", "Thimbleset", MB_YESNO); });
  // The box is shown once the UI thread ran the asker's post; nobody answers.
  ASSERT_TRUE(vqtest::Eventually([&] {
    host.RunUntilIdle();
    return !host.PendingBoxes().empty();
  }));
  // No pump runs from here on: the sender waits until shutdown.
  std::thread sender([&] { sendResult = host.Send([] { ADD_FAILURE() << "ran after shutdown"; }) ? 1 : 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  host.BeginShutdown();
  sender.join();
  asker.join();
  EXPECT_EQ(boxResult.load(), IDCANCEL);
  EXPECT_EQ(sendResult.load(), 0);
  EXPECT_FALSE(host.Post([] { ADD_FAILURE() << "posted after shutdown"; }));
  EXPECT_FALSE(host.Send([] { ADD_FAILURE() << "sent after shutdown"; }));
  host.RunUntilIdle();  // what was queued does not run now either
}

TEST_F(HeadlessHostTest, AWorkerWaitsForItsDialogUntilItEndsOrShutdown) {
  // Ended by the user: the worker gets the result after onEnd read the dialog.
  std::atomic<int> result{-1};
  auto seen = std::make_shared<std::string>();
  auto hooks = std::make_unique<Hooks>();
  hooks->command = [](Dialog& d, int id, int) { d.EndDialog(id); };
  std::thread worker([&] {
    result = host.DialogWait(vqtest::OwnedTemplate(), std::move(hooks),
                             [seen](Dialog& d, int) { *seen = d.Ended() ? "ended" : "open"; });
  });
  ASSERT_TRUE(vqtest::Eventually([&] {
    host.RunUntilIdle();
    return host.FindDialog(vqtest::kOwnedTemplate) != nullptr;
  }));
  EXPECT_EQ(result.load(), -1);
  ASSERT_TRUE(host.Click(vqtest::kOwnedTemplate, IDOK));
  ASSERT_TRUE(vqtest::Eventually([&] {
    host.RunUntilIdle();
    return result.load() != -1;
  }));
  worker.join();
  EXPECT_EQ(result.load(), IDOK);
  EXPECT_EQ(*seen, "ended");
  EXPECT_EQ(host.DialogWait(vqtest::OwnedTemplate(), std::make_unique<Hooks>()), IDCANCEL)
      << "the UI thread would wait for itself";

  // Nobody ends it: shutdown lets the worker go.
  std::thread waiting([&] { result = host.DialogWait(vqtest::OwnedTemplate(), std::make_unique<Hooks>()); });
  ASSERT_TRUE(vqtest::Eventually([&] {
    host.RunUntilIdle();
    return host.FindDialog(vqtest::kOwnedTemplate) != nullptr;
  }));
  host.BeginShutdown();
  waiting.join();
  EXPECT_EQ(result.load(), IDCANCEL);
}

TEST_F(HeadlessHostTest, ATimerKilledInAnothersTickNeverFires) {
  std::vector<uint32_t> ticks;
  auto hooks = std::make_unique<Hooks>();
  hooks->init = [](Dialog& d) {
    d.SetTimer(1, 1000);
    d.SetTimer(2, 1000);  // due at the same time, after 1
  };
  hooks->timer = [&](Dialog& d, uint32_t id) {
    ticks.push_back(id);
    if (id == 1) d.KillTimer(2);
  };
  host.OpenDialog(vqtest::OwnedTemplate(), nullptr, std::move(hooks), Modality::Modeless);
  host.Advance(3000);
  EXPECT_EQ(ticks, (std::vector<uint32_t>{1, 1, 1}));
}

TEST_F(HeadlessHostTest, AdvanceFiresTimersInDeadlineOrderAtTheirDeadline) {
  std::vector<std::pair<uint32_t, int64_t>> ticks;
  auto hooks = std::make_unique<Hooks>();
  hooks->init = [](Dialog& d) {
    d.SetTimer(7, 700);
    d.SetTimer(3, 300);
  };
  hooks->timer = [&](Dialog&, uint32_t id) { ticks.push_back({id, clock.NowMs()}); };
  Dialog* d = host.OpenDialog(vqtest::OwnedTemplate(), nullptr, std::move(hooks), Modality::Modeless);
  host.Advance(1500);
  EXPECT_EQ(ticks, (std::vector<std::pair<uint32_t, int64_t>>{{3, 300}, {3, 600}, {7, 700}, {3, 900}, {3, 1200},
                                                               {7, 1400}, {3, 1500}}));
  EXPECT_EQ(clock.NowMs(), 1500);
  d->SetTimer(3, 100);  // same id: restarted with the new period
  ticks.clear();
  host.Advance(250);
  EXPECT_EQ(ticks, (std::vector<std::pair<uint32_t, int64_t>>{{3, 1600}, {3, 1700}}));
  d->EndDialog(IDOK);
  ticks.clear();
  host.Advance(5000);
  EXPECT_TRUE(ticks.empty()) << "an ended dialog's timers are gone";
}

TEST_F(HeadlessHostTest, DialogTextsComeFromTheStringTableAndEscCancelsOnce) {
  auto recorder = std::make_shared<Recorder>();
  std::vector<int> ends;
  Dialog* d = OpenTest(recorder, [&](Dialog& ended, int result) {
    ends.push_back(result);
    EXPECT_EQ(ended.Text(vqtest::kServerEdit), "gw") << "the model is readable in the continuation";
  });
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Caption(), "Connection Test");
  EXPECT_EQ(d->Text(kFirstLabelId), "Server");
  EXPECT_EQ(d->Text(vqtest::kOkButton), "OK");
  EXPECT_TRUE(d->IsShown());
  EXPECT_EQ(host.FindDialog(vqtest::kTestTemplate), d);
  EXPECT_NE(host.FindDialog(vqtest::kTestPage), nullptr) << "its page is open too";
  EXPECT_TRUE(host.SetText(vqtest::kTestTemplate, vqtest::kServerEdit, "gw"));
  EXPECT_TRUE(host.Close(vqtest::kTestTemplate));
  EXPECT_EQ(recorder->Count("command 2 0"), 1);
  EXPECT_TRUE(ends.empty()) << "the continuation runs after the handler, from the pump";
  EXPECT_EQ(host.FindDialog(vqtest::kTestTemplate), nullptr);
  EXPECT_EQ(host.FindDialog(vqtest::kTestPage), nullptr) << "the page ended with it";
  EXPECT_FALSE(host.Close(vqtest::kTestTemplate));
  host.RunUntilIdle();
  EXPECT_EQ(ends, (std::vector<int>{IDCANCEL}));
}

TEST_F(HeadlessHostTest, UserInputReachesTheModelBeforeTheLogic) {
  auto recorder = std::make_shared<Recorder>();
  Dialog* d = OpenTest(recorder);
  using namespace vqtest;
  EXPECT_TRUE(host.SetText(kTestTemplate, kPasswordEdit, "secret-password"));
  EXPECT_EQ(d->Text(kPasswordEdit), "secret-p") << "cut to the limit of 8";
  EXPECT_TRUE(host.SetText(kTestTemplate, kPasswordEdit, "secret-pXYZ"));  // the same after the cut
  EXPECT_TRUE(host.Click(kTestTemplate, kRememberCheck));
  EXPECT_TRUE(host.Click(kTestTemplate, kModeKey));
  EXPECT_TRUE(host.Select(kTestTemplate, kLoginModeCombo, 2));
  EXPECT_TRUE(host.Select(kTestTemplate, kCertList, 1));
  EXPECT_FALSE(host.Select(kTestTemplate, kCertList, 3)) << "no such item";
  EXPECT_TRUE(host.SetText(kTestTemplate, kAliasCombo, "lab"));
  EXPECT_FALSE(host.SetText(kTestTemplate, kLogEdit, "typed")) << "read-only";
  EXPECT_FALSE(host.Click(kTestTemplate, kFirstLabelId)) << "a label is not clicked";
  d->Enable(kOkButton, false);
  EXPECT_FALSE(host.Click(kTestTemplate, kOkButton));
  d->Enable(kOkButton, true);
  d->SetVisible(kOkButton, false);
  EXPECT_FALSE(host.Click(kTestTemplate, kOkButton));
  std::vector<std::string> expected = {
      "init",
      "command 1002 768 text=secret-p",
      "command 1066 0 checked=1",
      "command 1059 0 checked=1",
      "command 1076 1 selection=2",
      "command 1008 1 selection=1",
      "command 1053 5 text=lab",
  };
  EXPECT_EQ(recorder->calls, expected);
  EXPECT_FALSE(d->IsChecked(kModePassword)) << "the other radio of the group";
  EXPECT_EQ(d->Text(kLoginModeCombo), "UKey");
}

TEST_F(HeadlessHostTest, AModalDialogBlocksItsOwnerWhileTheTrayMenuStillWorks) {
  auto recorder = std::make_shared<Recorder>();
  Dialog* owner = OpenTest(recorder);
  MenuModel menu = host.LoadMenu(109, {40011, 40012, 0, 40013});
  std::vector<int> commands;
  host.SetTrayMenu(&menu, [&](int c) { commands.push_back(c); });
  int endedWith = 0;
  Dialog* modal = host.OpenDialog(vqtest::OwnedTemplate(), owner, std::make_unique<Hooks>(), Modality::Modal,
                                  [&](Dialog&, int r) { endedWith = r; });
  EXPECT_TRUE(owner->Blocked());
  EXPECT_FALSE(host.Click(vqtest::kTestTemplate, vqtest::kOkButton));
  EXPECT_FALSE(host.Close(vqtest::kTestTemplate));
  EXPECT_FALSE(host.SetText(vqtest::kTestTemplate, vqtest::kServerEdit, "x"));
  EXPECT_TRUE(host.ChooseTrayCommand(40012)) << "the tray menu is not blocked";
  menu.SetGrayed(40011, true);
  EXPECT_FALSE(host.ChooseTrayCommand(40011)) << "grayed";
  EXPECT_EQ(commands, (std::vector<int>{40012}));
  EXPECT_EQ(menu.items()[0].text, "Connect");
  modal->EndDialog(IDOK);
  EXPECT_FALSE(owner->Blocked());
  EXPECT_TRUE(host.Click(vqtest::kTestTemplate, vqtest::kCancelButton));
  host.RunUntilIdle();
  EXPECT_EQ(endedWith, IDOK);
  host.SetTrayMenu(nullptr, {});
}

TEST_F(HeadlessHostTest, ABoxBlocksItsOwnerUntilAnsweredAndUnansweredBoxesStayListed) {
  auto recorder = std::make_shared<Recorder>();
  Dialog* d = OpenTest(recorder);
  EXPECT_TRUE(host.Click(vqtest::kTestTemplate, vqtest::kReapplyButton));
  ASSERT_EQ(host.PendingBoxes().size(), 1u);
  EXPECT_EQ(host.PendingBoxes()[0].text.text, "Send the code again?");
  EXPECT_EQ(host.PendingBoxes()[0].text.stringId, vqtest::kReapplyQuestion);
  EXPECT_EQ(host.PendingBoxes()[0].ownerTemplate, vqtest::kTestTemplate);
  EXPECT_FALSE(host.Click(vqtest::kTestTemplate, vqtest::kOkButton)) << "blocked by its box";
  host.Advance(60000);
  ASSERT_EQ(host.PendingBoxes().size(), 1u) << "nobody answered";
  EXPECT_FALSE(host.Answer("another text", IDYES));
  EXPECT_TRUE(host.Answer("Send the code again?", IDYES));
  EXPECT_TRUE(host.PendingBoxes().empty());
  EXPECT_EQ(recorder->Count("answer 6"), 1);
  EXPECT_EQ(d->Progress(vqtest::kProgress), 100);
  EXPECT_TRUE(host.Click(vqtest::kTestTemplate, vqtest::kOkButton));
}

TEST_F(HeadlessHostTest, ABoxOfAnEndedDialogIsDroppedUnanswered) {
  auto recorder = std::make_shared<Recorder>();
  Dialog* d = OpenTest(recorder);
  host.Click(vqtest::kTestTemplate, vqtest::kReapplyButton);
  d->EndDialog(IDCANCEL);
  EXPECT_TRUE(host.PendingBoxes().empty());
  host.RunUntilIdle();
  EXPECT_EQ(recorder->Count("answer 2"), 0) << "no continuation into a dialog that is gone";
}

TEST_F(HeadlessHostTest, AScriptAnswersBoxesAndDrivesDialogs) {
  std::string error;
  auto script = UiScript::Parse(
      "box 9001 IDNO\n"
      "dialog 900 text 1003 \"gw.example\"\n"
      "dialog 900 click 1067\n"
      "dialog 900 click 1\n",
      &error);
  ASSERT_TRUE(script) << error;
  host.SetScript(std::move(*script));
  auto recorder = std::make_shared<Recorder>();
  int result = 0;
  std::string server;
  OpenTest(recorder, [&](Dialog& d, int r) {
    result = r;
    server = d.Text(vqtest::kServerEdit);
  });
  host.RunUntilIdle();
  EXPECT_EQ(recorder->Count("answer 7"), 1);
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(server, "gw.example");
}

TEST_F(HeadlessHostTest, AScriptWaitsUntilItsControlTakesInput) {
  std::string error;
  auto script = UiScript::Parse("dialog 900 wait 1\ndialog 900 click 1\n", &error);
  ASSERT_TRUE(script) << error;
  host.SetScript(std::move(*script));
  auto recorder = std::make_shared<Recorder>();
  int result = 0;
  Dialog* d = OpenTest(recorder, [&](Dialog&, int r) { result = r; });
  ASSERT_NE(d, nullptr);
  d->SetVisible(vqtest::kOkButton, false);
  host.RunUntilIdle();
  host.Advance(1000);
  EXPECT_EQ(result, 0) << "a click on a hidden button would be lost";
  EXPECT_EQ(host.FindDialog(vqtest::kTestTemplate), d);
  d->SetVisible(vqtest::kOkButton, true);
  host.Advance(100);
  EXPECT_EQ(result, IDOK);
}

TEST_F(HeadlessHostTest, AWorkerReachesADialogOnlyByPosting) {
  auto recorder = std::make_shared<Recorder>();
  OpenTest(recorder);
  std::thread worker([&] { EXPECT_TRUE(host.PostToDialog(vqtest::kTestTemplate, WM_USER + 400, 5)); });
  worker.join();
  EXPECT_EQ(recorder->Count("message 1424 5"), 0) << "nothing runs before the pump";
  host.RunUntilIdle();
  EXPECT_EQ(recorder->Count("message 1424 5"), 1);
  EXPECT_TRUE(host.PostToDialog(4242, WM_USER + 1)) << "no dialog of that template: nothing happens";
  host.RunUntilIdle();
}

TEST_F(HeadlessHostTest, LoadStringCutsBetweenCharacters) {
  EXPECT_EQ(host.LoadString(9002), "a\xF0\x9F\x98\x80" "b");
  EXPECT_EQ(host.LoadString(9002, 2), "a");
  EXPECT_EQ(host.LoadString(9002, 3), "a\xF0\x9F\x98\x80");
  EXPECT_EQ(host.LoadString(123456), "");
  host.SetStrings(vqtest::TestStrings(2052));
  EXPECT_EQ(host.LoadString(900000001), "\xE7\xA1\xAE\xE5\xAE\x9A");  // 确定
}

TEST_F(HeadlessHostTest, RunEndsWithTheCodeAWorkerQuitsWith) {
  std::thread worker([&] {
    host.Post([&] { host.Quit(3); });
  });
  EXPECT_EQ(host.Run(), 3);
  worker.join();
}

TEST(HeadlessHostScriptTest, AProgramTakesItsScriptFromTheEnvironment) {
  vqtest::TempRoot root;
  const std::string path = root.At("/answers.txt");
  vqtest::WriteFileBytes(path, "dialog 902 end 6\n");
  ::setenv("VQ_UI_SCRIPT", path.c_str(), 1);
  HeadlessHost host;
  ::unsetenv("VQ_UI_SCRIPT");
  int result = 0;
  host.OpenDialog(vqtest::OwnedTemplate(), nullptr, std::make_unique<Hooks>(), Modality::Modal,
                  [&](Dialog&, int r) { result = r; });
  host.RunUntilIdle();
  EXPECT_EQ(result, IDYES);

  vqtest::WriteFileBytes(path, "dialog 902 wave\n");
  ::setenv("VQ_UI_SCRIPT", path.c_str(), 1);
  EXPECT_THROW(HeadlessHost{}, std::runtime_error) << "a script that is not one stops the program";
  ::unsetenv("VQ_UI_SCRIPT");
}

TEST_F(HeadlessHostTest, TheUiLogHasALinePerEffectAndNoTypedText) {
  vqtest::TempRoot root;
  const std::string path = root.At("/ui.log");
  host.SetLogFile(path);
  host.SetTrayIcon(102, "Tarnwickgate Marrowlantern - Disconnected");
  host.SetTrayIcon(102, "Tarnwickgate Marrowlantern - Disconnected");  // no change, no line
  host.ShowBalloon("Tarnwickgate Marrowlantern", "Connected", BalloonIcon::Info);
  MenuModel menu = host.LoadMenu(109, {40011, 40013});
  host.SetTrayMenu(&menu, {});
  menu.Insert(1, 40024, "Change Password");
  menu.SetGrayed(40011, true);
  auto recorder = std::make_shared<Recorder>();
  OpenTest(recorder);
  host.SetText(vqtest::kTestTemplate, vqtest::kPasswordEdit, "hunter2");
  host.Click(vqtest::kTestTemplate, vqtest::kReapplyButton);
  host.Answer("", IDYES);
  host.Click(vqtest::kTestTemplate, vqtest::kOkButton);
  host.RemoveTrayIcon();
  host.SetTrayMenu(nullptr, {});
  const std::vector<std::string> expected = {
      R"({"event":"tray","ms":0,"icon":102,"tip":"Tarnwickgate Marrowlantern - Disconnected"})",
      R"({"event":"balloon","ms":0,"title":"Tarnwickgate Marrowlantern","text":"Connected","icon":"info"})",
      R"({"event":"menu","ms":0,"menu":109,"change":"insert","command":40024,"position":1})",
      R"({"event":"menu","ms":0,"menu":109,"change":"gray","command":40011,"position":0,"grayed":true})",
      R"({"event":"dialog_open","ms":0,"template":900,"owner":0,"modal":false})",
      R"({"event":"box","ms":0,"owner":900,"text":"Send the code again?","string":9001,"caption":"Connection Test","flags":36})",
      R"({"event":"box_answer","ms":0,"text":"Send the code again?","answer":6})",
      R"({"event":"dialog_end","ms":0,"template":900,"result":1})",
      R"({"event":"tray_remove","ms":0})",
  };
  EXPECT_EQ(Lines(path), expected);
  EXPECT_EQ(vqtest::ReadFileBytes(path).find("hunter2"), std::string::npos);
}

}  // namespace
}  // namespace platform::ui
