// The Log, Debug and About windows as Qt widgets under
// QT_QPA_PLATFORM=offscreen, with their screenshots in English and Chinese.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include <filesystem>
#include <string>

#include "client/app/client_app.h"
#include "client/cert_token.h"
#include "client/ui/about_dialog.h"
#include "client/ui/debug_dialog.h"
#include "client/ui/log_dialog.h"
#include "common/child_process.h"
#include "common/temp_root.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"

namespace {

using namespace client;
using namespace platform::ui;

class SmallWindowsQt : public ::testing::Test {
 protected:
  void SetUp() override { LogInit(nullptr); }
  void TearDown() override {
    app_.Shutdown();
    LogCleanup();
  }

  template <typename W>
  W* Widget(Dialog& d, int id) {
    W* w = host_.View(d)->findChild<W*>(QString::number(id));
    EXPECT_NE(w, nullptr) << "no widget " << id;
    return w;
  }
  Dialog* Shown(Dialog* d) {
    host_.ProcessEvents();
    EXPECT_NE(d, nullptr);
    if (d) {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(host_.View(*d)));
    }
    return d;
  }
  void Screenshot(Dialog& d, const std::string& name, uint16_t language) {
    const std::string dir = VQ_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/" + name + "_" + std::to_string(language) + ".png";
    std::filesystem::remove(path);
    host_.ProcessEvents();
    ASSERT_TRUE(host_.Screenshot(d, path));
    EXPECT_GT(std::filesystem::file_size(path), 2000u) << path;
  }
  void End(Dialog& d) {
    d.EndDialog(IDCANCEL);
    host_.ProcessEvents();
  }

  vqtest::TempRoot root_;
  platform::FakeClock clock_;
  QtHost host_{clock_, VQ_CLIENT_RES_DIR};
  ClientApp app_{host_};
};

TEST_F(SmallWindowsQt, LogWindowShowsTheLinesScrolledToTheEnd) {
  for (uint16_t language : {1033, 2052}) {
    host_.SetStrings(vqtest::ClientStrings(language));
    LogClearQueue();
    for (int i = 1; i <= 40; ++i) LogPrint(LOG_INFO, "Tunnel status poll %d answered\n", i);
    LogPrint(LOG_ERR, "Connect to the server error\n");
    LogPrint(LOG_INFO, "连接到服务器 10.8.0.1\n");
    Dialog* d = Shown(OpenLogDialog(app_));
    ASSERT_NE(d, nullptr);
    auto* edit = Widget<QPlainTextEdit>(*d, IDC_LOG_TEXT);
    ASSERT_NE(edit, nullptr);
    EXPECT_TRUE(edit->isReadOnly());
    const QString text = edit->toPlainText();
    EXPECT_TRUE(text.contains(QStringLiteral("Tunnel status poll 40 answered")));
    EXPECT_TRUE(text.contains(QString::fromUtf8("连接到服务器 10.8.0.1")));
    EXPECT_EQ(text.split('\n', Qt::SkipEmptyParts).size(), 42);
    QScrollBar* bar = edit->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum()) << "the newest line is in view";
    for (int id : {IDOK, IDC_LOG_CLEAR, IDC_LOG_DETAIL}) {
      auto* b = Widget<QPushButton>(*d, id);
      ASSERT_NE(b, nullptr);
      EXPECT_FALSE(b->text().isEmpty()) << id;
    }
    Screenshot(*d, "log_window", language);

    // Clear empties the widget; the timer's next line shows alone.
    QTest::mouseClick(Widget<QPushButton>(*d, IDC_LOG_CLEAR), Qt::LeftButton);
    host_.ProcessEvents();
    EXPECT_TRUE(edit->toPlainText().isEmpty());
    LogPrint(LOG_INFO, "after clear\n");
    clock_.Advance(kLogTimerMs);
    host_.ProcessEvents();
    EXPECT_EQ(edit->toPlainText().split('\n', Qt::SkipEmptyParts).size(), 1);
    End(*d);
  }
}

TEST_F(SmallWindowsQt, DebugWindowBoxesAndButtons) {
  for (uint16_t language : {1033, 2052}) {
    host_.SetStrings(vqtest::ClientStrings(language));
    Dialog* d = Shown(OpenDebugDialog(app_));
    ASSERT_NE(d, nullptr);
    for (int id : {IDC_UNDEBUG, IDC_DEBUG_BASIC, IDC_DEBUG_PACKETS, IDC_DEBUG_EVENTS}) {
      auto* box = Widget<QCheckBox>(*d, id);
      ASSERT_NE(box, nullptr);
      EXPECT_FALSE(box->isChecked());
      EXPECT_FALSE(box->text().isEmpty()) << id;
    }
    // On the box's indicator: the widget is wider than its text.
    auto* events = Widget<QCheckBox>(*d, IDC_DEBUG_EVENTS);
    QTest::mouseClick(events, Qt::LeftButton, {}, QPoint(6, events->height() / 2));
    host_.ProcessEvents();
    EXPECT_EQ(TraceMaskOf(*d), kTraceEvents);
    Screenshot(*d, "debug_window", language);
    QTest::mouseClick(Widget<QPushButton>(*d, IDCANCEL), Qt::LeftButton);
    host_.ProcessEvents();
    EXPECT_EQ(host_.FindDialog(IDD_DEBUG), nullptr);
  }
}

TEST_F(SmallWindowsQt, AboutBoxShowsTheImportedProductVersion) {
  const std::string reg = root_.At("/version.reg");
  vqtest::WriteFileBytes(reg,
                         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Tarnwickgate\\Tarnwickgate Marrowlantern]\r\n"
                         "\"ProductVer\"=\"2.3.4.5678\"\r\n");
  ASSERT_EQ(vqtest::RunProgram({VQREGEDIT_PATH, "/s", reg}), 0);
  for (uint16_t language : {1033, 2052}) {
    host_.SetStrings(vqtest::ClientStrings(language));
    Dialog* d = Shown(OpenAboutDialog(host_));
    ASSERT_NE(d, nullptr);
    auto* version = Widget<QLabel>(*d, IDC_ABOUT_VERSION);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), QStringLiteral("2.3.4.5678"));
    auto* title = Widget<QLabel>(*d, kFirstLabelId);
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->text(), QStringLiteral("Tarnwickgate Marrowlantern"));
    EXPECT_FALSE(host_.Picture(IDB_ABOUT_LOGO).isNull());
    EXPECT_FALSE(host_.Picture(IDB_ABOUT_BANNER).isNull());
    Screenshot(*d, "about_box", language);
    End(*d);
  }
}

}  // namespace
