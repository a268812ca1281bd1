// The switch to the nearest preferred gateway across two namespaces.
// Client namespace: the tunnel service program in the console, the client
// application in-process (headless host, real clock), the saved connection
// A with proximity detection in a store under VQ_ROOT. Gateway namespace:
// test gateway A on 10.123.0.1 announcing [.12, .11] with proximity
// detection, test gateways on 10.123.0.11 and .12 (port 443) whose UDP
// ports echo the probes after 5 and 40 ms.
//   1. the login through A: the service sorts .11 first, the client takes it
//   2. A's set-up ends with 107, the client opens .11: connected (13)
//   3. .11 is saved as the current connection; A keeps the sorted list;
//      `vqpipe status` names .11 as the gateway
// Variant: .11 and .12 refuse the login: the client ends back on A.
//
// The login dialog is the build's own (headless): its Login button starts
// the connect, its pending profile is what event 13 saves.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client/app/preferred_gateways.h"
#include "client/connect_fixture.h"
#include "client/store/process_store.h"
#include "client/ui/login_dialog.h"
#include "client/ui/login_templates.h"
#include "common/child_process.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "gateway/negotiation_script.h"
#include "gateway/tls_gateway.h"
#include "gateway/udp_echo.h"
#include "netns/netns_fixture.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"
#include "support/registry_helpers.h"

namespace {

constexpr char kClientTun[] = "vqtun0";
constexpr char kA[] = "10.123.0.1";
constexpr char kNear[] = "10.123.0.11";
constexpr char kFar[] = "10.123.0.12";
constexpr char kUser[] = "demo";
constexpr uint16_t kPreferredPort = 443;
constexpr uint16_t kUdpPort = 4500;
// Five rounds of detection with a receive time-out of 2 s each, then two
// set-ups: generous for a loaded machine.
constexpr auto kSwitchDeadline = std::chrono::seconds(120);

vqgw::Ipv4 Octets(const char* dotted) {
  const uint32_t a = ::inet_addr(dotted);
  vqgw::Ipv4 out;
  std::memcpy(out.data(), &a, 4);
  return out;
}

class PreferredGatewayEndToEnd : public vqtest::NetnsTest, public ::testing::WithParamInterface<bool> {
 protected:
  bool Refused() const { return GetParam(); }

  void SetUp() override {
    NetnsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    LogInit(nullptr);
    ASSERT_EQ(InstallAdapter(kClientTun), 0);
    // The service keeps each gateway's certificate below the install folder
    // (the connection accepts a new one).
    ASSERT_EQ(RegWriteProductValue("QIMBO_HOME", root_->At("/opt/tarnwickgate")), 0);
    std::filesystem::create_directories(root_->At("/etc"));
    vqtest::WriteFileBytes(root_->At("/etc/resolv.conf"), "nameserver 10.123.0.53\n");
    const std::string gw = pair_->gateway();
    for (const char* address : {kNear, kFar}) {
      ASSERT_EQ(vqtest::RunInNetns(gw, {"ip", "addr", "add", std::string(address) + "/24", "dev", "vqg0"}), 0);
    }
    StartGateways();
    if (HasFatalFailure()) return;
    // Started from this thread: in the client namespace.
    service_ = std::make_unique<vqtest::ChildProcess>(std::vector<std::string>{BRINDLEWAY_PATH});
    ASSERT_TRUE(vqtest::Eventually([] {
      std::vector<uint8_t> reply;
      return vqtest::SendCommand({VQ_INQUERY}, reply) == 0;
    }));
  }

  void StartGateways() {
    vqtest::EnterNetns inside(pair_->gateway());
    ASSERT_TRUE(inside.ok());
    vqgw::NegotiationOptions announcing{.version = vqgw::kVersion2};
    announcing.clientInfo.preferredGateways = std::vector<vqgw::PreferredGateway>{
        {Octets(kFar), kPreferredPort, kUdpPort}, {Octets(kNear), kPreferredPort, kUdpPort}};
    announcing.clientInfo.proximity = true;
    a_ = Gateway(kA, 0, announcing);
    vqgw::NegotiationOptions plain{.version = vqgw::kVersion2};
    if (Refused()) plain.login.status = 1;
    near_ = Gateway(kNear, kPreferredPort, plain);
    far_ = Gateway(kFar, kPreferredPort, plain);
    nearEcho_ = std::make_unique<vqgateway::UdpEchoResponder>(
        vqgateway::UdpEchoOptions{.address = kNear, .port = kUdpPort, .delayMs = 5});
    farEcho_ = std::make_unique<vqgateway::UdpEchoResponder>(
        vqgateway::UdpEchoOptions{.address = kFar, .port = kUdpPort, .delayMs = 40});
  }

  static std::unique_ptr<vqgw::TlsGateway> Gateway(const char* address, uint16_t port,
                                                   const vqgw::NegotiationOptions& negotiation) {
    vqgw::GatewayOptions options;
    options.address = address;
    options.port = port;
    options.script = vqgw::HappyPathScript(negotiation);
    return std::make_unique<vqgw::TlsGateway>(options);
  }

  void TearDown() override {
    app_.reset();
    host_.reset();
    if (service_) {
      service_->Signal(SIGTERM);
      EXPECT_EQ(service_->Wait(30000), 0);
      service_.reset();
    }
    if (HasFailure() && root_) {
      const std::string log = vqtest::ReadLogText();
      std::cerr << "---- log (end) ----\n" << log.substr(log.size() > 16000 ? log.size() - 16000 : 0);
    }
    nearEcho_.reset();
    farEcho_.reset();
    a_.reset();
    near_.reset();
    far_.reset();
    LogCleanup();
    NetnsTest::TearDown();
  }

  client::ClientHooks Hooks() {
    client::ClientHooks h = vqtest::RecordingHooks(log_, answers_);
    // The build's own switch, login dialog and pending profile.
    vqtest::UseOwnPreferredSwitch(h);
    vqtest::UseOwnLoginDialog(h);
    return h;
  }

  // The client up, and the login through A with its saved connection.
  void LogInThroughA() {
    ASSERT_EQ(client::LoadXmlConfig(client::g_xmlConfig), 0);
    client::user_info a;
    a.NAME = kUser;
    a.HOST = kA;
    a.PORT = std::to_string(a_->Port());
    a.ALIASID = std::string(kUser) + "@" + kA + ":" + a.PORT;
    a.LOGINMODE = "0";
    a.REMPASSWORD = "0";
    a.REMPINWORD = "0";
    a.PROXDETECT = "1";
    aAlias_ = a.ALIASID;
    ASSERT_TRUE(client::g_xmlConfig.AddUser(a));
    ASSERT_TRUE(client::g_xmlConfig.AddListEntry(a));
    ASSERT_TRUE(client::g_xmlConfig.SetCurrentUser(a.ALIASID));
    ASSERT_TRUE(client::g_xmlConfig.CopyToCurrentUser(a));

    host_ = std::make_unique<platform::ui::HeadlessHost>();
    client::ClientApp::Settings settings;
    settings.language = 1033;
    settings.connect = services_.Env();
    app_ = std::make_unique<client::ClientApp>(*host_, Hooks(), std::move(settings));
    vqtest::Argv argv = vqtest::WindowOnly();
    ASSERT_TRUE(app_->Start(argv.argc(), argv.argv()));

    // Connect, as the tray runs it: the login dialog with the current saved
    // connection.
    app_->Window()->OnCommand(client::ID_CONNECT);
    host_->RunUntilIdle();
    platform::ui::Dialog* login = client::FindLoginDialog(*host_);
    ASSERT_NE(login, nullptr);
    ASSERT_EQ(login->Text(client::IDC_LOGIN_SAVED), aAlias_);
    ASSERT_EQ(login->Text(client::IDC_LOGIN_SERVER), kA);
    login->SetText(client::IDC_LOGIN_PASSWORD, "secret");
    ASSERT_TRUE(login->UserClick(platform::ui::IDOK));
  }

  // Runs the client's UI thread (its status poll keeps the service's
  // watchdog quiet) until done() holds or the deadline passed.
  template <typename Pred>
  bool RunClientUntil(Pred done) {
    const auto deadline = std::chrono::steady_clock::now() + kSwitchDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
      host_->RunUntilIdle();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
  }

  bool ConnectedTo(const char* address) {
    return app_->GetChannelStatus() == client::kStatusConnected &&
           app_->Link().Status().GetStatusGatewayAddress() == ::inet_addr(address);
  }

  // The gateway `vqpipe status` names, or its whole output when it names none.
  static std::string PipeStatusGateway() {
    const std::string out = vqtest::ProgramOutput(std::string(VQPIPE_PATH) + " status");
    std::istringstream lines(out);
    for (std::string label, address; lines >> label;) {
      if (label == "gateway:" && lines >> address) return address;
    }
    return out;
  }

  static bool SawLogin(const vqgw::TlsGateway& gateway) {
    for (const vqgw::ConnectionRecord& c : gateway.Connections()) {
      for (const vqgw::Bytes& m : c.received) {
        if (m.size() >= 4 && ((m[2] << 8) | m[3]) == vqgw::kMsgAuth) return true;
      }
    }
    return false;
  }

  std::unique_ptr<vqgw::TlsGateway> a_, near_, far_;
  std::unique_ptr<vqgateway::UdpEchoResponder> nearEcho_, farEcho_;
  std::unique_ptr<vqtest::ChildProcess> service_;
  vqtest::FakeServices services_;
  vqtest::HookLog log_;
  vqtest::HookAnswers answers_;
  std::string aAlias_;
  std::unique_ptr<platform::ui::HeadlessHost> host_;
  std::unique_ptr<client::ClientApp> app_;
};

TEST_P(PreferredGatewayEndToEnd, LoginEndsOnTheNearestGatewayThatTakesIt) {
  LogInThroughA();
  if (HasFatalFailure()) return;
  const char* expected = Refused() ? kA : kNear;
  const std::string expectedAlias = Refused() ? aAlias_ : std::string(kUser) + "@" + kNear + ":443";
  ASSERT_TRUE(RunClientUntil([&] {
    return ConnectedTo(expected) && client::g_xmlConfig.GetNodeText(client::XmlConfigXPath::CurrentUser) ==
                                        expectedAlias;
  })) << "status " << app_->GetChannelStatus();

  // A keeps the list in the order the service sorted it.
  const auto a = client::g_xmlConfig.FindUser(aAlias_);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->PROXSERVER, (std::vector<std::string>{"10.123.0.11:443", "10.123.0.12:443"}));
  EXPECT_TRUE(vqtest::Eventually([&] { return a_->Connections().size() >= 1 && a_->Connections()[0].finished; }))
      << "A never saw the first channel close";
  EXPECT_TRUE(SawLogin(*near_));
  // Probed: both preferred gateways' UDP ports saw the detection.
  EXPECT_FALSE(nearEcho_->Received().empty());
  EXPECT_FALSE(farEcho_->Received().empty());
  if (Refused()) {
    EXPECT_TRUE(SawLogin(*far_));
    EXPECT_EQ(a_->Connections().size(), 2u);
    EXPECT_TRUE(app_->Reports().proxSwitchDone);
  } else {
    EXPECT_FALSE(SawLogin(*far_));
    EXPECT_EQ(a_->Connections().size(), 1u);
  }

  const std::string log = vqtest::ReadLogText();
  EXPECT_NE(log.find(" begin PreferIPThread "), std::string::npos);
  EXPECT_NE(log.find("szTempAlias = demo@10.123.0.11:443"), std::string::npos);
  EXPECT_NE(log.find("Receive Prefer server ip reconnect!"), std::string::npos);
  // The open through .11 came after A's set-up ended: never refused as busy.
  EXPECT_EQ(log.find("There still exists one open SSL channel"), std::string::npos);
  // What a person asking the service sees: the gateway it ended on.
  EXPECT_EQ(PipeStatusGateway(), expected);

  app_->Window()->OnCommand(client::ID_DISCONNECT);
  EXPECT_TRUE(RunClientUntil([&] { return app_->GetChannelStatus() == client::kStatusDisconnected; }));
  EXPECT_FALSE(app_->Preferred().ThreadRunning());
}

INSTANTIATE_TEST_SUITE_P(Prefer, PreferredGatewayEndToEnd, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "PreferredGatewaysRefuse" : "NearestTakesIt";
                         });

}  // namespace
