// Box 102 of the update trigger as a Qt message box under
// QT_QPA_PLATFORM=offscreen: shown when the updater finds a newer client,
// its picture in English and Chinese, and No ends the thread without a
// second run of the updater.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QPixmap>

#include <filesystem>
#include <memory>
#include <string>

#include "client/app/client_app.h"
#include "client/app/update_trigger.h"
#include "client_fixture.h"
#include "common/eventually.h"
#include "platform/paths/paths.h"
#include "platform/ui/qt/qt_host.h"
#include "support/registry_helpers.h"

namespace {

using namespace vqtest;
namespace ui = platform::ui;

class UpdateTriggerBoxQt : public ::testing::TestWithParam<uint16_t> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::paths::CreateDirectories(root_.At("/fake_thimbleset")));
    WriteFileBytes(root_.At("/fake_thimbleset/exit-check"), "2");
    ASSERT_EQ(RegWriteProductValue(client::kUpdateUrlValue, "https://updates.example:443/qimbo.xml"), 0);
    host_ = std::make_unique<ui::QtHost>(clock_, std::string(VQ_CLIENT_BUILD_DIR) + "/res");
    client::ClientApp::Settings settings;
    settings.language = GetParam();
    settings.programDir = VQ_CLIENT_BUILD_DIR;
    settings.update.updater = FAKE_THIMBLESET_PATH;
    app_ = std::make_unique<client::ClientApp>(*host_, client::ClientHooks{}, settings);
    Argv argv({"Marrowlantern", "-d", "-q"});
    ASSERT_TRUE(app_->Start(argv.argc(), argv.argv()));
    conn_info conn;
    conn.auth_type = AUTH_TYPE_PASSWORD;
    app_->SetConn(conn);
    host_->ProcessEvents();
  }
  void TearDown() override {
    if (app_) app_->Shutdown();
    app_.reset();
    host_.reset();
  }

  TempRoot root_;
  platform::FakeClock clock_;
  std::unique_ptr<ui::QtHost> host_;
  std::unique_ptr<client::ClientApp> app_;
};

TEST_P(UpdateTriggerBoxQt, NewVersionBoxAndItsPicture) {
  app_->Updates().Start(client::kUpdateModeConfiguredUrl);
  app_->Updates().SetGate();
  QMessageBox* box = nullptr;
  ASSERT_TRUE(Eventually([&] {
    host_->ProcessEvents();
    for (const ui::PendingBox& pending : host_->PendingBoxes())
      if (pending.text.stringId == client::IDS_NEW_VERSION) box = host_->BoxWidget(pending.serial);
    return box != nullptr;
  }));
  const std::string expected = GetParam() == 2052 ? "应用程序有新版本。现在更新吗？"
                                                  : "There exists new version of the application. Update now?";
  EXPECT_EQ(box->text().toStdString(), expected);
  ASSERT_NE(box->button(QMessageBox::Yes), nullptr);
  ASSERT_NE(box->button(QMessageBox::No), nullptr);
  box->adjustSize();
  const std::string dir = VQ_SCREENSHOT_DIR;
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/client_update_new_version_" + std::to_string(GetParam()) + ".png";
  ASSERT_TRUE(box->grab().save(QString::fromStdString(path), "PNG")) << path;

  box->button(QMessageBox::No)->click();
  ASSERT_TRUE(Eventually([&] {
    host_->ProcessEvents();
    return app_->Updates().Running() == 0;
  }));
  const std::string runs = ReadFileBytes(root_.At("/fake_thimbleset/runs"));
  size_t count = 0;
  for (size_t at = runs.find("run\n"); at != std::string::npos; at = runs.find("run\n", at + 1)) ++count;
  EXPECT_EQ(count, 1u);
}

INSTANTIATE_TEST_SUITE_P(Languages, UpdateTriggerBoxQt, ::testing::Values(1033, 2052),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return info.param == 2052 ? "Chinese" : "English";
                         });

}  // namespace
