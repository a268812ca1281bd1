// Pulling the USB key ends a real tunnel. Client namespace: the adapter
// from scripts/install-adapter, the tunnel service's run body in-process,
// and the client application in-process under the headless host, started
// as the web control starts it (-d -h -p -u -c -o PIN: login mode 2) with
// the user's certificate on a SoftHSM2 token. Gateway namespace: the test
// gateway (version 2), which takes only a client certificate of the test
// CA, and its UDP data plane.
//   1. the web start connects with the token's certificate -> status 4,
//      event 13
//   2. a device change with the key in place changes nothing
//   3. the key pulled and one device change: the gateway is told of the
//      close, the status reads 1 within 2 s, box 108 once, and the login
//      dialog once the box is answered
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/tls_context.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/service/channel_service.h"
#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client/cert/write_cert_settings.h"
#include "client/connect_fixture.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "common/no_desktop_shells.h"
#include "common/softhsm_certs.h"
#include "common/softhsm_token.h"
#include "common/softhsm_user.h"
#include "gateway/negotiation_script.h"
#include "gateway/test_chain.h"
#include "gateway/tls_gateway.h"
#include "gateway/udp_data_plane.h"
#include "netns/netns_fixture.h"
#include "platform/sync/clock.h"
#include "platform/tun/tun.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/win32_ui.h"
#include "support/command_pipe.h"
#include "support/registry_helpers.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

using vqtest::Eventually;

constexpr char kClientTun[] = "vqtun0";
constexpr char kGatewayTun[] = "vqgt0";
constexpr char kGatewayAddress[] = "10.123.0.1";
constexpr char kRemovedText[] = "The specific USB key has been removed or can not be used";
constexpr char kDisconnectLine[] = "Disconnect from the server";

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

uint32_t ServiceState() {
  std::vector<uint8_t> reply;
  if (vqtest::SendCommand({VQ_INQUERY}, reply) != 0 || reply.size() < kInqueryReplySize) return 0xFFFFFFFF;
  return wire::GetU32(reply.data() + 37);
}

class UsbKeyWatchEndToEnd : public vqtest::NetnsTest {
 protected:
  void SetUp() override {
    NetnsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    LogInit(nullptr);
    savedVersion_ = g_btProtocolVersion.load();
    SetStoredServerCertCheck([](X509*) { return 1; });

    // The user's key: the token with the certificate, chosen by its
    // fingerprint.
    ca_ = std::make_unique<vqtest::TestCa>();
    token_ = std::make_unique<vqtest::SoftHsmToken>(USB_KEY_PROVIDER_NAME);
    key_ = vqtest::MakeRsaKey();
    cert_ = ca_->Issue("Token User", key_.get());
    token_->Import({0x01}, cert_.get(), key_.get());
    CertSettings chosen = vqtest::SettingsByFingerprint(cert_.get());
    chosen.CSPName = USB_KEY_PROVIDER_NAME;
    ASSERT_EQ(WriteCertSettings(chosen, PRODUCT_SETTINGS_KEY), 0);

    ASSERT_EQ(InstallAdapter(kClientTun), 0);
    std::filesystem::create_directories(root_->At("/etc"));
    vqtest::WriteFileBytes(root_->At("/etc/resolv.conf"), "nameserver 10.123.0.53\n");
    const std::string gw = pair_->gateway();
    ASSERT_EQ(vqtest::RunInNetns(gw, {"ip", "tuntap", "add", "dev", kGatewayTun, "mode", "tun"}), 0);
    ASSERT_EQ(vqtest::RunInNetns(gw, {"ip", "addr", "add", "10.8.0.1", "peer", "10.8.0.2", "dev", kGatewayTun}), 0);
    ASSERT_EQ(vqtest::RunInNetns(gw, {"ip", "link", "set", kGatewayTun, "up"}), 0);
    StartGateway();
    if (HasFatalFailure()) return;

    service_ = std::thread(
        [this] { serviceResult_ = RunChannelService(serviceStop_, platform::InstanceLock::Role::Console); });
    ASSERT_TRUE(Eventually([] { return ServiceState() == CHANNEL_STATE_IDLE; }));
  }

  void StartGateway() {
    vqtest::EnterNetns inside(pair_->gateway());
    ASSERT_TRUE(inside.ok());
    ASSERT_EQ(platform::tun::OpenTun(kGatewayTun, gatewayTun_), 0u);
    negotiation_.version = vqgw::kVersion2;
    vqgateway::UdpDataPlaneOptions udp;
    udp.address = kGatewayAddress;
    udp.port = *negotiation_.setIp.udpPort;
    udp.version = vqgw::kVersion2;
    udp.tun = gatewayTun_.get();
    udp.recordTraffic = false;
    dataPlane_ = std::make_unique<vqgateway::UdpDataPlane>(udp);
    vqgw::GatewayOptions tls;
    tls.address = kGatewayAddress;
    tls.clientCa = vqgw::ShareX509Cert(ca_->cert());
    tls.script = vqgw::HappyPathScript(negotiation_);
    tls_ = std::make_unique<vqgw::TlsGateway>(tls);
  }

  void TearDown() override {
    if (app_) app_->Shutdown();
    app_.reset();
    host_.reset();
    if (service_.joinable()) {
      serviceStop_.Set();
      service_.join();
      EXPECT_EQ(serviceResult_, RUN_OK);
    }
    if (HasFailure() && root_) {
      const std::string log = vqtest::ReadLogText();
      std::cerr << "---- log (end) ----\n" << log.substr(log.size() > 12000 ? log.size() - 12000 : 0);
    }
    tls_.reset();
    dataPlane_.reset();
    gatewayTun_.reset();
    token_.reset();
    SetStoredServerCertCheck(nullptr);
    esp_sa_cleanup();
    g_btProtocolVersion = savedVersion_;
    LogCleanup();
    NetnsTest::TearDown();
  }

  // The client as the web control starts it.
  void StartClient() {
    host_ = std::make_unique<platform::ui::HeadlessHost>(clock_);
    client::ClientApp::Settings settings;
    settings.language = 1033;
    settings.connect = services_.Env();
    settings.link.sleep = [](uint32_t) {};
    settings.link.managerSleep = [](uint32_t) {};
    app_ = std::make_unique<client::ClientApp>(*host_, vqtest::RecordingHooks(log_, answers_), settings);
    vqtest::Argv argv({"Marrowlantern", "-d", "-h", kGatewayAddress, "-p", std::to_string(tls_->Port()), "-u",
                       "demo", "-c", "S", "-o", vqtest::SoftHsmToken::kUserPin});
    ASSERT_TRUE(app_->Start(argv.argc(), argv.argv()));
  }

  // One second of the client: its work, the status poll, the watchers'
  // sleeps; in real time too, as the service's watchdog counts it.
  void Second() {
    host_->RunUntilIdle();
    host_->Advance(1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    host_->RunUntilIdle();
  }

  // Runs the client's seconds until pred holds (at most limit of them).
  template <typename Pred>
  bool Seconds(int limit, Pred pred) {
    for (int i = 0; i < limit; ++i) {
      if (pred()) return true;
      Second();
    }
    return pred();
  }

  // The gateway was told of the close (version 2: the data plane's logout).
  bool GatewayToldOfLogout() const { return dataPlane_->Stats().logouts >= 1; }

  // Gives the data plane the keys of the client's key request.
  void HandKeysToDataPlane() {
    ASSERT_TRUE(Seconds(30, [&] {
      const auto connections = tls_->Connections();
      return !connections.empty() && !connections[0].keyRequests.empty();
    })) << "no key request reached the gateway";
    const vqgw::KeyRequest request = tls_->Connections()[0].keyRequests.front();
    ASSERT_TRUE(request.keyBlock.has_value());
    dataPlane_->SetEspConfig(vqgw::EspPeerConfigFor(request, negotiation_.key));
  }

  int RemovedBoxes() {
    int n = 0;
    for (const auto& box : host_->PendingBoxes()) n += box.text.text == kRemovedText;
    return n;
  }

  vqtest::NoDesktopShells noDesktop_;
  std::unique_ptr<vqtest::TestCa> ca_;
  std::unique_ptr<vqtest::SoftHsmToken> token_;
  platform::crypto::EvpPkeyPtr key_;
  platform::crypto::X509Ptr cert_;
  vqgw::NegotiationOptions negotiation_;
  std::unique_ptr<platform::tun::Device> gatewayTun_;
  std::unique_ptr<vqgateway::UdpDataPlane> dataPlane_;
  std::unique_ptr<vqgw::TlsGateway> tls_;
  platform::Event serviceStop_{platform::Event::Reset::Manual};
  std::atomic<int> serviceResult_{-100};
  std::thread service_;
  uint8_t savedVersion_ = 0;
  vqtest::FakeServices services_;
  vqtest::HookLog log_;
  vqtest::HookAnswers answers_;
  platform::FakeClock clock_;
  std::unique_ptr<platform::ui::HeadlessHost> host_;
  std::unique_ptr<client::ClientApp> app_;
};

TEST_F(UsbKeyWatchEndToEnd, PullingTheKeyEndsTheTunnel) {
  StartClient();
  if (HasFatalFailure()) return;
  HandKeysToDataPlane();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(Seconds(30, [&] { return app_->GetChannelStatus() == 4 && app_->GetUsbKeyValue() == 1; }))
      << "status " << app_->GetChannelStatus() << ", key value " << app_->GetUsbKeyValue();
  EXPECT_EQ(app_->GetLoginMode(), 2);
  const auto connections = tls_->Connections();
  ASSERT_FALSE(connections.empty());
  EXPECT_EQ(connections[0].clientCertDer, vqtest::CertDer(cert_.get())) << connections[0].handshakeError;

  // Another device comes and goes: four probes find the key.
  app_->Window()->OnDeviceChange();
  ASSERT_TRUE(Seconds(10, [&] { return app_->Threads().Running() == 0; }));
  EXPECT_EQ(ServiceState(), CHANNEL_STATE_CONNECTED);
  EXPECT_EQ(Occurrences(vqtest::ReadLogText(), kDisconnectLine), 0);
  EXPECT_TRUE(host_->PendingBoxes().empty());

  token_->Pull();
  app_->Window()->OnDeviceChange();
  const auto pulled = std::chrono::steady_clock::now();
  host_->RunUntilIdle();
  ASSERT_TRUE(Eventually([&] {
    host_->RunUntilIdle();
    return ServiceState() == CHANNEL_STATE_IDLE;
  }));
  EXPECT_LT(vqtest::MsSince(pulled), 2000);
  EXPECT_TRUE(Eventually([&] { return GatewayToldOfLogout(); }));
  ASSERT_TRUE(Seconds(5, [&] { return app_->GetChannelStatus() == 1; }));
  EXPECT_EQ(Occurrences(vqtest::ReadLogText(), kDisconnectLine), 1);
  EXPECT_EQ(RemovedBoxes(), 1);
  EXPECT_EQ(log_.Count("login-dialog"), 0);
  ASSERT_TRUE(host_->Answer(kRemovedText, platform::ui::IDOK));
  host_->RunUntilIdle();
  EXPECT_EQ(log_.Count("login-dialog"), 1);
  // Nothing later disconnects again or shows the box a second time.
  Seconds(3, [] { return false; });
  EXPECT_EQ(Occurrences(vqtest::ReadLogText(), kDisconnectLine), 1);
  EXPECT_EQ(RemovedBoxes(), 0);
}

}  // namespace
}  // namespace brindleway
