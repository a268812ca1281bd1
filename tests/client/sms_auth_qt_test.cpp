// The SMS Auth dialog as Qt widgets under QT_QPA_PLATFORM=offscreen: the
// code field by its control id takes at most eight characters, and the
// pictures with the help hidden and shown, in English and Chinese.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <memory>
#include <string>

#include "client/app/client_app.h"
#include "client/app/sms_auth.h"
#include "client/ui/sms_auth_dialog.h"
#include "client_fixture.h"
#include "common/temp_root.h"
#include "platform/sync/clock.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"

namespace {

using namespace vqtest;
namespace ui = platform::ui;

class SmsDialogQt : public ::testing::TestWithParam<uint16_t> {
 protected:
  void SetUp() override {
    host_ = std::make_unique<ui::QtHost>(clock_, std::string(VQ_CLIENT_BUILD_DIR) + "/res");
    client::ClientApp::Settings settings;
    settings.language = GetParam();
    settings.programDir = VQ_CLIENT_BUILD_DIR;
    app_ = std::make_unique<client::ClientApp>(*host_, client::ClientHooks{}, settings);
    Argv argv({"Marrowlantern", "-d", "-q"});
    ASSERT_TRUE(app_->Start(argv.argc(), argv.argv()));
    host_->ProcessEvents();
  }
  void TearDown() override {
    if (app_) app_->Shutdown();
    app_.reset();
    host_.reset();
  }
  void Shot(ui::Dialog& d, const std::string& name) {
    const std::string dir = VQ_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/sms_auth_" + name + "_" + std::to_string(GetParam()) + ".png";
    std::filesystem::remove(path);
    ASSERT_TRUE(host_->Screenshot(d, path));
    EXPECT_GT(std::filesystem::file_size(path), 2000u) << path;
  }

  TempRoot root_;
  platform::FakeClock clock_;
  std::unique_ptr<ui::QtHost> host_;
  std::unique_ptr<client::ClientApp> app_;
};

TEST_P(SmsDialogQt, CodeFieldAndPicturesWithAndWithoutHelp) {
  EXPECT_EQ(client::CSmsAuth(*app_).ShowSmsAuthDialog(), -2);
  host_->ProcessEvents();
  ui::Dialog* d = host_->FindDialog(client::IDD_SMS_AUTH);
  ASSERT_NE(d, nullptr);
  QWidget* view = host_->View(*d);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(view));
  auto* code = view->findChild<QLineEdit*>(QString::number(client::IDC_SMS_CODE));
  ASSERT_NE(code, nullptr);
  QTest::keyClicks(code, "1234567890");
  host_->ProcessEvents();
  EXPECT_EQ(d->Text(client::IDC_SMS_CODE), "12345678");
  clock_.Advance(1000);
  host_->ProcessEvents();
  Shot(*d, "help_hidden");

  auto* help = view->findChild<QPushButton*>(QString::number(client::IDC_SMS_HELP_TOGGLE));
  ASSERT_NE(help, nullptr);
  QTest::mouseClick(help, Qt::LeftButton);
  host_->ProcessEvents();
  EXPECT_TRUE(d->IsVisible(client::IDC_SMS_HELP_TEXT));
  Shot(*d, "help_shown");
}

INSTANTIATE_TEST_SUITE_P(Languages, SmsDialogQt, ::testing::Values(1033, 2052),
                         [](const ::testing::TestParamInfo<uint16_t>& info) { return std::to_string(info.param); });

}  // namespace
