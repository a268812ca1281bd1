// The tray menu as Qt widgets under QT_QPA_PLATFORM=offscreen: its actions
// by objectName (the command id), a click that reaches the tunnel service,
// and pictures of the tray (icon, tip) with its menu, in English and
// Chinese, at status 1 and at 4 with both run-time items.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <QWidget>

#include <filesystem>
#include <memory>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client_fixture.h"
#include "platform/ui/qt/qt_host.h"
#include "tray_fixture.h"

namespace {

using namespace vqtest;
namespace ui = platform::ui;
using Bytes = FakePipeServer::Bytes;

class ClientTrayQt : public ::testing::TestWithParam<uint16_t> {
 protected:
  void SetUp() override {
    host_ = std::make_unique<ui::QtHost>(clock_, std::string(VQ_CLIENT_BUILD_DIR) + "/res");
    client::ClientApp::Settings settings;
    settings.language = GetParam();
    settings.programDir = VQ_CLIENT_BUILD_DIR;
    app_ = std::make_unique<client::ClientApp>(*host_, client::ClientHooks{}, settings);
    Argv argv({"Marrowlantern"});
    ASSERT_TRUE(app_->Start(argv.argc(), argv.argv()));
    host_->ProcessEvents();
  }
  void TearDown() override {
    if (app_) app_->Shutdown();
    app_.reset();
    host_.reset();
  }

  void Tick() {
    app_->Window()->OnTimer();
    host_->ProcessEvents();
  }
  QAction* Action(int command) {
    QMenu* menu = host_->TrayMenuWidget();
    if (!menu) return nullptr;
    return menu->findChild<QAction*>(QString::number(command));
  }

  // The tray as a person sees it: the icon and its tip over the open menu.
  void SaveScreenshot(const std::string& name) {
    QMenu* menu = host_->TrayMenuWidget();
    ASSERT_NE(menu, nullptr);
    menu->adjustSize();
    QWidget panel;
    panel.setObjectName("trayPanel");
    auto* column = new QVBoxLayout(&panel);
    auto* row = new QHBoxLayout();
    auto* icon = new QLabel();
    const QPixmap picture = host_->Picture(host_->TrayIconId());
    ASSERT_FALSE(picture.isNull()) << "no picture for icon " << host_->TrayIconId();
    icon->setPixmap(picture);
    row->addWidget(icon);
    auto* tip = new QLabel(QString::fromStdString(host_->TrayTip()));
    tip->setStyleSheet("QLabel { background: #ffffe1; border: 1px solid #767676; padding: 2px 4px; }");
    row->addWidget(tip);
    row->addStretch();
    column->addLayout(row);
    auto* menuPicture = new QLabel();
    menuPicture->setPixmap(menu->grab());
    column->addWidget(menuPicture);
    panel.adjustSize();
    const std::string dir = VQ_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/" + name + "_" + std::to_string(GetParam()) + ".png";
    ASSERT_TRUE(panel.grab().save(QString::fromStdString(path), "PNG")) << path;
  }

  TempRoot root_;
  FakeTunnelService service_;
  platform::FakeClock clock_;
  std::unique_ptr<ui::QtHost> host_;
  std::unique_ptr<client::ClientApp> app_;
};

TEST_P(ClientTrayQt, TheMenusActionsCarryTheCommandIdsAndDisconnectReachesTheService) {
  service_.status = 4;
  Tick();
  QAction* disconnect = Action(client::ID_DISCONNECT);
  QAction* connect = Action(client::ID_CONNECT);
  ASSERT_NE(disconnect, nullptr);
  ASSERT_NE(connect, nullptr);
  EXPECT_TRUE(disconnect->isEnabled());
  EXPECT_FALSE(connect->isEnabled());
  ASSERT_NE(host_->TrayIcon(), nullptr);
  EXPECT_EQ(host_->TrayIcon()->property("iconId").toInt(), 104);

  disconnect->trigger();
  host_->ProcessEvents();
  EXPECT_EQ(service_.Commands(), (std::vector<Bytes>{{VQ_CLOSE_CHANNEL}, {VQ_SET_AUTO_LOGON, 0, 0}}));
  EXPECT_FALSE(Action(client::ID_DISCONNECT)->isEnabled());
  EXPECT_TRUE(Action(client::ID_CONNECT)->isEnabled());
}

TEST_P(ClientTrayQt, ScreenshotsAtDisconnectedAndConnectedWithTheRunTimeItems) {
  service_.status = 1;
  Tick();
  EXPECT_EQ(host_->TrayIconId(), 102);
  SaveScreenshot("client_tray_menu_disconnected");

  service_.status = 4;
  service_.received = 12;
  app_->Window()->InsertChangePasswordItem();
  app_->Window()->InsertPortalItem("Company Portal", "公司门户");
  Tick();
  EXPECT_EQ(host_->TrayIconId(), 141);
  ASSERT_NE(Action(client::ID_PORTAL), nullptr);
  ASSERT_NE(Action(client::ID_CHANGE_PASSWORD), nullptr);
  EXPECT_EQ(Action(client::ID_PORTAL)->text().toStdString(), GetParam() == 2052 ? "公司门户" : "Company Portal");
  SaveScreenshot("client_tray_menu_connected");
}

INSTANTIATE_TEST_SUITE_P(Languages, ClientTrayQt, ::testing::Values(1033, 2052),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return info.param == 2052 ? "Chinese" : "English";
                         });

}  // namespace
