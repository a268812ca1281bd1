// Box 108 as a person sees it when the USB key is pulled while connected:
// the client with the Qt host offscreen, a fake tunnel service at status 4,
// a SoftHSM2 token pulled out and one device change; the box's picture in
// English and Chinese, and Connect once it is answered.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>

#include <atomic>
#include <filesystem>
#include <memory>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client/cert/write_cert_settings.h"
#include "client_fixture.h"
#include "common/eventually.h"
#include "common/softhsm_user.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"
#include "support/registry_helpers.h"
#include "tray_fixture.h"

namespace {

using namespace vqtest;
namespace ui = platform::ui;

class UsbKeyWatchQt : public ::testing::TestWithParam<uint16_t> {
 protected:
  void SetUp() override {
    token_.Import({0x01}, cert_.get(), key_.get());
    CertSettings chosen = SettingsByFingerprint(cert_.get());
    chosen.CSPName = USB_KEY_PROVIDER_NAME;
    ASSERT_EQ(WriteCertSettings(chosen, PRODUCT_SETTINGS_KEY), 0);

    host_ = std::make_unique<ui::QtHost>(clock_, std::string(VQ_CLIENT_BUILD_DIR) + "/res");
    client::ClientApp::Settings settings;
    settings.language = GetParam();
    settings.programDir = VQ_CLIENT_BUILD_DIR;
    client::ClientHooks hooks;
    hooks.reopenLoginDialog = [this](client::ClientApp&) { ++loginDialogs_; };
    app_ = std::make_unique<client::ClientApp>(*host_, hooks, settings);
    Argv argv({"Marrowlantern", "-d", "-q"});
    ASSERT_TRUE(app_->Start(argv.argc(), argv.argv()));
    host_->ProcessEvents();
  }
  void TearDown() override {
    if (app_) app_->Shutdown();
    app_.reset();
    host_.reset();
  }

  TempRoot root_;  // first: the token, the hive and the pipes live below it
  TestCa ca_;
  SoftHsmToken token_{USB_KEY_PROVIDER_NAME};
  platform::crypto::EvpPkeyPtr key_ = MakeRsaKey();
  platform::crypto::X509Ptr cert_ = ca_.Issue("Token User", key_.get());
  FakeTunnelService service_;
  platform::FakeClock clock_;
  std::unique_ptr<ui::QtHost> host_;
  std::unique_ptr<client::ClientApp> app_;
  std::atomic<int> loginDialogs_{0};
};

TEST_P(UsbKeyWatchQt, PulledKeyShowsItsBoxThenTheLoginDialog) {
  service_.status = 4;
  app_->Window()->OnTimer();
  ASSERT_EQ(app_->GetChannelStatus(), 4);
  app_->SetLoginMode(2);
  app_->SetUsbKeyValue(1);

  token_.Pull();
  app_->Window()->OnDeviceChange();
  ASSERT_TRUE(Eventually([this] {
    host_->ProcessEvents();
    return !host_->PendingBoxes().empty();
  }));
  ASSERT_EQ(host_->PendingBoxes().size(), 1u);
  QMessageBox* box = host_->BoxWidget(host_->PendingBoxes().front().serial);
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(box));
  EXPECT_EQ(box->text().toStdString(), GetParam() == 2052 ? "指定的 USB key 已被拔出或无法使用"
                                                          : "The specific USB key has been removed or can not be used");
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  const std::string dir = VQ_SCREENSHOT_DIR;
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/client_usb_key_removed_" + std::to_string(GetParam()) + ".png";
  ASSERT_TRUE(box->grab().save(QString::fromStdString(path), "PNG")) << path;

  EXPECT_EQ(loginDialogs_, 0);
  QAbstractButton* ok = box->button(QMessageBox::Ok);
  ASSERT_NE(ok, nullptr);
  QTest::mouseClick(ok, Qt::LeftButton);
  host_->ProcessEvents();
  EXPECT_EQ(loginDialogs_, 1);
  EXPECT_EQ(service_.Commands().front(), (FakePipeServer::Bytes{VQ_CLOSE_CHANNEL}));
}

INSTANTIATE_TEST_SUITE_P(Languages, UsbKeyWatchQt, ::testing::Values(1033, 2052),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return info.param == 2052 ? "Chinese" : "English";
                         });

}  // namespace
