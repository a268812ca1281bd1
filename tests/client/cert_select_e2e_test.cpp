// From the dialog to the gateway: the user picks a certificate in Select
// Certificate (Qt widgets, QTest), the real tunnel service (Brindleway in
// the console, this test's VQ_ROOT) opens a USB-key channel through its
// command pipe, and the test gateway, which requires a client certificate
// of the test CA, records the one it was shown. The set-up fails after the
// handshake (the gateway hangs up); the handshake is what counts.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <cstdlib>
#include <memory>
#include <optional>

#include "client/cert_token.h"
#include "client/ui/cert_choice.h"
#include "client/ui/select_certificate_dialog.h"
#include "common/child_process.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "common/no_desktop_shells.h"
#include "gateway/test_chain.h"
#include "gateway/tls_gateway.h"
#include "platform/crypto/cert_store.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"
#include "support/conn_info_codec.h"
#include "support/registry_helpers.h"

namespace {

using namespace platform::ui;
using vqtest::CertToken;

constexpr uint8_t VQ_OPEN_CHANNEL = 1;
constexpr uint8_t VQ_INQUERY = 3;

class CertSelectEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    user_.AddToToken("Token First", 1);
    user_.AddToToken("Token Second", 2);
    user_.AddToToken("Token Third", 3);
    // The gateway's certificate, kept on first use, goes below the root.
    ASSERT_EQ(RegWriteProductValue("QIMBO_HOME", user_.root.At("/opt/tarnwickgate")), 0);
    host_ = std::make_unique<QtHost>(clock_, user_.root.At("/res"));
    host_->SetStrings(vqtest::ClientStrings(1033));
    // The token's certificates in the store's order.
    platform::crypto::CertStore store;
    ASSERT_EQ(platform::crypto::CertStore::OpenSystem("MY", store), 0u);
    for (const auto& cert : store.certificates())
      if (cert->keyProvInfo()) tokenOrder_.push_back(cert);
    ASSERT_EQ(tokenOrder_.size(), 3u);
  }
  void TearDown() override { host_.reset(); }

  // Opens Select Certificate, lets the person's steps run, presses OK.
  void Choose(const std::function<void(Dialog&, QtDialogView&)>& steps) {
    std::optional<int> result;
    ASSERT_TRUE(ChooseClientCertificate(*host_, nullptr, settings_, [&](int r) { result = r; }));
    host_->ProcessEvents();
    Dialog* d = host_->FindDialog(IDD_SELECT_CERTIFICATE);
    ASSERT_NE(d, nullptr);
    QtDialogView* view = host_->View(*d);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view));
    steps(*d, *view);
    host_->ProcessEvents();
    QTest::mouseClick(view->findChild<QPushButton*>(QString::number(IDOK)), Qt::LeftButton);
    host_->ProcessEvents();
    ASSERT_EQ(result, 0);
  }

  // A USB-key login through the real tunnel service: the client
  // certificate the gateway saw.
  std::vector<uint8_t> CertificateTheGatewaySees(vqgw::TlsGateway& gateway, size_t connection) {
    vqtest::FakePipeServer gui;
    vqtest::ChildProcess service({BRINDLEWAY_PATH});
    std::vector<uint8_t> reply;
    EXPECT_TRUE(vqtest::Eventually([&] { return vqtest::SendCommand({VQ_INQUERY}, reply) == 0; }));

    conn_info login;
    login.host = "127.0.0.1";
    login.port = gateway.Port();
    login.auth_type = AUTH_TYPE_PASSWORD;
    login.init = CONN_FLAG_USB_KEY;
    login.user = "alice";
    login.secret1 = "secret";
    login.secret2 = vqtest::SoftHsmToken::kUserPin;
    std::vector<uint8_t> open(1 + conn_info::kWireSize, 0);
    open[0] = VQ_OPEN_CHANNEL;
    EXPECT_TRUE(EncodeConnInfo(login, open.data() + 1));
    EXPECT_EQ(vqtest::SendCommand(open, reply), 0u);

    EXPECT_TRUE(gateway.WaitConnections(connection + 1, 20000));
    EXPECT_TRUE(gateway.WaitFinished(connection, 20000));
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(20000), 0) << vqtest::ReadLogText();
    const auto records = gateway.Connections();
    if (records.size() <= connection) return {};
    EXPECT_TRUE(records[connection].handshakeDone) << records[connection].handshakeError;
    return records[connection].clientCertDer;
  }

  CertToken user_;
  vqtest::NoDesktopShells noDesktop_;
  platform::FakeClock clock_;
  std::unique_ptr<QtHost> host_;
  ClientCertSettings settings_;
  std::vector<platform::crypto::CertContextPtr> tokenOrder_;
};

TEST_F(CertSelectEndToEnd, TheGatewaySeesTheCertificateChosenInTheDialog) {
  vqgw::GatewayOptions options;
  options.clientCa = vqgw::ShareX509Cert(user_.ca.cert());
  // Hang up after the handshake: the login fails at once.
  options.script = {vqgw::Action::Close(true)};
  vqgw::TlsGateway gateway(options);

  // The second certificate, clicked in the list.
  Choose([](Dialog&, QtDialogView& view) {
    auto* list = view.findChild<QListWidget*>(QString::number(IDC_CERT_LIST));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count(), 3);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
  });
  EXPECT_EQ(settings_.Get().CertName, "Token Second");
  EXPECT_EQ(CertificateTheGatewaySees(gateway, 0), tokenOrder_[1]->encoded());

  // "Use Default Certificate": the first certificate of the USB key's provider.
  Choose([](Dialog&, QtDialogView& view) {
    QTest::mouseClick(view.findChild<QCheckBox*>(QString::number(IDC_USE_DEFAULT_CERT)), Qt::LeftButton);
  });
  EXPECT_EQ(settings_.Get().IsUseDefaultCert, 1u);
  EXPECT_EQ(CertificateTheGatewaySees(gateway, 1), tokenOrder_[0]->encoded());
}

}  // namespace
