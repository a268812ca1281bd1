// An SMS login through the real tunnel service: Brindleway runs as a
// console process in the test's VQ_ROOT, the test gateway on loopback asks
// for an SMS code after the login, and the client's report pipe and SMS
// Auth dialog run in-process with the Qt host offscreen. What the user
// types in the dialog is what the gateway receives.
#include <gtest/gtest.h>
#include <signal.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/ui/sms_auth_dialog.h"
#include "client_fixture.h"
#include "common/child_process.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "gateway/gateway_codec.h"
#include "gateway/negotiation_script.h"
#include "gateway/sms_exchange.h"
#include "gateway/tls_gateway.h"
#include "platform/sync/clock.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"
#include "support/command_pipe.h"
#include "support/conn_info_codec.h"
#include "support/registry_helpers.h"
#include "support/wire.h"

namespace {

using namespace vqtest;
namespace ui = platform::ui;

std::vector<vqgw::Action> SmsLoginScript(const vqgw::SmsGatewayOptions& sms, int answers) {
  vqgw::NegotiationOptions options;
  vqgw::AskForSms(options, sms, answers);
  return vqgw::HappyPathScript(options);
}

class SmsDialogEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    // The gateway's certificate, kept on first use, goes below the root.
    ASSERT_EQ(RegWriteProductValue("QIMBO_HOME", root_.At("/opt/tarnwickgate")), 0);
    host_ = std::make_unique<ui::QtHost>(platform::SystemClock(), std::string(VQ_CLIENT_BUILD_DIR) + "/res");
    host_->SetLogFile(root_.At("/ui.log"));
    client::ClientApp::Settings settings;
    settings.language = 1033;
    settings.programDir = VQ_CLIENT_BUILD_DIR;
    app_ = std::make_unique<client::ClientApp>(*host_, client::ClientHooks{}, settings);
    Argv argv({"Marrowlantern", "-d", "-q"});
    ASSERT_TRUE(app_->Start(argv.argc(), argv.argv()));
    host_->ProcessEvents();
  }
  void TearDown() override {
    service_.reset();
    if (app_) app_->Shutdown();
    app_.reset();
    host_.reset();
  }

  // The service started and asked to open the channel to the gateway.
  void Open(vqgw::TlsGateway& gateway) {
    service_ = std::make_unique<ChildProcess>(std::vector<std::string>{BRINDLEWAY_PATH});
    std::vector<uint8_t> reply;
    ASSERT_TRUE(Eventually([&] { return SendCommand({VQ_INQUERY}, reply) == 0; }));
    conn_info login;
    login.host = "127.0.0.1";
    login.port = gateway.Port();
    login.auth_type = AUTH_TYPE_PASSWORD;
    login.init = CONN_FLAG_NEW_SERVER_CERT;
    login.user = "alice";
    login.secret1 = "secret";
    std::vector<uint8_t> open(1 + conn_info::kWireSize, 0);
    open[0] = VQ_OPEN_CHANNEL;
    ASSERT_TRUE(EncodeConnInfo(login, open.data() + 1));
    ASSERT_EQ(SendCommand(open, reply), 0u);
  }
  // Runs the UI thread until pred holds (real time, the service's pace).
  bool Until(const std::function<bool()>& pred) {
    return Eventually([&] {
      host_->ProcessEvents();
      return pred();
    });
  }
  ui::Dialog* Sms() { return host_->FindDialog(client::IDD_SMS_AUTH); }
  void Type(ui::Dialog& d, const char* code) {
    ui::QtDialogView* view = host_->View(d);
    auto* edit = view->findChild<QLineEdit*>(QString::number(client::IDC_SMS_CODE));
    ASSERT_NE(edit, nullptr);
    edit->clear();
    QTest::keyClicks(edit, code);
  }
  void Press(ui::Dialog& d, int id) {
    auto* button = host_->View(d)->findChild<QPushButton*>(QString::number(id));
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
  }
  int ServiceStatus() {
    std::vector<uint8_t> reply;
    if (SendCommand({VQ_INQUERY}, reply) != 0 || reply.size() < 41) return -1;
    return static_cast<int>(wire::GetU32(&reply[37]));
  }

  TempRoot root_;
  std::unique_ptr<ui::QtHost> host_;
  std::unique_ptr<client::ClientApp> app_;
  std::unique_ptr<ChildProcess> service_;
};

TEST_F(SmsDialogEndToEnd, AWrongCodeThenTheRightOneCompleteTheLogin) {
  vqgw::GatewayOptions options;
  options.script = SmsLoginScript({.code = "123456"}, 3);
  vqgw::TlsGateway gateway(options);
  Open(gateway);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(Until([&] { return Sms() != nullptr; })) << ReadLogText();
  ui::Dialog& d = *Sms();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(host_->View(d)));

  Type(d, "000000");
  Press(d, ui::IDOK);
  ASSERT_TRUE(Until([&] { return Sms() && Sms()->IsVisible(client::IDC_SMS_WRONG_CODE); }));
  EXPECT_EQ(d.Text(client::IDC_SMS_WRONG_CODE), "There is wrong auth code,please re-enter!");
  ASSERT_TRUE(Until([&] { return d.IsEnabled(ui::IDOK); }));
  Type(d, "123456");
  Press(d, ui::IDOK);
  ASSERT_TRUE(Until([&] { return Sms() == nullptr; }));

  ASSERT_TRUE(Eventually([&] {
    const auto records = gateway.Connections();
    if (records.empty()) return false;
    for (const auto& bytes : records[0].received) {
      const auto m = vqgw::Decode(bytes);
      if (m && m->type == vqgw::kMsgClientInfo) return true;
    }
    return false;
  })) << "the client information after the code";
  const std::vector<std::string> codes = vqgw::SmsCodesReceived(gateway.Connections()[0]);
  std::printf("codes the gateway received:");
  for (const std::string& c : codes) std::printf(" %s", c.c_str());
  std::printf("\n");
  EXPECT_EQ(codes, (std::vector<std::string>{"000000", "123456"}));
}

TEST_F(SmsDialogEndToEnd, CancelSendsNoCodeAndEndsTheLogin) {
  vqgw::GatewayOptions options;
  options.script = SmsLoginScript({.code = "123456"}, 1);
  vqgw::TlsGateway gateway(options);
  Open(gateway);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(Until([&] { return Sms() != nullptr; })) << ReadLogText();
  ui::Dialog& d = *Sms();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(host_->View(d)));
  Press(d, ui::IDCANCEL);
  ASSERT_TRUE(Until([&] { return Sms() == nullptr; }));
  // Within two seconds of the close the channel is down.
  bool down = false;
  for (int i = 0; i < 20 && !down; ++i) {
    down = ServiceStatus() == 1;
    if (!down) QTest::qWait(100);
  }
  EXPECT_TRUE(down);
  EXPECT_TRUE(vqgw::SmsCodesReceived(gateway.Connections()[0]).empty());
}

// Reapply once the count-down has run, on the headless host's virtual
// clock against the same real service and gateway.
TEST_F(SmsDialogEndToEnd, ReapplyAfterTheCountDownAsksTheGatewayForAnotherCode) {
  app_->Shutdown();
  app_.reset();
  host_.reset();
  platform::FakeClock clock;
  ui::HeadlessHost host(clock);
  client::ClientApp::Settings settings;
  settings.language = 1033;
  settings.programDir = VQ_CLIENT_BUILD_DIR;
  client::ClientApp app(host, client::ClientHooks{}, settings);
  Argv argv({"Marrowlantern", "-d", "-q"});
  ASSERT_TRUE(app.Start(argv.argc(), argv.argv()));

  vqgw::GatewayOptions options;
  options.script = SmsLoginScript({.code = "123456"}, 2);
  vqgw::TlsGateway gateway(options);
  Open(gateway);
  if (HasFatalFailure()) return;
  auto until = [&](const std::function<bool()>& pred) {
    return Eventually([&] {
      host.RunUntilIdle();
      return pred();
    });
  };
  ASSERT_TRUE(until([&] { return host.FindDialog(client::IDD_SMS_AUTH) != nullptr; })) << ReadLogText();
  host.Advance(61 * 1000);
  ASSERT_TRUE(host.Click(client::IDD_SMS_AUTH, client::IDC_SMS_REAPPLY));
  ASSERT_TRUE(until([&] {
    ui::Dialog* d = host.FindDialog(client::IDD_SMS_AUTH);
    return d && d->IsVisible(client::IDC_SMS_WRONG_CODE);
  }));
  EXPECT_EQ(host.FindDialog(client::IDD_SMS_AUTH)->Text(client::IDC_SMS_WRONG_CODE),
            "Has reapplied auth code,please pay attention to your phone.");
  EXPECT_EQ(vqgw::SmsRequestsReceived(gateway.Connections()[0]), 2);
  service_.reset();
  app.Shutdown();
}

}  // namespace
