// The login dialogs as Qt widgets under QT_QPA_PLATFORM=offscreen: typing
// into the password field, and the screenshots of 111, 139, 115 and 140 in
// English and Chinese.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <filesystem>
#include <memory>

#include "client/app/client_app.h"
#include "client/app/main_window.h"
#include "client/store/process_store.h"
#include "client/ui/login_dialog.h"
#include "client/ui/login_templates.h"
#include "client_fixture.h"
#include "connect_fixture.h"
#include "cert_token.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"

namespace {

using namespace vqtest;
using namespace client;
namespace ui = platform::ui;

class LoginDialogQtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<ui::QtHost>(clock_, VQ_CLIENT_RES_DIR);
    ClientApp::Settings settings;
    settings.language = 1033;
    settings.programDir = VQ_CLIENT_DIR;
    settings.connect.openManager = services_.Env().openManager;
    ClientHooks hooks;
    hooks.dialogs[158] = [](ClientApp&) {};
    app_ = std::make_unique<ClientApp>(*host_, std::move(hooks), settings);
    Argv argv = WindowOnly();
    ASSERT_TRUE(app_->Start(argv.argc(), argv.argv()));
    host_->ProcessEvents();
  }
  void TearDown() override {
    if (app_) app_->Shutdown();
    app_.reset();
    host_.reset();
  }

  ui::Dialog* Open(int mode) {
    app_->SetLoginMode(mode);
    ReopenLoginDialog(*app_);
    host_->ProcessEvents();
    ui::Dialog* d = FindLoginDialog(*host_);
    EXPECT_NE(d, nullptr);
    if (d) {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(host_->View(*d)));
    }
    return d;
  }
  template <typename W>
  W* Widget(ui::Dialog& d, int id) {
    W* w = host_->View(d)->findChild<W*>(QString::number(id));
    EXPECT_NE(w, nullptr) << "no widget " << id;
    return w;
  }
  void Shot(ui::Dialog& d, const std::string& name, uint16_t language) {
    const std::string dir = VQ_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/" + name + "_" + std::to_string(language) + ".png";
    std::filesystem::remove(path);
    host_->ProcessEvents();
    ASSERT_TRUE(host_->Screenshot(d, path));
    EXPECT_GT(std::filesystem::file_size(path), 2000u) << path;
  }

  CertToken user_;  // first: the root
  FakeServices services_;
  platform::FakeClock clock_;
  std::unique_ptr<ui::QtHost> host_;
  std::unique_ptr<ClientApp> app_;
};

TEST_F(LoginDialogQtTest, PasswordFieldTakes31OfFortyTypedCharactersAndHidesThem) {
  ui::Dialog* d = Open(0);
  ASSERT_NE(d, nullptr);
  auto* password = Widget<QLineEdit>(*d, IDC_LOGIN_PASSWORD);
  ASSERT_NE(password, nullptr);
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  password->setFocus();
  QTest::keyClicks(password, QString(40, QChar('p')));
  host_->ProcessEvents();
  EXPECT_EQ(d->Text(IDC_LOGIN_PASSWORD), std::string(31, 'p'));
  EXPECT_EQ(password->text().size(), 31);
}

TEST_F(LoginDialogQtTest, PinFieldHidesItsText) {
  ui::Dialog* d = Open(1);
  ASSERT_NE(d, nullptr);
  auto* pin = Widget<QLineEdit>(*d, IDC_LOGIN_PIN);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(pin->echoMode(), QLineEdit::Password);
  EXPECT_EQ(host_->View(*d)->findChild<QWidget*>(QString::number(IDC_LOGIN_TEST)), nullptr)
      << "test is on 111 only";
}

// For a person to look at: each template with a saved connection chosen,
// and Login Mode, in both languages.
TEST_F(LoginDialogQtTest, ScreenshotsOfTheFourTemplates) {
  user_info saved;
  saved.ALIASID = "Head office";
  saved.NAME = "alice";
  saved.HOST = "vpn.example.com";
  saved.PORT = "443";
  saved.LOGINMODE = "0";
  ASSERT_TRUE(g_xmlConfig.AddListEntry(saved) && g_xmlConfig.AddUser(saved));
  ASSERT_TRUE(g_xmlConfig.SetCurrentUser(saved.ALIASID) && g_xmlConfig.CopyToCurrentUser(saved));
  for (uint16_t language : {1033, 2052}) {
    host_->SetStrings(ClientStrings(language));
    for (int mode : {0, 1, 2}) {
      SCOPED_TRACE(mode);
      // The saved connection's mode is the one shown.
      saved.LOGINMODE = std::to_string(mode);
      ASSERT_TRUE(g_xmlConfig.CopyToListEntry(saved) && g_xmlConfig.CopyToCurrentUser(saved));
      ui::Dialog* d = Open(mode);
      ASSERT_NE(d, nullptr);
      ASSERT_EQ(d->templateId(), LoginTemplateOfMode(mode).id);
      d->SetText(IDC_LOGIN_PASSWORD, "secret");
      d->SetText(IDC_LOGIN_PIN, "1234");
      Shot(*d, "login_" + std::to_string(d->templateId()), language);
      if (mode == 0) {
        ASSERT_TRUE(d->UserClick(IDC_LOGIN_MODE));
        host_->ProcessEvents();
        ui::Dialog* m = host_->FindDialog(IDD_LOGIN_MODE);
        ASSERT_NE(m, nullptr);
        EXPECT_TRUE(QTest::qWaitForWindowExposed(host_->View(*m)));
        Shot(*m, "login_mode_140", language);
        m->EndDialog(ui::IDCANCEL);
        host_->ProcessEvents();
      }
    }
  }
  CloseLoginDialog(*app_);
  host_->ProcessEvents();
}

}  // namespace
