// The Qt host under QT_QPA_PLATFORM=offscreen: the test dialog driven with
// QTest as a person would, against the same steps through the headless
// host. Fails (never skips) where no QApplication can be made.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/temp_root.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"
#include "ui/test_template.h"

namespace platform::ui {
namespace {

using namespace vqtest;

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Pictures for the tray and the dialog, drawn here so the tests need no
// binary fixtures.
void WritePicture(const std::string& dir, int id, QColor color) {
  QImage image(48, 48, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(color);
  p.setPen(QPen(Qt::black, 2));
  p.drawEllipse(4, 4, 40, 40);
  p.end();
  std::filesystem::create_directories(dir);
  ASSERT_TRUE(image.save(QString::fromStdString(dir + "/" + std::to_string(id) + ".png")));
}

// One person's steps, as the headless host and as QTest on the widgets.
struct Driver {
  virtual ~Driver() = default;
  virtual void Type(int id, const std::string& text) = 0;  // one key at a time
  virtual void Click(int id) = 0;
  virtual void NextInCombo(int id) = 0;
  virtual void ClickListItem(int id, int index) = 0;
  virtual void ClickTab(int id, int index) = 0;
  virtual void AnswerBox(int answer) = 0;
  virtual void Advance(int64_t ms) = 0;
};

struct HeadlessDriver : Driver {
  HeadlessDriver(HeadlessHost& h, int t) : host(h), templ(t) {}
  void Type(int id, const std::string& text) override {
    Dialog* d = host.FindDialog(templ);
    for (size_t i = 1; i <= text.size(); ++i) host.SetText(templ, id, d->Text(id) + text[i - 1]);
    host.RunUntilIdle();
  }
  void Click(int id) override {
    host.Click(templ, id);
    host.RunUntilIdle();
  }
  void NextInCombo(int id) override {
    host.Select(templ, id, host.FindDialog(templ)->Selection(id) + 1);
    host.RunUntilIdle();
  }
  void ClickListItem(int id, int index) override {
    host.Select(templ, id, index);
    host.RunUntilIdle();
  }
  void ClickTab(int id, int index) override {
    host.Select(templ, id, index);
    host.RunUntilIdle();
  }
  void AnswerBox(int answer) override {
    host.Answer("", answer);
    host.RunUntilIdle();
  }
  void Advance(int64_t ms) override { host.Advance(ms); }
  HeadlessHost& host;
  int templ;
};

struct QtDriver : Driver {
  QtDriver(QtHost& h, FakeClock& c, int t) : host(h), clock(c), templ(t) {}
  QWidget* Widget(int id) {
    QtDialogView* view = host.View(*host.FindDialog(templ));
    EXPECT_NE(view, nullptr);
    QWidget* w = view->findChild<QWidget*>(QString::number(id));
    EXPECT_NE(w, nullptr) << "no widget named " << id;
    return w;
  }
  void Type(int id, const std::string& text) override {
    QTest::keyClicks(Widget(id), QString::fromStdString(text));
    host.ProcessEvents();
  }
  void Click(int id) override {
    QTest::mouseClick(Widget(id), Qt::LeftButton);
    host.ProcessEvents();
  }
  void NextInCombo(int id) override {
    QTest::keyClick(Widget(id), Qt::Key_Down);
    host.ProcessEvents();
  }
  void ClickListItem(int id, int index) override {
    auto* list = qobject_cast<QListWidget*>(Widget(id));
    ASSERT_NE(list, nullptr);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(index)).center());
    host.ProcessEvents();
  }
  void ClickTab(int id, int index) override {
    auto* bar = qobject_cast<QTabBar*>(Widget(id));
    ASSERT_NE(bar, nullptr);
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    host.ProcessEvents();
  }
  void AnswerBox(int answer) override {
    ASSERT_FALSE(host.PendingBoxes().empty());
    QMessageBox* box = host.BoxWidget(host.PendingBoxes().front().serial);
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(box));
    QAbstractButton* button = box->button(answer == IDYES ? QMessageBox::Yes : QMessageBox::No);
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    host.ProcessEvents();
  }
  void Advance(int64_t ms) override {
    clock.Advance(ms);
    host.ProcessEvents();
  }
  QtHost& host;
  FakeClock& clock;
  int templ;
};

// The steps both hosts take; returns the model when the dialog ended.
struct Outcome {
  std::vector<std::string> calls;
  std::string model;
  int result = 0;
};

Outcome RunSteps(UiHost& host, Driver& driver, const std::function<void()>& settle) {
  auto recorder = std::make_shared<Recorder>();
  Outcome out;
  host.OpenDialog(TestTemplate(), nullptr, std::make_unique<TestLogic>(recorder), Modality::Modeless,
                  [&](Dialog& d, int result) {
                    out.model = Snapshot(d);
                    out.result = result;
                  });
  settle();
  driver.Type(kServerEdit, "gw");
  driver.Type(kPasswordEdit, "0123456789");  // the limit is 8
  driver.Click(kRememberCheck);
  driver.Click(kModeKey);
  driver.NextInCombo(kLoginModeCombo);
  driver.ClickListItem(kCertList, 2);
  driver.ClickTab(kPages, 1);
  driver.Advance(1000);
  driver.Advance(1000);
  driver.Click(kReapplyButton);
  driver.Click(kOkButton);  // blocked by the box: nothing happens
  driver.AnswerBox(IDYES);
  driver.Click(kOkButton);
  out.calls = recorder->calls;
  return out;
}

class QtHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_unique<QtHost>(clock, root.At("/res"));
    ASSERT_NE(qobject_cast<QApplication*>(QCoreApplication::instance()), nullptr);
    WritePicture(root.At("/res"), 102, QColor(120, 120, 120));
    WritePicture(root.At("/res"), 150, QColor(40, 110, 200));
  }
  void TearDown() override { host.reset(); }

  Dialog* Open(uint16_t language, std::shared_ptr<Recorder> recorder) {
    host->SetStrings(TestStrings(language));
    Dialog* d = host->OpenDialog(TestTemplate(), nullptr, std::make_unique<TestLogic>(recorder), Modality::Modeless);
    host->ProcessEvents();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(host->View(*d)));
    return d;
  }
  QWidget* Widget(Dialog& d, int id) { return host->View(d)->findChild<QWidget*>(QString::number(id)); }

  TempRoot root;
  FakeClock clock;
  std::unique_ptr<QtHost> host;
};

TEST_F(QtHostTest, BothHostsGiveTheSameModelCallsAndUiLog) {
  HeadlessHost headless(clock);
  headless.SetStrings(TestStrings(1033));
  headless.SetLogFile(root.At("/headless.log"));
  HeadlessDriver hd(headless, kTestTemplate);
  Outcome a = RunSteps(headless, hd, [&] { headless.RunUntilIdle(); });

  FakeClock qtClock;
  host.reset();
  host = std::make_unique<QtHost>(qtClock, root.At("/res"));
  host->SetStrings(TestStrings(1033));
  host->SetLogFile(root.At("/qt.log"));
  QtDriver qd(*host, qtClock, kTestTemplate);
  Outcome b = RunSteps(*host, qd, [&] {
    host->ProcessEvents();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(host->View(*host->FindDialog(kTestTemplate))));
  });

  EXPECT_EQ(a.result, IDOK);
  EXPECT_EQ(b.result, IDOK);
  EXPECT_EQ(a.calls, b.calls);
  EXPECT_EQ(a.model, b.model);
  EXPECT_EQ(Lines(root.At("/headless.log")), Lines(root.At("/qt.log")));
  EXPECT_EQ(Lines(root.At("/qt.log")).size(), 4u) << "open, box, answer, end";

  // What the steps must have done, checked once here for both.
  auto has = [&](const std::string& call) { return std::count(b.calls.begin(), b.calls.end(), call); };
  EXPECT_EQ(has("command 1003 768 text=g"), 1) << "each key: EN_CHANGE with the model already updated";
  EXPECT_EQ(has("command 1003 768 text=gw"), 1);
  EXPECT_EQ(has("command 1002 768 text=01234567"), 1);
  EXPECT_EQ(has("command 1002 768 text=012345678"), 0) << "the ninth key is over the limit";
  EXPECT_EQ(has("command 1066 0 checked=1"), 1) << "one BN_CLICKED a click";
  EXPECT_EQ(has("command 1059 0 checked=1"), 1);
  EXPECT_EQ(has("command 1076 1 selection=1"), 1);
  EXPECT_EQ(has("command 1008 1 selection=2"), 1);
  EXPECT_EQ(has("notify 1026 -551 1"), 1);
  EXPECT_EQ(has("timer 20"), 2);
  EXPECT_EQ(has("command 1067 0"), 1);
  EXPECT_EQ(has("answer 6"), 1);
  EXPECT_EQ(has("command 1 0"), 1) << "the click on OK while the box was open was refused";
  host.reset();  // before qtClock, which it watches
}

TEST_F(QtHostTest, WidgetsAreNamedByControlIdWithTheTableTextsInTabOrder) {
  auto recorder = std::make_shared<Recorder>();
  Dialog* d = Open(2052, recorder);
  QtDialogView* view = host->View(*d);
  EXPECT_EQ(view->objectName(), "dialog900");
  EXPECT_EQ(view->windowTitle(), QString::fromUtf8("连接测试"));
  for (const ControlSpec& c : TestTemplate().controls) EXPECT_NE(Widget(*d, c.id), nullptr) << c.id;
  EXPECT_EQ(qobject_cast<QPushButton*>(Widget(*d, kOkButton))->text(), QString::fromUtf8("确定"));
  EXPECT_EQ(qobject_cast<QAbstractButton*>(Widget(*d, kModeKeyOnly))->text(), QString::fromUtf8("仅USB key"));
  EXPECT_TRUE(qobject_cast<QPushButton*>(Widget(*d, kOkButton))->isDefault());
  EXPECT_EQ(qobject_cast<QLineEdit*>(Widget(*d, kPasswordEdit))->echoMode(), QLineEdit::Password);
  EXPECT_EQ(qobject_cast<QComboBox*>(Widget(*d, kLoginModeCombo))->count(), 3);
  ASSERT_NE(host->FindDialog(kTestPage), nullptr);
  EXPECT_NE(view->findChild<QWidget*>("dialog901"), nullptr) << "the page sits inside the dialog";

  // Focus order: the table's controls, in table order.
  std::vector<int> order;
  QWidget* start = Widget(*d, kServerEdit);
  QWidget* w = start;
  do {
    bool isId = false;
    const int id = w->objectName().toInt(&isId);
    if (isId && TestTemplate().Find(id) && host->View(*d)->Control(id) == w && w->focusPolicy() != Qt::NoFocus &&
        (order.empty() || order.back() != id))
      order.push_back(id);
    w = w->nextInFocusChain();
  } while (w && w != start && order.size() < 40);
  std::vector<int> focusable;
  for (const ControlSpec& c : TestTemplate().controls)
    if (host->View(*d)->Control(c.id)->focusPolicy() != Qt::NoFocus) focusable.push_back(c.id);
  EXPECT_EQ(order, focusable);
}

TEST_F(QtHostTest, EscGivesOneIdCancel) {
  auto recorder = std::make_shared<Recorder>();
  Dialog* d = Open(1033, recorder);
  QPointer<QtDialogView> view = host->View(*d);
  QTest::keyClick(Widget(*d, kServerEdit), Qt::Key_Escape);
  host->ProcessEvents();
  EXPECT_EQ(recorder->Count("command 2 0"), 1);
  EXPECT_EQ(host->FindDialog(kTestTemplate), nullptr);
  EXPECT_TRUE(view.isNull()) << "the window went with the dialog";
}

TEST_F(QtHostTest, AModalDialogBlocksItsOwnerWhileATrayMenuCommandStillRuns) {
  auto recorder = std::make_shared<Recorder>();
  Dialog* owner = Open(1033, recorder);
  MenuModel menu = host->LoadMenu(109, {40011, 40012, 0, 40013});
  std::shared_ptr<Dialog*> ownerToken = owner->token();
  // The tray's commands go to the logic as a window's commands do.
  host->SetTrayMenu(&menu, [ownerToken](int command) {
    if (Dialog* d = *ownerToken) d->logic().OnCommand(*d, command, 0);
  });
  Dialog* modal = host->OpenDialog(OwnedTemplate(), owner, std::make_unique<DialogLogic>(), Modality::Modal);
  host->ProcessEvents();
  QtDialogView* modalView = host->View(*modal);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(modalView));
  EXPECT_EQ(modalView->windowModality(), Qt::WindowModal);
  EXPECT_EQ(modalView->parentWidget(), host->View(*owner));

  QTest::mouseClick(Widget(*owner, kOkButton), Qt::LeftButton);
  host->ProcessEvents();
  EXPECT_EQ(recorder->Count("command 1 0"), 0) << "the owner is blocked";

  QMenu* trayMenu = host->TrayMenuWidget();
  ASSERT_NE(trayMenu, nullptr);
  QAction* disconnect = trayMenu->findChild<QAction*>("40012");
  ASSERT_NE(disconnect, nullptr);
  EXPECT_EQ(disconnect->text(), "Disconnect");
  disconnect->trigger();
  host->ProcessEvents();
  EXPECT_EQ(recorder->Count("command 40012 0"), 1) << "the tray menu works during the modal dialog";
  menu.SetGrayed(40012, true);
  EXPECT_FALSE(trayMenu->findChild<QAction*>("40012")->isEnabled());

  QTest::mouseClick(host->View(*modal)->findChild<QWidget*>("1"), Qt::LeftButton);
  host->ProcessEvents();
  EXPECT_EQ(host->FindDialog(kOwnedTemplate), modal) << "its logic does not end it on OK";
  modal->EndDialog(IDOK);
  host->ProcessEvents();
  QTest::mouseClick(Widget(*owner, kOkButton), Qt::LeftButton);
  host->ProcessEvents();
  EXPECT_EQ(recorder->Count("command 1 0"), 1) << "free again once the modal dialog ended";
  host->SetTrayMenu(nullptr, {});
}

TEST_F(QtHostTest, TheTrayKeepsIconAndTipWithoutATray) {
  host->SetTrayIcon(102, "Tarnwickgate Marrowlantern - Disconnected");
  QSystemTrayIcon* tray = host->TrayIcon();
  ASSERT_NE(tray, nullptr);
  EXPECT_EQ(tray->toolTip(), "Tarnwickgate Marrowlantern - Disconnected");
  EXPECT_EQ(tray->property("iconId").toInt(), 102);
  EXPECT_FALSE(tray->icon().isNull()) << "res/102.png";
  host->SetTrayIcon(104, "Tarnwickgate Marrowlantern - Connected");
  EXPECT_EQ(tray->toolTip(), "Tarnwickgate Marrowlantern - Connected");
  EXPECT_EQ(tray->property("iconId").toInt(), 104);
  std::vector<TrayEvent> events;
  host->SetTrayHandler([&](TrayEvent e) { events.push_back(e); });
  emit tray->activated(QSystemTrayIcon::DoubleClick);
  emit tray->messageClicked();
  EXPECT_EQ(events, (std::vector<TrayEvent>{TrayEvent::DoubleClick, TrayEvent::BalloonClick}));
}

TEST_F(QtHostTest, ATimerKilledInAnothersTickNeverFires) {
  struct Two : DialogLogic {
    std::vector<uint32_t> ticks;
    void OnInit(Dialog& d) override {
      d.SetTimer(1, 500);
      d.SetTimer(2, 500);
    }
    void OnTimer(Dialog& d, uint32_t id) override {
      ticks.push_back(id);
      if (id == 1) d.KillTimer(2);
    }
  };
  auto logic = std::make_unique<Two>();
  Two* two = logic.get();
  host->OpenDialog(OwnedTemplate(), nullptr, std::move(logic), Modality::Modeless);
  host->ProcessEvents();
  clock.Advance(500);
  host->ProcessEvents();
  clock.Advance(500);
  host->ProcessEvents();
  EXPECT_EQ(two->ticks, (std::vector<uint32_t>{1, 1}));
}

// Pictures for a person to look at: the test dialog in both languages.
TEST_F(QtHostTest, ScreenshotsOfTheTestDialogInEnglishAndChinese) {
  const std::string dir = VQ_SCREENSHOT_DIR;
  std::filesystem::create_directories(dir);
  for (uint16_t language : {1033, 2052}) {
    auto recorder = std::make_shared<Recorder>();
    Dialog* d = Open(language, recorder);
    d->Check(kRememberCheck, true);
    d->SetSelection(kCertList, 1);
    d->SetSelection(kRouteList, 0);
    d->SelectTreeItem(kOptionTree, d->TreeChildren(kOptionTree, kTreeRoot).at(0));
    const std::string path = dir + "/ui_test_dialog_" + std::to_string(language) + ".png";
    std::filesystem::remove(path);
    ASSERT_TRUE(host->Screenshot(*d, path));
    EXPECT_GT(std::filesystem::file_size(path), 2000u) << path;
    d->EndDialog(IDOK);
    host->ProcessEvents();
  }
}

}  // namespace
}  // namespace platform::ui
