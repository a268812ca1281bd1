// Change Password as Qt widgets under QT_QPA_PLATFORM=offscreen, typed into
// with QTest, and its screenshots in English and Chinese.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <memory>

#include "client/app/client_app.h"
#include "client/ui/change_password_dialog.h"
#include "common/temp_root.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"
#include "support/language_strings.h"

namespace {

using namespace client;
using namespace platform::ui;

class ChangePasswordQtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<QtHost>(clock_, std::string(VQ_CLIENT_DIR) + "/res");
    app_ = std::make_unique<ClientApp>(*host_);
    conn_info c;
    c.auth_type = AUTH_TYPE_PASSWORD;
    c.user = "alice";
    app_->SetConn(c);
  }
  void TearDown() override {
    app_->StopWorkers();
    app_.reset();
    host_.reset();
  }

  Dialog* Open(uint16_t language) {
    strings_ = std::make_shared<LanguageStrings>(LoadLanguageStrings(VQ_CLIENT_DIR, language).value());
    host_->SetStrings([strings = strings_](uint32_t id) { return strings->Find(id); });
    Dialog* d = OpenChangePasswordDialog(*app_);
    host_->ProcessEvents();
    EXPECT_NE(d, nullptr);
    if (d) {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(host_->View(*d)));
    }
    return d;
  }
  template <typename W>
  W* Widget(Dialog& d, int id) {
    W* w = host_->View(d)->findChild<W*>(QString::number(id));
    EXPECT_NE(w, nullptr) << "no widget " << id;
    return w;
  }

  vqtest::TempRoot root_;
  platform::FakeClock clock_;
  std::unique_ptr<QtHost> host_;
  std::unique_ptr<ClientApp> app_;
  std::shared_ptr<LanguageStrings> strings_;
};

TEST_F(ChangePasswordQtTest, TypedPasswordsReachTheModelHiddenAndCutAt31) {
  Dialog* d = Open(1033);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Widget<QLabel>(*d, IDC_CURRENT_USER)->text(), "alice");
  const std::string longer(40, 'x');
  for (int id : {IDC_CURRENT_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD}) {
    auto* edit = Widget<QLineEdit>(*d, id);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
    QTest::keyClicks(edit, QString::fromStdString(longer));
    host_->ProcessEvents();
    EXPECT_EQ(d->Text(id), std::string(kPasswordFieldUnits, 'x'));
    EXPECT_EQ(edit->text().size(), static_cast<qsizetype>(kPasswordFieldUnits));
  }
  // Esc ends it.
  QTest::keyClick(host_->View(*d), Qt::Key_Escape);
  host_->ProcessEvents();
  EXPECT_EQ(host_->FindDialog(IDD_CHANGE_PASSWORD), nullptr);
}

// For a person to look at: the dialog with the three fields typed into.
TEST_F(ChangePasswordQtTest, ScreenshotsWithTypedPasswords) {
  const std::string dir = VQ_SCREENSHOT_DIR;
  std::filesystem::create_directories(dir);
  for (uint16_t language : {1033, 2052}) {
    Dialog* d = Open(language);
    ASSERT_NE(d, nullptr);
    for (int id : {IDC_CURRENT_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD})
      QTest::keyClicks(Widget<QLineEdit>(*d, id), "secret");
    host_->ProcessEvents();
    const std::string path = dir + "/change_password_" + std::to_string(language) + ".png";
    std::filesystem::remove(path);
    ASSERT_TRUE(host_->Screenshot(*d, path));
    EXPECT_GT(std::filesystem::file_size(path), 2000u) << path;
    d->EndDialog(IDC_CHANGE_PASSWORD_CANCEL);
    host_->ProcessEvents();
  }
}

}  // namespace
