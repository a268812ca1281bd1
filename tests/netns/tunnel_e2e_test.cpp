// The whole tunnel across two namespaces. Client namespace: the tunnel
// service's run body in-process with its real data path (the adapter from
// scripts/install-adapter, a resolv.conf under VQ_ROOT) and a fake client
// application on the report pipe. Gateway namespace: the test gateway (TLS
// negotiation, UDP data plane, its own TUN 10.8.0.1 peer 10.8.0.2).
//   1. open through the command pipe -> state 4; routes and DNS in place
//   2. ICMP echo to 10.8.0.1 through the tunnel
//   3. 4 MB over TCP to a listener on 10.8.0.1 arrive byte-identical
//   4. the status reply counts the traffic
//   5. close -> state 1, the gateway is told, routes and resolv.conf exactly
//      as before the open
// The client application's service link drives the same road
// (ClientServiceLink...): its poll reads state 4 and the traffic, keeps the
// service's watchdog quiet, and reads state 1 after its disconnect; its
// tray (ClientTray...) shows it and disconnects from its menu.
// And, while a tunnel runs, the updater reads the gateway's update list
// from its portal on the same port; and the client's update trigger with
// the installed tunnel service (UpdateTrigger...): an outdated client's
// refused login, or the live tunnel with the real updater, ends in the
// service stopped, the new installer started and the client gone.
// A portal page (vqpage) starts the installed client through the web
// control and scripts it (WebControlEndToEnd).
// Once for a version-1 and once for a version-2 gateway.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <signal.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/tls_context.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/password_login.h"
#include "Brindleway/service/channel_service.h"
#include "Brindleway/service/gui_command.h"
#include <QAbstractButton>
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/client_strings.h"
#include "client/app/main_window.h"
#include "client/app/service_link.h"
#include "client/client_fixture.h"
#include "client/store/process_store.h"
#include "client/ui/change_password_dialog.h"
#include "client/connect_fixture.h"
#include "client/ui/general_page.h"
#include "client/ui/login_dialog.h"
#include "client/ui/login_templates.h"
#include "client/ui/interface_page.h"
#include "client/ui/network_info_dialog.h"
#include "client/ui/route_page.h"
#include "client/ui/sms_auth_dialog.h"
#include "common/child_process.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/foreign_pipe_server.h"
#include "common/log_reader.h"
#include "common/softhsm_certs.h"
#include "common/softhsm_token.h"
#include "gateway/negotiation_script.h"
#include "gateway/sms_exchange.h"
#include "gateway/udp_data_plane.h"
#include "netns/netns_fixture.h"
#include "platform/net/ip_helper.h"
#include "platform/net/link.h"
#include "platform/paths/paths.h"
#include "platform/service/service.h"
#include "platform/text/utf16.h"
#include "platform/tun/tun.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"
#include "support/conn_info_codec.h"
#include "support/url_credential.h"
#include "support/registry_helpers.h"
#include "support/ipv4_text.h"
#include "support/language_strings.h"
#include "support/log.h"
#include "support/wire.h"
#include "tools/icmp_echo.h"

namespace brindleway {
namespace {

using vqtest::Eventually;

constexpr char kClientTun[] = "vqtun0";
constexpr char kGatewayTun[] = "vqgt0";
constexpr char kGatewayAddress[] = "10.123.0.1";
constexpr char kGatewayTunnelAddress[] = "10.8.0.1";
constexpr char kResolvConf[] = "# the machine's own\nsearch example.test\nnameserver 10.123.0.53\n";
constexpr size_t kTransferBytes = 4u << 20;
constexpr int kSocketTimeoutMs = 20000;

struct Inquiry {
  uint32_t state = 0xFFFFFFFF;
  uint32_t packetsReceived = 0;
  uint32_t packetsSent = 0;
  uint32_t bytesReceived = 0;
  uint32_t bytesSent = 0;
};

Inquiry Inquire() {
  Inquiry out;
  std::vector<uint8_t> reply;
  if (vqtest::SendCommand({VQ_INQUERY}, reply) != 0 || reply.size() < kInqueryReplySize) return out;
  out.packetsReceived = wire::GetU32(reply.data() + 13);
  out.packetsSent = wire::GetU32(reply.data() + 17);
  out.bytesReceived = wire::GetU32(reply.data() + 21);
  out.bytesSent = wire::GetU32(reply.data() + 25);
  out.state = wire::GetU32(reply.data() + 37);
  return out;
}

using RouteKey = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t>;

// The main route table of the calling thread's namespace, every field.
std::vector<RouteKey> Routes() {
  std::vector<platform::net::IpForwardRow> rows;
  EXPECT_EQ(platform::net::GetIpForwardTable(rows, true), 0u);
  std::vector<RouteKey> out;
  for (const auto& r : rows) out.emplace_back(r.dest, r.mask, r.nextHop, r.ifIndex, r.type, r.proto, r.metric1);
  std::sort(out.begin(), out.end());
  return out;
}

// A stream socket of the namespace the calling thread is in.
platform::UniqueFd StreamSocket() {
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  const timeval timeout{kSocketTimeoutMs / 1000, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  return fd;
}

sockaddr_in Address(const char* dotted, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, dotted, &a.sin_addr);
  return a;
}

// Accepts one connection on its own thread and keeps every byte until the
// peer ends its side. The listening socket is made in the caller's
// namespace.
class TcpSink {
 public:
  explicit TcpSink(const char* address) : listen_(StreamSocket()) {
    sockaddr_in a = Address(address, 0);
    if (!listen_.valid() || ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_.get(), 1) != 0) {
      listen_.reset();
      return;
    }
    socklen_t length = sizeof a;
    ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
  }
  ~TcpSink() { Join(); }
  TcpSink(const TcpSink&) = delete;
  TcpSink& operator=(const TcpSink&) = delete;

  bool ok() const { return listen_.valid(); }
  uint16_t port() const { return port_; }

  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  // What arrived, once the peer ended its side (or the wait ran out).
  const std::vector<uint8_t>& Join() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void Run() {
    pollfd p{listen_.get(), POLLIN, 0};
    if (::poll(&p, 1, kSocketTimeoutMs) != 1) return;
    platform::UniqueFd connection(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid()) return;
    const timeval timeout{kSocketTimeoutMs / 1000, 0};
    ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::vector<uint8_t> buffer(65536);
    for (;;) {
      const ssize_t n = ::recv(connection.get(), buffer.data(), buffer.size(), 0);
      if (n <= 0) return;
      received_.insert(received_.end(), buffer.begin(), buffer.begin() + n);
    }
  }

  platform::UniqueFd listen_;
  uint16_t port_ = 0;
  std::vector<uint8_t> received_;
  std::thread thread_;
};

// Sends all of data over a new connection to address:port and ends the
// sending side; false with the reason on the way.
::testing::AssertionResult SendAll(const char* address, uint16_t port, const std::vector<uint8_t>& data) {
  platform::UniqueFd fd = StreamSocket();
  sockaddr_in to = Address(address, port);
  if (!fd.valid() || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
    return ::testing::AssertionFailure() << "connect: " << std::strerror(errno);
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(fd.get(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return ::testing::AssertionFailure() << "send stopped at " << done << ": " << std::strerror(errno);
    done += static_cast<size_t>(n);
  }
  if (::shutdown(fd.get(), SHUT_WR) != 0) return ::testing::AssertionFailure() << "shutdown: " << std::strerror(errno);
  return ::testing::AssertionSuccess();
}

class TunnelEndToEnd : public vqtest::NetnsTest, public ::testing::WithParamInterface<uint8_t> {
 protected:
  void SetUp() override {
    NetnsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    LogInit(nullptr);
    if (fakeClientApp_) gui_ = std::make_unique<vqtest::FakePipeServer>();
    savedVersion_ = g_btProtocolVersion.load();
    // The test gateway's certificate is self-signed; trusting it is the
    // certificate check's business, not this test's.
    SetStoredServerCertCheck([](X509*) { return 1; });

    ASSERT_EQ(InstallAdapter(kClientTun), 0);
    std::filesystem::create_directories(root_->At("/etc"));
    vqtest::WriteFileBytes(root_->At("/etc/resolv.conf"), kResolvConf);

    const std::string gw = pair_->gateway();
    ASSERT_EQ(vqtest::RunInNetns(gw, {"ip", "tuntap", "add", "dev", kGatewayTun, "mode", "tun"}), 0);
    ASSERT_EQ(vqtest::RunInNetns(gw, {"ip", "addr", "add", kGatewayTunnelAddress, "peer", "10.8.0.2", "dev",
                                      kGatewayTun}),
              0);
    ASSERT_EQ(vqtest::RunInNetns(gw, {"ip", "link", "set", kGatewayTun, "up"}), 0);
    StartGateway();
    if (HasFatalFailure()) return;

    if (startService_) StartService();
  }

  // The service's threads are started here, in the client namespace; as a
  // process of its own (started from this thread, so in the client
  // namespace too) when the test kills it.
  void StartService() {
    if (serviceInstalled_) {
      ASSERT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "install"}), 0);
      serviceInstalledHere_ = true;
      ASSERT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "start"}), 0);
    } else if (serviceAsProcess_) {
      serviceProcess_ = std::make_unique<vqtest::ChildProcess>(std::vector<std::string>{BRINDLEWAY_PATH});
    } else {
      service_ = std::thread(
          [this] { serviceResult_ = RunChannelService(serviceStop_, platform::InstanceLock::Role::Console); });
    }
    ASSERT_TRUE(Eventually([] { return Inquire().state == CHANNEL_STATE_IDLE; }));
  }

  // Everything of the gateway is made, and its threads started, inside the
  // gateway namespace.
  void StartGateway() {
    vqtest::EnterNetns inside(pair_->gateway());
    ASSERT_TRUE(inside.ok());
    ASSERT_EQ(platform::tun::OpenTun(kGatewayTun, gatewayTun_), 0u);
    negotiation_.version = GetParam();
    negotiation_.setIp.dns = std::vector<vqgw::Ipv4>{{10, 8, 0, 53}};
    negotiation_.setIp.wins = wins_;
    vqgateway::UdpDataPlaneOptions udp;
    udp.address = kGatewayAddress;
    udp.port = *negotiation_.setIp.udpPort;
    udp.version = GetParam();
    udp.tun = gatewayTun_.get();
    udp.recordTraffic = false;
    dataPlane_ = std::make_unique<vqgateway::UdpDataPlane>(udp);
    vqgw::GatewayOptions tls;
    tls.address = kGatewayAddress;
    tls.port = gatewayPort_;
    tls.script = vqgw::HappyPathScript(negotiation_);
    tls.portal = portal_;
    tls.clientCa = clientCa_;
    tls_ = std::make_unique<vqgw::TlsGateway>(tls);
    sink_ = std::make_unique<TcpSink>(kGatewayTunnelAddress);
    ASSERT_TRUE(sink_->ok());
  }

  void TearDown() override {
    if (serviceInstalledHere_) {
      EXPECT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "stop"}), 0);
      EXPECT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "uninstall"}), 0);
    }
    if (serviceProcess_) {
      serviceProcess_->Signal(SIGTERM);
      EXPECT_EQ(serviceProcess_->Wait(30000), 0);
      serviceProcess_.reset();
    }
    if (service_.joinable()) {
      serviceStop_.Set();
      service_.join();
      EXPECT_EQ(serviceResult_, RUN_OK);
    }
    if (HasFailure() && root_) {
      const std::string log = vqtest::ReadLogText();
      std::cerr << "---- service log (end) ----\n" << log.substr(log.size() > 12000 ? log.size() - 12000 : 0);
    }
    gui_.reset();
    sink_.reset();
    tls_.reset();
    dataPlane_.reset();
    gatewayTun_.reset();
    SetStoredServerCertCheck(nullptr);
    esp_sa_cleanup();
    g_btProtocolVersion = savedVersion_;
    LogCleanup();
    NetnsTest::TearDown();
  }

  // Opens the channel and hands the gateway's data plane the keys of the
  // client's key request; true once the status says connected.
  void Open() {
    std::vector<uint8_t> open(1 + conn_info::kWireSize, 0);
    open[0] = VQ_OPEN_CHANNEL;
    conn_info login = PasswordLogin(kGatewayAddress, tls_->Port());
    login.init |= openInit_;
    ASSERT_TRUE(EncodeConnInfo(login, open.data() + 1));
    std::vector<uint8_t> reply;
    ASSERT_EQ(vqtest::SendCommand(open, reply), 0u);
    HandKeysToDataPlane();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(Eventually([] { return Inquire().state == CHANNEL_STATE_CONNECTED; }));
  }

  // Gives the gateway's data plane the keys of the client's key request.
  void HandKeysToDataPlane() {
    ASSERT_TRUE(Eventually([&] {
      const auto connections = tls_->Connections();
      return !connections.empty() && !connections[0].keyRequests.empty();
    })) << "no key request reached the gateway";
    const vqgw::KeyRequest request = tls_->Connections()[0].keyRequests.front();
    ASSERT_TRUE(request.keyBlock.has_value());
    dataPlane_->SetEspConfig(vqgw::EspPeerConfigFor(request, negotiation_.key));
  }

  bool GatewayToldOfLogout() const {
    if ((GetParam() & 0xF0) >= 0x20) return dataPlane_->Stats().logouts >= 1;
    const std::vector<vqgw::ConnectionRecord> connections = tls_->Connections();
    for (const vqgw::Bytes& m : connections[0].received) {
      if (m.size() >= 4 && ((m[2] << 8) | m[3]) == vqgw::kMsgLogout) return true;
    }
    return false;
  }

  vqgw::NegotiationOptions negotiation_;
  std::unique_ptr<platform::tun::Device> gatewayTun_;
  std::unique_ptr<vqgateway::UdpDataPlane> dataPlane_;
  std::shared_ptr<vqgw::Portal> portal_ = std::make_shared<vqgw::Portal>(vqgw::PortalOptions{
      .sessionUser = "alice", .sessionId = "S1", .folder = std::string(VQ_TEST_DATA_DIR) + "/portal"});
  std::unique_ptr<vqgw::TlsGateway> tls_;
  std::unique_ptr<TcpSink> sink_;
  std::unique_ptr<vqtest::FakePipeServer> gui_;
  platform::Event serviceStop_{platform::Event::Reset::Manual};
  std::atomic<int> serviceResult_{-100};
  std::thread service_;
  bool serviceAsProcess_ = false;
  // The service installed and started through the service manager, as
  // the package does, instead of run here.
  bool serviceInstalled_ = false;
  bool serviceInstalledHere_ = false;
  // False when the client application itself serves the report pipe.
  bool fakeClientApp_ = true;
  uint16_t gatewayPort_ = 0;  // 0: any free port
  uint32_t openInit_ = 0;
  std::unique_ptr<vqtest::ChildProcess> serviceProcess_;
  uint8_t savedVersion_ = 0;
  std::vector<vqgw::Ipv4> wins_;  // the WINS servers the gateway assigns
  std::shared_ptr<X509> clientCa_;  // set: client certificates of this CA required
  bool startService_ = true;        // false: the test starts the service its own way
};

TEST_P(TunnelEndToEnd, PingAndTcpCrossTheTunnelAndCloseRestoresRoutesAndDns) {
  const std::vector<RouteKey> routesBefore = Routes();
  const std::string resolvBefore = vqtest::ReadFileBytes(root_->At("/etc/resolv.conf"));
  ASSERT_EQ(resolvBefore, kResolvConf);

  Open();
  if (HasFatalFailure()) return;

  // The session's route and DNS server are in place.
  const uint32_t tunIndex = platform::net::InterfaceIndex(kClientTun);
  const std::vector<RouteKey> routesOpen = Routes();
  EXPECT_TRUE(std::any_of(routesOpen.begin(), routesOpen.end(), [&](const RouteKey& r) {
    return std::get<0>(r) == A("192.168.50.0") && std::get<1>(r) == A("255.255.255.0") && std::get<3>(r) == tunIndex;
  })) << "the gateway's route is not on the tunnel interface";
  const std::string resolvOpen = vqtest::ReadFileBytes(root_->At("/etc/resolv.conf"));
  EXPECT_LT(resolvOpen.find("nameserver 10.8.0.53"), resolvOpen.find("nameserver 10.123.0.53")) << resolvOpen;

  for (uint16_t sequence = 1; sequence <= 3; ++sequence) {
    const vqtools::EchoResult echo = vqtools::IcmpEcho(kGatewayTunnelAddress, 0x7151, sequence, 2000);
    EXPECT_TRUE(echo.ok) << "echo " << sequence << ": " << echo.error;
  }

  std::vector<uint8_t> data(kTransferBytes);
  std::mt19937 random(GetParam());
  for (uint8_t& b : data) b = static_cast<uint8_t>(random());
  sink_->Start();
  EXPECT_TRUE(SendAll(kGatewayTunnelAddress, sink_->port(), data));
  const std::vector<uint8_t>& received = sink_->Join();
  ASSERT_EQ(received.size(), data.size());
  const auto mismatch = std::mismatch(received.begin(), received.end(), data.begin());
  EXPECT_TRUE(mismatch.first == received.end())
      << "first differing byte at " << (mismatch.first - received.begin());

  // Every byte sent went through the client's packet path, and the echo
  // replies and TCP acknowledgements came back through it.
  const Inquiry status = Inquire();
  EXPECT_EQ(status.state, CHANNEL_STATE_CONNECTED);
  EXPECT_GE(status.bytesSent, kTransferBytes);
  EXPECT_GE(status.packetsSent, kTransferBytes / 1400);
  EXPECT_GE(status.packetsReceived, 3u);
  EXPECT_GT(status.bytesReceived, 0u);
  EXPECT_GE(dataPlane_->Stats().traffic, static_cast<int>(kTransferBytes / 1400));
  EXPECT_EQ(dataPlane_->Stats().decapFailures, 0);

  std::vector<uint8_t> reply;
  ASSERT_EQ(vqtest::SendCommand({VQ_CLOSE_CHANNEL}, reply), 0u);
  ASSERT_TRUE(Eventually([] { return Inquire().state == CHANNEL_STATE_IDLE; }));
  EXPECT_TRUE(Eventually([&] { return GatewayToldOfLogout(); }));
  EXPECT_EQ(Routes(), routesBefore);
  EXPECT_EQ(vqtest::ReadFileBytes(root_->At("/etc/resolv.conf")), resolvBefore);
}

bool LogHas(const char* text) { return vqtest::ReadLogText().find(text) != std::string::npos; }

TEST_P(TunnelEndToEnd, ClientServiceLinkPollReadsConnectedThenDisconnected) {
  platform::ui::HeadlessHost host;
  client::ClientApp app(host);
  client::ServiceLink& link = app.Link();
  conn_info login = PasswordLogin(kGatewayAddress, tls_->Port());
  login.init |= CONN_FLAG_NEW_SERVER_CERT;
  ASSERT_EQ(link.SendConnectCommand(login), 0);
  HandKeysToDataPlane();
  if (HasFatalFailure()) return;

  ASSERT_TRUE(Eventually([&] { return link.SendInqueryCommand() == 0 && app.GetChannelStatus() == 4; }));
  const client::StatusBlock& status = link.Status();
  EXPECT_EQ(status.GetStatusGatewayAddress(), inet_addr(kGatewayAddress));
  const double connectedAt = status.GetStatusConnectedTime();
  const uint32_t received = status.GetStatusPacketsReceived();
  const uint32_t sent = status.GetStatusPacketsSent();
  for (uint16_t sequence = 1; sequence <= 3; ++sequence)
    EXPECT_TRUE(vqtools::IcmpEcho(kGatewayTunnelAddress, 0x7152, sequence, 2000).ok);

  // The poll is the service's keep-alive: 15 s of it keep the watchdog quiet.
  for (int tick = 0; tick < 15; ++tick) {
    EXPECT_EQ(link.SendInqueryCommand(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  }
  EXPECT_GT(status.GetStatusConnectedTime(), connectedAt);
  EXPECT_GE(status.GetStatusPacketsReceived(), received + 3);
  EXPECT_GE(status.GetStatusPacketsSent(), sent + 3);
  EXPECT_FALSE(LogHas("Receive keep-alive message from GUI timeout"));
  // Without it the watchdog runs out after some ten seconds.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!LogHas("Receive keep-alive message from GUI timeout") && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(LogHas("Receive keep-alive message from GUI timeout"));

  link.SendDisconnectCommand();
  ASSERT_TRUE(Eventually([&] { return link.SendInqueryCommand() == 0 && app.GetChannelStatus() == 1; }));
  EXPECT_EQ(status.GetStatusGatewayAddress(), 0u);
  EXPECT_EQ(status.GetStatusLocalAddress(), 0u);
  EXPECT_EQ(status.GetStatusPacketsReceived(), 0u);
  EXPECT_EQ(status.GetStatusPacketsSent(), 0u);
}

size_t CountLines(const std::string& path, const std::string& a, const std::string& b) {
  const std::string text = vqtest::ReadFileBytes(path);
  size_t n = 0;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
    const std::string line = text.substr(start, end - start);
    if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) ++n;
  }
  return n;
}

// The client's tray in-process with the Qt host offscreen, its poll on the
// real service: the tip and a balloon show the tunnel, a ping lights the
// busy icon, and Disconnect chosen in the tray menu ends the tunnel.
TEST_P(TunnelEndToEnd, ClientTrayShowsTheTunnelAndDisconnectsFromTheMenu) {
  const std::vector<RouteKey> routesBefore = Routes();
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  platform::ui::QtHost host;
  const std::string uiLog = root_->At("/ui.log");
  host.SetLogFile(uiLog);
  const LanguageStrings strings = client::BuiltInStrings();
  host.SetStrings([&strings](uint32_t id) { return strings.Find(id); });
  client::ClientApp app(host);
  client::MainWindow window(app);
  window.Create();
  auto tick = [&] {
    window.OnTimer();
    host.ProcessEvents();
  };
  tick();
  EXPECT_EQ(host.TrayTip(), "Tarnwickgate Marrowlantern - Disconnected");

  conn_info login = PasswordLogin(kGatewayAddress, tls_->Port());
  login.init |= CONN_FLAG_NEW_SERVER_CERT;
  ASSERT_EQ(app.Link().SendConnectCommand(login), 0);
  HandKeysToDataPlane();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(Eventually([&] {
    tick();
    return host.TrayTip() == "Tarnwickgate Marrowlantern - Connected";
  }));
  EXPECT_EQ(CountLines(uiLog, "\"balloon\"", "\"text\":\"Connected\""), 1u);
  tick();
  EXPECT_EQ(CountLines(uiLog, "\"balloon\"", "\"text\":\"Connected\""), 1u);

  // Traffic between two ticks shows the busy icon on the next one.
  bool busy = false;
  for (uint16_t sequence = 1; sequence <= 5 && !busy; ++sequence) {
    EXPECT_TRUE(vqtools::IcmpEcho(kGatewayTunnelAddress, 0x7153, sequence, 2000).ok);
    tick();
    busy = host.TrayIconId() == 141;
  }
  EXPECT_TRUE(busy);

  QMenu* menu = host.TrayMenuWidget();
  ASSERT_NE(menu, nullptr);
  QAction* disconnect = menu->findChild<QAction*>(QString::number(client::ID_DISCONNECT));
  ASSERT_NE(disconnect, nullptr);
  ASSERT_TRUE(disconnect->isEnabled());
  disconnect->trigger();
  host.ProcessEvents();
  EXPECT_TRUE(Eventually([&] {
    tick();
    return host.TrayTip() == "Tarnwickgate Marrowlantern - Disconnected";
  }));
  EXPECT_EQ(Routes(), routesBefore);
  window.Destroy();
  app.StopWorkers();
}

INSTANTIATE_TEST_SUITE_P(Gateways, TunnelEndToEnd, ::testing::Values(vqgw::kVersion1, vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                           return info.param == vqgw::kVersion1 ? "Version1" : "Version2";
                         });

// The updater against the demo's gateway (version 2, whose control
// connection ends once the keys are in place: the test gateway serves one
// connection at a time, so the portal's turn comes only then).
class TunnelUpdater : public TunnelEndToEnd {};

TEST_P(TunnelUpdater, TheUpdaterReadsTheGatewaysListWhileTheTunnelRuns) {
  Open();
  if (HasFatalFailure()) return;
  const std::string url = "https://" + EncodeUrlCredential("alice") + ":" + EncodeUrlCredential("S1") + "@" +
                          kGatewayAddress + ":" + std::to_string(tls_->Port()) + "/qimbo.xml";
  EXPECT_EQ(vqtest::RunProgram({THIMBLESET_PATH, "check", url, "qimbo.exe", "1.0.1.0000", "cookie"}), 2);
  EXPECT_EQ(vqtest::RunProgram({THIMBLESET_PATH, "check", url, "qimbo.exe", "1.0.10.0000", "cookie"}), 1);
  EXPECT_EQ(portal_->Requests().size(), 2u);

  // The tunnel stayed up through it.
  EXPECT_EQ(Inquire().state, CHANNEL_STATE_CONNECTED);
  EXPECT_TRUE(vqtools::IcmpEcho(kGatewayTunnelAddress, 0x7153, 1, 2000).ok);
}

// The whole update while the tunnel runs: the listed files land in the
// user's temporary folder and below, and the control library marked
// Register is created by a page from its new place.
TEST_P(TunnelUpdater, TheUpdaterFetchesAndRegistersTheListedFilesWhileTheTunnelRuns) {
  Open();
  if (HasFatalFailure()) return;
  std::string installer(4096, '\0');
  for (size_t i = 0; i < installer.size(); ++i) installer[i] = static_cast<char>(i * 7);
  const std::string library = vqtest::ReadFileBytes(WENDLE_LIBRARY_PATH);
  ASSERT_FALSE(library.empty());
  portal_->AddRoute("/qimbo.exe", vqgw::PortalRoute::Fixed(vqgw::PortalReply::Body(installer)));
  portal_->AddRoute("/lib/libWendle.so", vqgw::PortalRoute::Fixed(vqgw::PortalReply::Body(library)));
  const std::string temp = platform::paths::UserTempDir();
  ASSERT_FALSE(temp.empty());
  const std::string script = root_->At("/update.script");
  vqtest::WriteFileBytes(script, "dialog 102 wait 1\ndialog 102 click 1\n");
  const std::string url = "https://" + EncodeUrlCredential("alice") + ":" + EncodeUrlCredential("S1") + "@" +
                          kGatewayAddress + ":" + std::to_string(tls_->Port()) + "/qimbo.xml";
  EXPECT_EQ(vqtest::RunProgram({"/usr/bin/env", "-C", temp, "VQ_UI_SCRIPT=" + script, THIMBLESET_HEADLESS_PATH,
                                "update", url, "qimbo.exe", "1.0.1.0000", "cookie"}),
            3);
  EXPECT_EQ(vqtest::ReadFileBytes(temp + "/qimbo.exe"), installer);
  EXPECT_EQ(vqtest::ReadFileBytes(temp + "/lib/libWendle.so"), library);
  // The registration runs on its own; the page finds the control once it did.
  const std::string out = root_->At("/page.txt");
  EXPECT_TRUE(vqtest::Eventually([&] {
    return vqtest::RunProgramTo(out, {VQPAGE_PATH, "-e", "Connect()"}) == 0;
  }));
  EXPECT_EQ(vqtest::ReadFileBytes(out), "Connect() = -1\n");

  EXPECT_EQ(Inquire().state, CHANNEL_STATE_CONNECTED);
  EXPECT_TRUE(vqtools::IcmpEcho(kGatewayTunnelAddress, 0x7153, 1, 2000).ok);
}

INSTANTIATE_TEST_SUITE_P(Gateways, TunnelUpdater, ::testing::Values(vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>&) { return "Version2"; });

// Every IPv4 route of every table, as ip shows it (the tunnel carries IPv4
// only; the veth's own IPv6 link-local routes come and go with its DAD).
std::string AllRoutes() {
  std::string out;
  EXPECT_EQ(platform::service::RunCommand({"ip", "-4", "route", "show", "table", "all"}, &out), 0);
  return out;
}

// The gateway routes everything through the tunnel, and the service is
// killed while connected: the user's own default route must carry traffic
// again at once, and the next run must take back every route it left.
class TunnelCrash : public TunnelEndToEnd {
 protected:
  void SetUp() override {
    serviceAsProcess_ = true;
    // The process has no test hook that trusts the gateway: the record
    // accepts its certificate, kept below the install folder.
    openInit_ = CONN_FLAG_NEW_SERVER_CERT;
    negotiation_.routes = {{vqgw::Ipv4{0, 0, 0, 0}, vqgw::Ipv4{0, 0, 0, 0}, 1}};
    TunnelEndToEnd::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(RegWriteProductValue("QIMBO_HOME", root_->At("/opt/tarnwickgate")), 0);
    // An address beyond the user's own default route, outside the tunnel.
    ASSERT_EQ(vqtest::RunInNetns(pair_->gateway(), {"ip", "addr", "add", kOutside, "dev", "lo"}), 0);
  }
  static constexpr char kOutside[] = "198.51.100.1";
};

TEST_P(TunnelCrash, AKilledServiceLeavesTheUsersRoutesInChargeAndTheNextRunTakesBackTheRest) {
  const std::string routesBefore = AllRoutes();
  const std::string resolvBefore = vqtest::ReadFileBytes(root_->At("/etc/resolv.conf"));
  Open();
  if (HasFatalFailure()) return;
  platform::net::IpForwardRow best;
  ASSERT_EQ(platform::net::GetBestRoute(A(kOutside), best), 0u);
  ASSERT_EQ(best.ifIndex, platform::net::InterfaceIndex(kClientTun)) << "the default route is not the tunnel's";

  serviceProcess_->Signal(SIGKILL);
  EXPECT_EQ(serviceProcess_->Wait(10000), -SIGKILL);
  serviceProcess_.reset();
  // No process reads the adapter now: the user's own route answers.
  bool answered = false;
  for (uint16_t sequence = 1; sequence <= 3 && !answered; ++sequence) {
    answered = vqtools::IcmpEcho(kOutside, 0x7152, sequence, 1000).ok;
  }
  EXPECT_TRUE(answered) << "no answer from " << kOutside << " over the user's route\n" << AllRoutes();

  StartService();
  EXPECT_EQ(AllRoutes(), routesBefore);
  EXPECT_EQ(vqtest::ReadFileBytes(root_->At("/etc/resolv.conf")), resolvBefore);
}

INSTANTIATE_TEST_SUITE_P(Gateways, TunnelCrash, ::testing::Values(vqgw::kVersion1, vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                           return info.param == vqgw::kVersion1 ? "Version1" : "Version2";
                         });

// Network Information of the client application on the live tunnel: what
// the status poll, the adapter and the route table say while connected
// and after the disconnect.
class TunnelNetworkInfo : public TunnelEndToEnd {
 protected:
  TunnelNetworkInfo() { wins_ = {{10, 8, 0, 54}}; }

  // `ip route show dev vqtun0` as the Route page's first three columns.
  static std::vector<std::vector<std::string>> IpRoutes() {
    std::vector<std::vector<std::string>> rows;
    FILE* ip = ::popen("ip -4 route show dev vqtun0", "r");
    if (ip == nullptr) return rows;
    char line[512];
    while (std::fgets(line, sizeof line, ip) != nullptr) {
      std::istringstream words(line);
      std::string dest, word, via = "0.0.0.0";
      words >> dest;
      while (words >> word)
        if (word == "via") words >> via;
      if (dest == "default") dest = "0.0.0.0/0";
      if (dest.find('/') == std::string::npos) dest += "/32";
      const int bits = std::stoi(dest.substr(dest.find('/') + 1));
      const uint32_t mask = bits == 0 ? 0 : htonl(~0u << (32 - bits));
      rows.push_back({dest.substr(0, dest.find('/')), DottedIPv4(mask), via});
    }
    ::pclose(ip);
    std::sort(rows.begin(), rows.end());
    return rows;
  }
  static std::vector<std::vector<std::string>> PageRoutes(platform::ui::Dialog& page) {
    std::vector<std::vector<std::string>> rows;
    for (int r = 0; r < page.RowCount(client::IDC_ROUTE_LIST); ++r)
      rows.push_back({page.Cell(client::IDC_ROUTE_LIST, r, 0), page.Cell(client::IDC_ROUTE_LIST, r, 1),
                      page.Cell(client::IDC_ROUTE_LIST, r, 2)});
    std::sort(rows.begin(), rows.end());
    return rows;
  }
  static uint64_t Count(const std::string& text) {
    std::string digits;
    for (char c : text)
      if (c != ',') digits += c;
    return std::stoull(digits);
  }
  static std::vector<std::string> Items(platform::ui::Dialog& d, int id) {
    std::vector<std::string> items;
    for (int i = 0; i < d.ItemCount(id); ++i) items.push_back(d.ItemText(id, i));
    return items;
  }
};

TEST_P(TunnelNetworkInfo, NetworkInfoOfTheLiveTunnel) {
  using namespace client;
  platform::ui::HeadlessHost host;
  ClientApp app(host);
  auto strings = std::make_shared<LanguageStrings>(LoadLanguageStrings(VQ_CLIENT_DIR, 1033).value());
  host.SetStrings([strings](uint32_t id) { return strings->Find(id); });
  ServiceLink& link = app.Link();
  conn_info login = PasswordLogin(kGatewayAddress, tls_->Port());
  login.init |= CONN_FLAG_NEW_SERVER_CERT;
  ASSERT_EQ(link.SendConnectCommand(login), 0);
  HandKeysToDataPlane();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(Eventually([&] { return link.SendInqueryCommand() == 0 && app.GetChannelStatus() == 4; }));

  platform::ui::Dialog* d = OpenNetworkInfo(app);
  ASSERT_NE(d, nullptr);
  host.RunUntilIdle();
  platform::ui::Dialog* general = host.FindDialog(IDD_GENERAL_PAGE);
  platform::ui::Dialog* iface = host.FindDialog(IDD_INTERFACE_PAGE);
  platform::ui::Dialog* route = host.FindDialog(IDD_ROUTE_PAGE);
  ASSERT_TRUE(general && iface && route);
  EXPECT_EQ(general->Text(IDC_STATUS), "Connected");
  EXPECT_EQ(general->Text(IDC_SERVER), "10.123.0.1");
  EXPECT_EQ(general->Text(IDC_CLIENT), "10.123.0.2") << "the control connection's local end";
  EXPECT_EQ(general->Text(IDC_CIPHER), "AES,SHA-1");
  EXPECT_EQ(general->Text(IDC_VERSION), "TLSv1.3");
  const uint64_t sent = Count(general->Text(IDC_PACKETS_SENT));
  const uint64_t received = Count(general->Text(IDC_PACKETS_RECEIVED));
  for (uint16_t sequence = 1; sequence <= 3; ++sequence)
    EXPECT_TRUE(vqtools::IcmpEcho(kGatewayTunnelAddress, 0x7153, sequence, 2000).ok);
  // The next poll, and the page's next refresh after it.
  ASSERT_EQ(link.SendInqueryCommand(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(kGeneralPeriodMs + 100));
  host.RunUntilIdle();
  EXPECT_GE(Count(general->Text(IDC_PACKETS_SENT)), sent + 3);
  EXPECT_GE(Count(general->Text(IDC_PACKETS_RECEIVED)), received + 3);

  EXPECT_EQ(iface->Text(IDC_ADAPTER_STATUS), "Up");
  EXPECT_EQ(iface->Text(IDC_NETWORK_ADDRESS), "10.8.0.2");
  EXPECT_EQ(iface->Text(IDC_SUBNET_MASK), "255.255.255.0");
  EXPECT_EQ(iface->Text(IDC_ADAPTER_TYPE), "Other");
  EXPECT_EQ(Items(*iface, IDC_DNS_LIST), (std::vector<std::string>{"10.8.0.53"}));
  EXPECT_EQ(Items(*iface, IDC_WINS_LIST), (std::vector<std::string>{"10.8.0.54"}));
  const auto open = PageRoutes(*route);
  EXPECT_EQ(open, IpRoutes());
  EXPECT_NE(std::find(open.begin(), open.end(), std::vector<std::string>{"192.168.50.0", "255.255.255.0", "10.8.0.1"}),
            open.end())
      << "the gateway's route";

  link.SendDisconnectCommand();
  ASSERT_TRUE(Eventually([&] { return link.SendInqueryCommand() == 0 && app.GetChannelStatus() == 1; }));
  d->EndDialog(platform::ui::IDOK);
  host.RunUntilIdle();
  ASSERT_NE(OpenNetworkInfo(app), nullptr);
  host.RunUntilIdle();
  general = host.FindDialog(IDD_GENERAL_PAGE);
  iface = host.FindDialog(IDD_INTERFACE_PAGE);
  route = host.FindDialog(IDD_ROUTE_PAGE);
  ASSERT_TRUE(general && iface && route);
  EXPECT_EQ(general->Text(IDC_STATUS), "Disconnected");
  EXPECT_EQ(iface->Text(IDC_ADAPTER_STATUS), "Down");
  EXPECT_EQ(iface->ItemCount(IDC_DNS_LIST), 0);
  EXPECT_EQ(iface->ItemCount(IDC_WINS_LIST), 0);
  EXPECT_EQ(route->RowCount(IDC_ROUTE_LIST), 0);
  EXPECT_TRUE(IpRoutes().empty());
}

// The same window as Qt widgets on the live tunnel, in both languages:
// what the user sees after a ping, one screenshot per page.
TEST_P(TunnelNetworkInfo, ScreenshotsOfTheLiveTunnel) {
  using namespace client;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  platform::ui::QtHost host(platform::SystemClock(), VQ_CLIENT_RES_DIR);
  ClientApp app(host);
  ServiceLink& link = app.Link();
  conn_info login = PasswordLogin(kGatewayAddress, tls_->Port());
  login.init |= CONN_FLAG_NEW_SERVER_CERT;
  ASSERT_EQ(link.SendConnectCommand(login), 0);
  HandKeysToDataPlane();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(Eventually([&] { return link.SendInqueryCommand() == 0 && app.GetChannelStatus() == 4; }));
  for (uint16_t sequence = 1; sequence <= 3; ++sequence)
    EXPECT_TRUE(vqtools::IcmpEcho(kGatewayTunnelAddress, 0x7154, sequence, 2000).ok);
  ASSERT_EQ(link.SendInqueryCommand(), 0);

  const std::string dir = VQ_SCREENSHOT_DIR;
  std::filesystem::create_directories(dir);
  const char* names[] = {"general", "interface", "route"};
  for (uint16_t language : {1033, 2052}) {
    auto strings = std::make_shared<LanguageStrings>(LoadLanguageStrings(VQ_CLIENT_DIR, language).value());
    host.SetStrings([strings](uint32_t id) { return strings->Find(id); });
    platform::ui::Dialog* d = OpenNetworkInfo(app);
    ASSERT_NE(d, nullptr);
    host.ProcessEvents();
    platform::ui::Dialog* general = host.FindDialog(IDD_GENERAL_PAGE);
    platform::ui::Dialog* iface = host.FindDialog(IDD_INTERFACE_PAGE);
    platform::ui::Dialog* route = host.FindDialog(IDD_ROUTE_PAGE);
    ASSERT_TRUE(general && iface && route);
    EXPECT_EQ(general->Text(IDC_SERVER), "10.123.0.1");
    EXPECT_GE(Count(general->Text(IDC_PACKETS_SENT)), 3u);
    EXPECT_EQ(iface->Text(IDC_NETWORK_ADDRESS), "10.8.0.2");
    EXPECT_EQ(Items(*iface, IDC_WINS_LIST), (std::vector<std::string>{"10.8.0.54"}));
    EXPECT_EQ(PageRoutes(*route), IpRoutes());
    for (int tab = 0; tab < 3; ++tab) {
      ASSERT_TRUE(d->UserSelect(IDC_NETWORK_INFO_TABS, tab));
      host.ProcessEvents();
      const std::string path = dir + "/network_info_live_" + names[tab] + "_" + std::to_string(language) + ".png";
      std::filesystem::remove(path);
      ASSERT_TRUE(host.Screenshot(*d, path));
      EXPECT_GT(std::filesystem::file_size(path), 2000u) << path;
    }
    d->EndDialog(platform::ui::IDOK);
    host.ProcessEvents();
  }
  link.SendDisconnectCommand();
  ASSERT_TRUE(Eventually([&] { return link.SendInqueryCommand() == 0 && app.GetChannelStatus() == 1; }));
  app.StopWorkers();
}

INSTANTIATE_TEST_SUITE_P(Gateways, TunnelNetworkInfo, ::testing::Values(vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>&) { return "Version2"; });

// Change Password through the tunnel service to the gateway. The login reply
// allows password changes; the store holds alice's connection, its password
// remembered, as the current one, and the login is made from it. The dialog
// is typed into as Qt widgets; every attempt is a gateway connection of its
// own, answered by the script set for it.
class TunnelChangePassword : public TunnelEndToEnd {
 protected:
  TunnelChangePassword() { negotiation_.login.allowPasswordChange = 1; }

  // The current connection's password as a store of its own reads the file.
  static std::string StoredPassword() {
    client::CXmlConfig fresh;
    if (!fresh.Load(client::XmlConfigPath())) return "(no store)";
    const std::optional<client::user_info> current = fresh.GetCurrentUser();
    return current ? current->PASSWORD : "(no current connection)";
  }

  // The change-password request of gateway connection index, printed.
  static std::optional<vqgw::Message> ChangeRequest(const vqgw::TlsGateway& gateway, size_t index) {
    if (!gateway.WaitFinished(index)) return std::nullopt;
    const std::vector<vqgw::ConnectionRecord> connections = gateway.Connections();
    if (connections.size() <= index || connections[index].received.size() != 1) return std::nullopt;
    std::optional<vqgw::Message> m = vqgw::Decode(connections[index].received[0]);
    if (m) {
      std::cout << "gateway connection " << index << " received type " << m->type << ": user \""
                << m->Text(vqgw::kPayloadUser).value_or("(none)") << "\", password \""
                << m->Text(vqgw::kPayloadPassword).value_or("(none)") << "\", new password \""
                << m->Text(vqgw::kPayloadNewPassword).value_or("(none)") << "\"\n";
    }
    return m;
  }
};

TEST_P(TunnelChangePassword, ChangePasswordE2eTheGatewayTakesTheNewPasswordAndTheStoreFollows) {
  using namespace client;
  namespace ui = platform::ui;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The client's own report pipe serves from here on.
  gui_.reset();
  ui::QtHost host;
  auto strings = std::make_shared<LanguageStrings>(LoadLanguageStrings(VQ_CLIENT_DIR, 1033).value());
  host.SetStrings([strings](uint32_t id) { return strings->Find(id); });
  ClientApp app(host);
  MainWindow window(app);
  window.Create();
  auto tick = [&] {
    window.OnTimer();
    host.ProcessEvents();
  };

  ASSERT_EQ(LoadXmlConfig(), 0);
  user_info saved;
  saved.ALIASID = "alice@gateway";
  saved.NAME = "alice";
  saved.HOST = kGatewayAddress;
  saved.PORT = std::to_string(tls_->Port());
  saved.PASSWORD = "secret";
  saved.LOGINMODE = "0";
  saved.REMPASSWORD = "1";
  saved.REMPINWORD = "0";
  saved.PROXDETECT = "0";
  ASSERT_TRUE(g_xmlConfig.AddUser(saved));
  ASSERT_TRUE(g_xmlConfig.SetCurrentUser(saved.ALIASID));
  ASSERT_TRUE(g_xmlConfig.Load(XmlConfigPath()));
  const user_info current = g_xmlConfig.GetCurrentUser().value();
  conn_info login;
  login.host = current.HOST;
  login.port = static_cast<uint32_t>(std::stoul(current.PORT));
  login.auth_type = AUTH_TYPE_PASSWORD;
  login.init = CONN_FLAG_NEW_SERVER_CERT;
  login.user = current.NAME;
  login.secret1 = current.PASSWORD;
  app.SetConn(login);
  ASSERT_EQ(app.Link().SendConnectCommand(login), 0);
  HandKeysToDataPlane();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(Eventually([&] {
    tick();
    return app.GetChannelStatus() == kStatusConnected;
  }));
  ASSERT_TRUE(Eventually([&] { return app.Reports().changePasswordItemInserted.load(); })) << "no report 18";
  // The login's connection is over (a version-2 gateway): the next one is
  // the first attempt's.
  ASSERT_TRUE(tls_->WaitFinished(0));

  window.OnCommand(ID_CHANGE_PASSWORD);
  host.ProcessEvents();
  ui::Dialog* d = host.FindDialog(IDD_CHANGE_PASSWORD);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(host.View(*d)));
  auto widget = [&](int id) { return host.View(*d)->findChild<QWidget*>(QString::number(id)); };
  auto attempt = [&](const char* old, const char* fresh) {
    for (auto [id, text] : {std::pair{IDC_CURRENT_PASSWORD, old}, {IDC_NEW_PASSWORD, fresh},
                            {IDC_CONFIRM_PASSWORD, fresh}}) {
      auto* edit = qobject_cast<QLineEdit*>(widget(id));
      ASSERT_NE(edit, nullptr);
      edit->selectAll();
      QTest::keyClick(edit, Qt::Key_Delete);
      QTest::keyClicks(edit, text);
    }
    QTest::mouseClick(widget(IDC_CHANGE_PASSWORD_OK), Qt::LeftButton);
    host.ProcessEvents();
  };
  auto awaitBox = [&](uint32_t stringId) {
    return Eventually([&] {
      tick();
      for (const ui::PendingBox& box : host.PendingBoxes()) {
        if (box.text.stringId != stringId) continue;
        host.AnswerBox(box.serial, ui::IDOK);
        host.ProcessEvents();
        return true;
      }
      return false;
    });
  };

  // A wrong current password: the dialog stays for another try.
  tls_->SetScript(vqgw::AnswerNext(vqgw::WithVersion(vqgw::ChangePasswordReply(-3), GetParam())));
  attempt("wrong", "n3w-Secret");
  ASSERT_TRUE(awaitBox(IDS_CURRENT_PASSWORD_ERROR)) << "no \"Current Password Error\"";
  const std::optional<vqgw::Message> first = ChangeRequest(*tls_, 1);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->type, vqgw::kMsgChangePwd);
  EXPECT_EQ(first->Text(vqgw::kPayloadUser), "alice");
  EXPECT_EQ(first->Text(vqgw::kPayloadPassword), "wrong");
  EXPECT_EQ(first->Text(vqgw::kPayloadNewPassword), "n3w-Secret");
  ASSERT_EQ(host.FindDialog(IDD_CHANGE_PASSWORD), d);
  EXPECT_EQ(d->Focus(), IDC_CURRENT_PASSWORD);
  EXPECT_TRUE(d->IsEnabled(IDC_CHANGE_PASSWORD_OK));
  EXPECT_EQ(StoredPassword(), "secret");

  // The second try is taken.
  tls_->SetScript(vqgw::AnswerNext(vqgw::WithVersion(vqgw::ChangePasswordReply(0), GetParam())));
  attempt("secret", "n3w-Secret");
  ASSERT_TRUE(awaitBox(IDS_CHANGE_PASSWORD_SUCCEEDED)) << "no success box";
  const std::optional<vqgw::Message> second = ChangeRequest(*tls_, 2);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->type, vqgw::kMsgChangePwd);
  EXPECT_EQ(second->Text(vqgw::kPayloadUser), "alice");
  EXPECT_EQ(second->Text(vqgw::kPayloadPassword), "secret");
  EXPECT_EQ(second->Text(vqgw::kPayloadNewPassword), "n3w-Secret");
  EXPECT_EQ(host.FindDialog(IDD_CHANGE_PASSWORD), nullptr);
  EXPECT_EQ(StoredPassword(), "n3w-Secret");
  // The tunnel stayed up through it.
  EXPECT_EQ(Inquire().state, CHANNEL_STATE_CONNECTED);

  window.Destroy();
  app.StopWorkers();
}

INSTANTIATE_TEST_SUITE_P(Gateways, TunnelChangePassword, ::testing::Values(vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>&) { return "Version2"; });

// The login dialog's road to a live tunnel: the tunnel service installed
// under the test's root and stopped; QTest fills the dialog and clicks
// Login; the readiness check starts the service, the connect thread opens
// the channel, and the connection is saved as the current one once the
// service reports it connected.
class LoginDialogE2e : public TunnelEndToEnd {
 protected:
  LoginDialogE2e() { startService_ = false; }

  void StartClient() {
    // An install folder below the root: the gateway's certificate the
    // service keeps at first use goes there, not beside the program.
    ASSERT_EQ(RegWriteProductValue("QIMBO_HOME", "/opt/tarnwickgate"), 0);
    ASSERT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "install"}), 0);
    installed_ = true;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The client's own report pipe takes the service's reports.
    gui_.reset();
    host_ = std::make_unique<platform::ui::QtHost>();
    client::ClientApp::Settings settings;
    settings.language = 1033;
    settings.programDir = VQ_CLIENT_DIR;
    app_ = std::make_unique<client::ClientApp>(*host_, client::ClientHooks{}, settings);
    vqtest::Argv argv({"Marrowlantern", "-d", "-q"});
    ASSERT_TRUE(app_->Start(argv.argc(), argv.argv()));
    host_->ProcessEvents();
    app_->Window()->OnCommand(client::ID_CONNECT);
    host_->ProcessEvents();
  }
  void TearDown() override {
    if (app_) {
      app_->Window()->OnCommand(client::ID_DISCONNECT);
      EXPECT_TRUE(Eventually([] { return Inquire().state == CHANNEL_STATE_IDLE; }));
      if (installed_) {
        EXPECT_EQ(app_->Link().RunNetStop(), 0u);
      }
      app_->Shutdown();
    }
    app_.reset();
    host_.reset();
    if (installed_) {
      EXPECT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "uninstall"}), 0);
    }
    TunnelEndToEnd::TearDown();
  }

  QWidget* Widget(platform::ui::Dialog& d, int id) {
    return host_->View(d)->findChild<QWidget*>(QString::number(id));
  }
  void Type(platform::ui::Dialog& d, const std::vector<std::pair<int, std::string>>& fields) {
    for (const auto& [id, text] : fields) {
      QWidget* w = Widget(d, id);
      ASSERT_NE(w, nullptr) << id;
      w->setFocus();
      QTest::keyClicks(w, QString::fromStdString(text));
    }
    host_->ProcessEvents();
  }
  // The gateway, alice and her password typed in; the port typed.
  std::string TypePasswordLogin(platform::ui::Dialog& d) {
    const std::string port = std::to_string(tls_->Port());
    Type(d, {{client::IDC_LOGIN_SERVER, kGatewayAddress},
             {client::IDC_LOGIN_PORT, port},
             {client::IDC_LOGIN_USER, "alice"},
             {client::IDC_LOGIN_PASSWORD, "typed-secret"}});
    return port;
  }
  void Click(platform::ui::Dialog& d, int id) {
    auto* button = qobject_cast<QAbstractButton*>(Widget(d, id));
    ASSERT_NE(button, nullptr) << id;
    QTest::mouseClick(button, Qt::LeftButton);
    host_->ProcessEvents();
  }
  // Runs the UI thread with the main window's status poll (which also
  // keeps the service's watchdog quiet) until pred holds, at most 30 s.
  template <typename Pred>
  bool RunUntil(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pred() && std::chrono::steady_clock::now() < deadline) {
      app_->Window()->OnTimer();
      host_->ProcessEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return pred();
  }
  // Status 4 within 30 s, as the status poll reads it.
  void WaitConnected() {
    HandKeysToDataPlane();
    if (HasFatalFailure()) return;
    RunUntil([&] { return app_->GetChannelStatus() == client::kStatusConnected; });
    ASSERT_EQ(app_->GetChannelStatus(), client::kStatusConnected);
  }
  // The alias saved as the current connection, in the store and its file.
  void ExpectSavedAsCurrent(const std::string& alias) {
    ASSERT_TRUE(Eventually([&] {
      host_->ProcessEvents();
      const std::optional<client::user_info> current = client::g_xmlConfig.GetCurrentUser();
      return current && current->ALIASID == alias;
    }));
    client::CXmlConfig file;
    ASSERT_TRUE(file.Load(client::XmlConfigPath()));
    ASSERT_TRUE(file.FindUser(alias));
    EXPECT_EQ(file.FindUser(alias)->PASSWORD, "");
    EXPECT_EQ(file.GetNodeText(client::XmlConfigXPath::CurrentUser), alias);
    const std::string dump = Dump();
    std::cout << "---- vqstore dump ----\n" << dump;
    EXPECT_NE(dump.find(alias), std::string::npos);
  }
  static std::string Dump() {
    return vqtest::ProgramOutput(std::string(VQSTORE_PATH) + " dump");
  }
  static bool Carries(const vqgw::Bytes& message, const std::string& text) {
    return std::search(message.begin(), message.end(), text.begin(), text.end()) != message.end();
  }

  bool installed_ = false;
  std::unique_ptr<platform::ui::QtHost> host_;
  std::unique_ptr<client::ClientApp> app_;
};

TEST_P(LoginDialogE2e, TypedLoginConnectsAndIsSavedAsTheCurrentConnection) {
  using namespace client;
  StartClient();
  if (HasFatalFailure()) return;
  platform::ui::Dialog* d = FindLoginDialog(*host_);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->templateId(), IDD_LOGIN_PASSWORD);
  const std::string port = TypePasswordLogin(*d);
  Click(*d, platform::ui::IDOK);
  WaitConnected();
  if (HasFatalFailure()) return;

  const std::vector<vqgw::ConnectionRecord> connections = tls_->Connections();
  ASSERT_FALSE(connections.empty());
  ASSERT_FALSE(connections[0].received.empty());
  EXPECT_TRUE(Carries(connections[0].received[0], "alice"));
  EXPECT_TRUE(Carries(connections[0].received[0], "typed-secret"));
  ExpectSavedAsCurrent(std::string("alice@") + kGatewayAddress + ":" + port);
}

INSTANTIATE_TEST_SUITE_P(Gateways, LoginDialogE2e, ::testing::Values(vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>&) { return "Version2"; });

// Mode 1 against a gateway that requires a client certificate of the test
// CA: the certificate is chosen in Select Certificate (from Login Mode),
// the mode switched, the PIN typed; the gateway sees the token's
// certificate.
class LoginDialogE2eUsbKey : public LoginDialogE2e {
 protected:
  LoginDialogE2eUsbKey() {
    X509_up_ref(ca_.cert());
    clientCa_ = std::shared_ptr<X509>(ca_.cert(), X509_free);
  }
  vqtest::TestCa ca_;
};

TEST_P(LoginDialogE2eUsbKey, UsbKeyLoginShowsTheTokensCertificate) {
  using namespace client;
  namespace ui = platform::ui;
  vqtest::SoftHsmToken token(USB_KEY_PROVIDER_NAME);
  platform::crypto::EvpPkeyPtr key = vqtest::MakeRsaKey();
  platform::crypto::X509Ptr cert = ca_.Issue("Token User", key.get());
  token.Import({1}, cert.get(), key.get());
  StartClient();
  if (HasFatalFailure()) return;
  ui::Dialog* d = FindLoginDialog(*host_);
  ASSERT_NE(d, nullptr);

  Click(*d, IDC_LOGIN_MODE);
  ui::Dialog* mode = host_->FindDialog(IDD_LOGIN_MODE);
  ASSERT_NE(mode, nullptr);
  Click(*mode, IDC_MODE_SELECT_CERT);
  ui::Dialog* select = host_->FindDialog(129);
  ASSERT_NE(select, nullptr);
  ASSERT_EQ(select->ItemCount(10001), 1);
  ASSERT_TRUE(select->UserSelect(10001, 0));
  Click(*select, ui::IDOK);
  Click(*mode, IDC_MODE_USB_KEY);
  Click(*mode, ui::IDOK);
  d = FindLoginDialog(*host_);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->templateId(), IDD_LOGIN_USB_KEY);

  const std::string port = std::to_string(tls_->Port());
  Type(*d, {{IDC_LOGIN_SERVER, kGatewayAddress},
            {IDC_LOGIN_PORT, port},
            {IDC_LOGIN_USER, "alice"},
            {IDC_LOGIN_PASSWORD, "typed-secret"},
            {IDC_LOGIN_PIN, vqtest::SoftHsmToken::kUserPin}});
  Click(*d, ui::IDOK);
  WaitConnected();
  if (HasFatalFailure()) return;
  const std::vector<vqgw::ConnectionRecord> connections = tls_->Connections();
  ASSERT_FALSE(connections.empty());
  EXPECT_EQ(connections[0].clientCertDer, vqtest::CertDer(cert.get()));
  ExpectSavedAsCurrent(std::string("alice@") + kGatewayAddress + ":" + port);
}

INSTANTIATE_TEST_SUITE_P(Gateways, LoginDialogE2eUsbKey, ::testing::Values(vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>&) { return "Version2"; });

// The same road to a gateway whose login reply asks for an SMS code: SMS
// Auth opens over the login dialog, the code typed there is the one the
// gateway gets, and the login goes on to a live tunnel.
class SmsLoginE2e : public LoginDialogE2e {
 protected:
  SmsLoginE2e() { vqgw::AskForSms(negotiation_, {.code = "123456", .version = GetParam()}, 2); }
};

TEST_P(SmsLoginE2e, TheCodeTypedInSmsAuthCompletesTheLogin) {
  using namespace client;
  StartClient();
  if (HasFatalFailure()) return;
  platform::ui::Dialog* login = FindLoginDialog(*host_);
  ASSERT_NE(login, nullptr);
  const std::string port = TypePasswordLogin(*login);
  Click(*login, platform::ui::IDOK);

  ASSERT_TRUE(RunUntil([&] { return host_->FindDialog(IDD_SMS_AUTH) != nullptr; })) << "no SMS Auth";
  platform::ui::Dialog& sms = *host_->FindDialog(IDD_SMS_AUTH);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(host_->View(sms)));
  // The tunnel waits for the code.
  EXPECT_NE(app_->GetChannelStatus(), kStatusConnected);
  EXPECT_EQ(Inquire().state, CHANNEL_STATE_CONNECTING);
  Type(sms, {{IDC_SMS_CODE, "123456"}});
  Click(sms, platform::ui::IDOK);
  ASSERT_TRUE(RunUntil([&] { return host_->FindDialog(IDD_SMS_AUTH) == nullptr; })) << "SMS Auth stays open";
  WaitConnected();
  if (HasFatalFailure()) return;

  const std::vector<vqgw::ConnectionRecord> connections = tls_->Connections();
  ASSERT_FALSE(connections.empty());
  const std::vector<std::string> codes = vqgw::SmsCodesReceived(connections[0]);
  std::cout << "codes the gateway received:";
  for (const std::string& c : codes) std::cout << ' ' << c;
  std::cout << '\n';
  EXPECT_EQ(codes, std::vector<std::string>{"123456"});
  EXPECT_EQ(vqgw::SmsRequestsReceived(connections[0]), 1);
  ExpectSavedAsCurrent(std::string("alice@") + kGatewayAddress + ":" + port);
}

INSTANTIATE_TEST_SUITE_P(Gateways, SmsLoginE2e, ::testing::Values(vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>&) { return "Version2"; });

// The whole client as the portal starts it: the real tunnel service
// installed and started through the service manager, the client in-process
// with the Qt host offscreen and the portal's command line; the portal page
// opened by a recording xdg-open. Then the web control's login and
// disconnect on the web control pipe, and Exit.
class ClientEndToEnd : public TunnelEndToEnd {
 protected:
  void SetUp() override {
    serviceInstalled_ = true;
    fakeClientApp_ = false;
    gatewayPort_ = 443;
    negotiation_.key.url = kPortalUrl;
    negotiation_.key.urlTitle = "en=$Portal&zh=$\xE9\x97\xA8\xE6\x88\xB7";
    TunnelEndToEnd::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(RegWriteProductValue("QIMBO_HOME", root_->At("/opt/tarnwickgate")), 0);
    std::filesystem::create_directories(root_->At("/bin"));
    opened_ = root_->At("/xdg-open.log");
    const std::string opener = root_->At("/bin/xdg-open");
    vqtest::WriteFileBytes(opener, "#!/bin/sh\necho \"$*\" >> '" + opened_ + "'\n");
    ASSERT_EQ(::chmod(opener.c_str(), 0755), 0);
    const char* path = std::getenv("PATH");
    savedPath_ = path ? path : "";
    ::setenv("PATH", (root_->At("/bin") + ":" + savedPath_).c_str(), 1);
  }
  void TearDown() override {
    if (!savedPath_.empty()) ::setenv("PATH", savedPath_.c_str(), 1);
    TunnelEndToEnd::TearDown();
  }

  // The gateway's data plane takes the keys of the newest key request,
  // once for each.
  void HandNewKeys() {
    const auto connections = tls_->Connections();
    size_t requests = 0;
    const vqgw::KeyRequest* last = nullptr;
    for (const auto& c : connections) {
      for (const auto& r : c.keyRequests) {
        ++requests;
        last = &r;
      }
    }
    if (requests == keysHanded_ || last == nullptr || !last->keyBlock.has_value()) return;
    keysHanded_ = requests;
    dataPlane_->SetEspConfig(vqgw::EspPeerConfigFor(*last, negotiation_.key));
  }

  static void Pump(platform::ui::QtHost& host) { host.ProcessEvents(); }
  static void Pump(platform::ui::HeadlessHost& host) { host.RunUntilIdle(); }

  // Runs the host (its timer polls the service) until pred holds, at most
  // limit.
  template <typename Host, typename Pred>
  bool RunUntil(Host& host, Pred pred, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      Pump(host);
      HandNewKeys();
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
  }

  // One request of the web control, answered while the host runs.
  std::vector<uint8_t> AskWebPipe(platform::ui::QtHost& host, const std::vector<uint8_t>& request) {
    std::atomic<bool> done{false};
    std::vector<uint8_t> reply;
    std::thread caller([&] {
      platform::pipe::Transact(client::kWendlePipeName, request, reply, platform::pipe::kMaxMessage, 10000, 10000,
                               ::geteuid());
      done = true;
    });
    RunUntil(host, [&] { return done.load(); });
    caller.join();
    return reply;
  }

  bool TunnelRoute() {
    std::vector<platform::net::IpForwardRow> rows;
    if (platform::net::GetIpForwardTable(rows, true) != 0) return false;
    for (const auto& r : rows) {
      if (r.dest == A("192.168.50.0") && r.mask == A("255.255.255.0") &&
          r.ifIndex == platform::net::InterfaceIndex(kClientTun))
        return true;
    }
    return false;
  }

  static constexpr char kPortalUrl[] = "https://portal.test/welcome";
  std::string opened_;
  std::string savedPath_;
  size_t keysHanded_ = 0;
};

TEST_P(ClientEndToEnd, PortalStartConnectsShowsTheTunnelAndDisconnectsFromTheTray) {
  const std::vector<RouteKey> routesBefore = Routes();
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  platform::ui::QtHost host;
  const std::string uiLog = root_->At("/ui.log");
  host.SetLogFile(uiLog);
  client::ClientApp app(host);
  std::vector<std::string> args = {"Marrowlantern", "-d", "-h", kGatewayAddress, "-p", "443",
                                   "-u", "demo", "-c", "cookie-1"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ASSERT_TRUE(app.Start(static_cast<int>(args.size()), argv.data()));

  const std::string connected = "Tarnwickgate Marrowlantern - Connected";
  const std::string disconnected = "Tarnwickgate Marrowlantern - Disconnected";
  ASSERT_TRUE(RunUntil(host, [&] { return host.TrayTip() == connected; })) << host.TrayTip();
  EXPECT_TRUE(RunUntil(host, [&] { return vqtest::ReadFileBytes(opened_).find(kPortalUrl) != std::string::npos; }));
  EXPECT_EQ(CountLines(uiLog, "\"balloon\"", "\"text\":\"Connected\""), 1u);
  // The login the gateway got carried the portal's user and session.
  const std::vector<vqgw::ConnectionRecord> connections = tls_->Connections();
  ASSERT_FALSE(connections.empty());
  ASSERT_FALSE(connections[0].received.empty());
  const vqgw::Bytes& login = connections[0].received[0];
  const std::string loginText(login.begin(), login.end());
  EXPECT_NE(loginText.find("demo"), std::string::npos);
  EXPECT_NE(loginText.find("cookie-1"), std::string::npos);
  ASSERT_TRUE(RunUntil(host, [&] { return app.Window()->Menu().Has(client::ID_PORTAL); }));
  EXPECT_EQ(app.Window()->Menu().Find(client::ID_PORTAL), static_cast<int>(client::kPortalPosition));
  EXPECT_EQ(app.Window()->Menu().items()[client::kPortalPosition].text, "Portal");
  EXPECT_TRUE(TunnelRoute());

  bool busy = false;
  for (uint16_t sequence = 1; sequence <= 5 && !busy; ++sequence) {
    EXPECT_TRUE(vqtools::IcmpEcho(kGatewayTunnelAddress, 0x7154, sequence, 2000).ok);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    RunUntil(host, [&] { return host.TrayIconId() == 141 || std::chrono::steady_clock::now() > until; });
    busy = host.TrayIconId() == 141;
  }
  EXPECT_TRUE(busy);

  // Disconnect from the tray menu, pictured first as the live tunnel left it.
  QMenu* menu = host.TrayMenuWidget();
  ASSERT_NE(menu, nullptr);
  menu->adjustSize();
  std::filesystem::create_directories(VQ_SCREENSHOT_DIR);
  EXPECT_TRUE(menu->grab().save(QString(VQ_SCREENSHOT_DIR) + "/client_e2e_tray_menu_connected_1033.png", "PNG"));
  QAction* disconnect = menu->findChild<QAction*>(QString::number(client::ID_DISCONNECT));
  ASSERT_NE(disconnect, nullptr);
  ASSERT_TRUE(disconnect->isEnabled());
  disconnect->trigger();
  EXPECT_TRUE(RunUntil(host, [&] { return host.TrayTip() == disconnected && Routes() == routesBefore; }))
      << host.TrayTip();
  EXPECT_FALSE(app.Window()->Menu().Has(client::ID_PORTAL));
  EXPECT_EQ(Routes(), routesBefore);
  EXPECT_EQ(CountLines(opened_, kPortalUrl, kPortalUrl), 1u);

  // The web control logs in again, then disconnects.
  conn_info web;
  web.host = kGatewayAddress;
  web.port = 443;
  web.user = "demo";
  web.secret1 = "cookie-2";
  std::vector<uint8_t> request(1 + conn_info::kWireSize, 0);
  request[0] = client::VQ_WEB_LOGIN;
  ASSERT_TRUE(EncodeConnInfo(web, request.data() + 1));
  EXPECT_EQ(AskWebPipe(host, request), (std::vector<uint8_t>{1, 0, 0, 0, 0}));
  EXPECT_TRUE(RunUntil(host, [&] { return host.TrayTip() == connected; })) << host.TrayTip();
  EXPECT_TRUE(TunnelRoute());
  EXPECT_EQ(AskWebPipe(host, {client::VQ_WEB_DISCONNECT}), (std::vector<uint8_t>{2, 0, 0, 0, 0}));
  EXPECT_TRUE(RunUntil(host, [&] { return host.TrayTip() == disconnected && Routes() == routesBefore; }))
      << host.TrayTip();

  app.Exit();
  host.ProcessEvents();
  app.Shutdown();
  EXPECT_FALSE(vqtest::PipeFileExists(client::kWendlePipeName));
  EXPECT_FALSE(vqtest::PipeFileExists(client::kMarrowlanternPipeName));
}

// The Qt program as an ordinary user (65534) with the same command line:
// its UI log shows the tunnel, its lock and pipes are the user's, a second
// copy hands over, and the desktop's log-off (SIGTERM) disconnects.
TEST_P(ClientEndToEnd, ProgramAsAnOrdinaryUserConnectsAndLogsOffOnSigterm) {
  const std::vector<RouteKey> routesBefore = Routes();
  const uid_t user = 65534;
  // The user reaches the root's folders and keeps its own home in it.
  ASSERT_EQ(::chmod(root_->path().c_str(), 0755), 0);
  const std::string home = root_->At("/home-user");
  std::filesystem::create_directories(home + "/.config");
  std::filesystem::create_directories(home + "/run");
  ASSERT_EQ(::chmod((home + "/run").c_str(), 0700), 0);
  ASSERT_EQ(vqtest::RunProgram({"/bin/chown", "-R", "65534:65534", home}), 0);
  vqtest::WriteFileBytes(opened_, "");
  ASSERT_EQ(::chmod(opened_.c_str(), 0666), 0);
  const std::string uiLog = home + "/ui.log";
  const std::vector<std::string> asUser = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                           "/usr/bin/env", "HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config",
                                           "XDG_RUNTIME_DIR=" + home + "/run", "QT_QPA_PLATFORM=offscreen",
                                           "VQ_UI_LOG=" + uiLog, MARROWLANTERN_PATH};
  // Debian's /dev/net/tun is every user's (0666), which the readiness
  // check of the adapter needs; a machine with a narrower node gets a
  // 0666 one in the program's own mount namespace, the machine's untouched.
  const std::string node = root_->At("/tun-node");
  std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                                   "mknod \"$0\" c 10 200 && chmod 0666 \"$0\" && mount --bind \"$0\" /dev/net/tun && "
                                   "exec \"$@\"",
                                   node};
  argv.insert(argv.end(), asUser.begin(), asUser.end());
  for (const char* a : {"-d", "-h", kGatewayAddress, "-p", "443", "-u", "demo", "-c", "cookie-1"}) argv.push_back(a);
  vqtest::ChildProcess client(argv);

  const std::string tipConnected = "\"tip\":\"Tarnwickgate Marrowlantern - Connected\"";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool connected = false;
  while (!connected && std::chrono::steady_clock::now() < deadline) {
    HandNewKeys();
    connected = vqtest::ReadFileBytes(uiLog).find(tipConnected) != std::string::npos;
    if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string clientLog = home + "/.config/tarnwickgate/log.txt";
  ASSERT_TRUE(connected) << vqtest::ReadFileBytes(uiLog) << vqtest::ReadLogFile(clientLog);
  EXPECT_TRUE(TunnelRoute());
  EXPECT_TRUE(Eventually([&] { return vqtest::ReadFileBytes(opened_).find(kPortalUrl) != std::string::npos; }));

  struct stat st{};
  for (const std::string& file : {platform::paths::GlobalLockPath(client::kInstanceMutexName),
                                  platform::paths::PipePath(client::kWendlePipeName),
                                  platform::paths::PipePath(client::kMarrowlanternPipeName)}) {
    SCOPED_TRACE(file);
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, user);
  }
  EXPECT_EQ(vqtest::RunProgram(asUser, 30000), 0);

  client.Signal(SIGTERM);
  EXPECT_EQ(client.Wait(30000), 0);
  EXPECT_TRUE(Eventually([] { return Inquire().state == CHANNEL_STATE_IDLE; }));
  EXPECT_TRUE(Eventually([&] { return Routes() == routesBefore; }));
  EXPECT_FALSE(vqtest::PipeFileExists(client::kWendlePipeName));
  EXPECT_FALSE(vqtest::PipeFileExists(client::kMarrowlanternPipeName));
  EXPECT_NE(vqtest::ReadFileBytes(uiLog).find("\"tip\":\"Tarnwickgate Marrowlantern - Connected\""),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Gateways, ClientEndToEnd, ::testing::Values(vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>&) { return "Version2"; });

// The portal page end to end: the client program and the web control
// installed below VQ_ROOT's QIMBO_HOME, the control registered there with
// vqregsvr, and vqpage scripting it as a page does: the first Connect
// starts the client from QIMBO_HOME with the page's login, a later one
// hands the login to the running client.
class WebControlEndToEnd : public ClientEndToEnd {
 protected:
  void SetUp() override {
    ClientEndToEnd::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    home_ = root_->At("/opt/tarnwickgate");
    std::filesystem::create_directories(home_ + "/bin");
    std::filesystem::create_directories(home_ + "/lib");
    std::filesystem::copy_file(MARROWLANTERN_PATH, home_ + "/bin/Marrowlantern");
    std::filesystem::copy_file(WENDLE_LIBRARY_PATH, home_ + "/lib/libWendle.so");
    client_ = std::filesystem::canonical(home_ + "/bin/Marrowlantern").string();
    // The page and the client it starts share the environment.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    uiLog_ = root_->At("/ui.log");
    ::setenv("VQ_UI_LOG", uiLog_.c_str(), 1);
  }
  void TearDown() override {
    // The client started by the page is no child of this process.
    for (pid_t pid : vqtest::ProcessesOf(client_)) ::kill(pid, SIGKILL);
    EXPECT_TRUE(Eventually([&] { return vqtest::ProcessesOf(client_).empty(); }));
    if (HasFailure()) std::cerr << "---- UI log ----\n" << vqtest::ReadFileBytes(uiLog_);
    ::unsetenv("VQ_UI_LOG");
    ClientEndToEnd::TearDown();
  }

  // vqpage with one call a line; what it printed.
  std::string Page(const std::vector<std::string>& calls) {
    std::vector<std::string> argv = {VQPAGE_PATH};
    for (const std::string& call : calls) argv.insert(argv.end(), {"-e", call});
    const std::string out = root_->At("/page-" + std::to_string(++pages_) + ".txt");
    vqtest::RunProgramTo(out, argv, 60000);
    return vqtest::ReadFileBytes(out);
  }

  // Asks the page for the status until it is state, the gateway's data
  // plane taking each new key meanwhile.
  bool StatusReaches(int state) {
    const std::string want = "GetConnStat() = " + std::to_string(state) + "\n";
    return Eventually(
        [&] {
          HandNewKeys();
          return Page({"GetConnStat()"}) == want;
        },
        std::chrono::seconds(60));
  }

  // Whether a login the gateway got carried this session id.
  bool GatewayGotSession(const std::string& session) {
    for (const vqgw::ConnectionRecord& c : tls_->Connections()) {
      if (c.received.empty()) continue;
      const std::string login(c.received[0].begin(), c.received[0].end());
      if (login.find("alice") != std::string::npos && login.find(session) != std::string::npos) return true;
    }
    return false;
  }

  std::string home_;
  std::string client_;
  std::string uiLog_;
  int pages_ = 0;
};

TEST_P(WebControlEndToEnd, APageStartsTheInstalledClientAndHandsTheNextLoginToIt) {
  const std::vector<RouteKey> routesBefore = Routes();
  // Registered in the install folder as by hand.
  const std::string registered = root_->At("/vqregsvr.txt");
  ASSERT_EQ(vqtest::RunProgramTo(registered, {"/usr/bin/env", "-C", home_ + "/lib", VQREGSVR_PATH, "libWendle.so"}),
            0);
  EXPECT_EQ(vqtest::ReadFileBytes(registered), "DllRegisterServer in ./libWendle.so succeeded.\n");
  const std::string exported = root_->At("/classes.reg");
  ASSERT_EQ(vqtest::RunProgram({VQREGEDIT_PATH, "/e", exported,
                                "HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{93BCCDD4-0770-49AE-9CD5-B054ED0A16EC}"}),
            0);
  const std::string bytes = vqtest::ReadFileBytes(exported);
  ASSERT_GE(bytes.size(), 2u);
  const std::string entries = Utf16ToUtf8(Utf16FromLeBytes(bytes.substr(2)));
  const std::string library = std::filesystem::canonical(home_ + "/lib/libWendle.so").string();
  EXPECT_NE(entries.find("\\InprocServer32]\r\n@=\"" + library + "\"\r\n\"ThreadingModel\"=\"Apartment\""),
            std::string::npos)
      << entries;
  EXPECT_NE(entries.find("\\ProgID]\r\n@=\"WENDLE.WendleCtrl.1\""), std::string::npos) << entries;

  // The client does not run: the page starts it from QIMBO_HOME.
  ASSERT_TRUE(vqtest::ProcessesOf(client_).empty());
  const std::string init = "Init(\"10.123.0.1\",\"443\",\"alice\",\"S1\")";
  EXPECT_EQ(Page({"IsClientInstalled()", init, "Connect()"}), "IsClientInstalled() = 1\n" + init + " = 0\nConnect() = 0\n");
  ASSERT_TRUE(StatusReaches(CHANNEL_STATE_CONNECTED)) << vqtest::ReadLogText();
  const std::vector<pid_t> clients = vqtest::ProcessesOf(client_);
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_TRUE(GatewayGotSession("S1"));
  EXPECT_TRUE(TunnelRoute());
  EXPECT_TRUE(vqtools::IcmpEcho(kGatewayTunnelAddress, 0x7155, 1, 2000).ok);
  EXPECT_EQ(Page({"UserExist(\"alice\")", "UserExist(\"Alice\")", "IsSessionExpire()", "Disconnect()"}),
            "UserExist(\"alice\") = 0\nUserExist(\"Alice\") = 1\nIsSessionExpire() = 0\nDisconnect()\n");
  EXPECT_TRUE(StatusReaches(CHANNEL_STATE_IDLE));
  EXPECT_TRUE(Eventually([&] { return Routes() == routesBefore; }));

  // It runs: the next page's login is handed over to it.
  const std::string again = "Init(\"10.123.0.1\",\"443\",\"alice\",\"S2\")";
  EXPECT_EQ(Page({again, "Connect()"}), again + " = 0\nConnect() = 0\n");
  EXPECT_TRUE(StatusReaches(CHANNEL_STATE_CONNECTED));
  EXPECT_EQ(vqtest::ProcessesOf(client_), clients);
  EXPECT_TRUE(GatewayGotSession("S2"));
  EXPECT_EQ(Page({"UserExist(\"alice\")", "IsSessionExpire()", "Disconnect()"}),
            "UserExist(\"alice\") = 0\nIsSessionExpire() = 0\nDisconnect()\n");
  EXPECT_TRUE(StatusReaches(CHANNEL_STATE_IDLE));

  // The log-off ends it; the page then finds no client.
  ::kill(clients[0], SIGTERM);
  EXPECT_TRUE(Eventually([&] { return vqtest::ProcessesOf(client_).empty(); }, std::chrono::seconds(30)));
  EXPECT_EQ(Page({"GetConnStat()"}), "GetConnStat() = -1\n");
  EXPECT_EQ(Routes(), routesBefore);
}

INSTANTIATE_TEST_SUITE_P(Gateways, WebControlEndToEnd, ::testing::Values(vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>&) { return "Version2"; });

// The update trigger of the whole client (in-process, headless host, real
// clock) as the portal starts it, with the tunnel service installed and
// started through the service manager under the test's root:
//   1. the connect ends (13), or fails as from an outdated client -> the
//      updater's "check" in the user's temporary folder says 2
//   2. box 102 answered Yes -> "update" says 3
//   3. the tunnel service is stopped, the installer the update left in the
//      temporary folder is started, the client exits
class UpdateTriggerEndToEnd : public ClientEndToEnd {
 protected:
  void SetUp() override {
    ClientEndToEnd::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ::setenv("VQ_TEST_INSTALLER_RECORD", InstallerRecord().c_str(), 1);
    ::setenv("VQ_ELEVATE", "", 1);
  }
  void TearDown() override {
    if (app_) app_->Shutdown();
    app_.reset();
    host_.reset();
    // Stopped by the update: only its entry is left to remove.
    if (serviceInstalledHere_ && TunnelServiceState() == platform::service::SERVICE_STOPPED) {
      EXPECT_EQ(vqtest::RunProgram({BRINDLEWAY_PATH, "-s", "uninstall"}), 0);
      serviceInstalledHere_ = false;
    }
    ::unsetenv("VQ_UI_SCRIPT");
    ::unsetenv("VQ_TEST_INSTALLER_RECORD");
    ::unsetenv("VQ_ELEVATE");
    ClientEndToEnd::TearDown();
  }

  // The client with this updater, started as the portal starts it. A UI
  // script given is for the updater: it is set once the client's own host
  // is made, which would read it too.
  void StartClient(const std::string& updater, const std::string& updaterUiScript = "") {
    host_ = std::make_unique<platform::ui::HeadlessHost>();
    if (!updaterUiScript.empty()) ::setenv("VQ_UI_SCRIPT", updaterUiScript.c_str(), 1);
    client::ClientApp::Settings settings;
    settings.language = 1033;
    settings.programDir = VQ_CLIENT_DIR;
    settings.update.updater = updater;
    app_ = std::make_unique<client::ClientApp>(*host_, client::ClientHooks{}, settings);
    vqtest::Argv argv({"Marrowlantern", "-d", "-h", kGatewayAddress, "-p", "443", "-u", "demo", "-c", "S"});
    ASSERT_TRUE(app_->Start(argv.argc(), argv.argv()));
  }

  // Box 102 answered Yes once it is shown; then the service stopped, the
  // installer of the temporary folder started and the client gone.
  void AgreeAndExpectInstalled() {
    ASSERT_TRUE(RunUntil(*host_, [&] {
      return host_->Answer("There exists new version of the application. Update now?", platform::ui::IDYES);
    })) << "no box 102";
    // The update, the service's stop and the exit: generous for a loaded
    // machine.
    ASSERT_TRUE(RunUntil(*host_, [&] { return !app_->Window()->Created(); }, std::chrono::seconds(90)))
        << "the client did not exit";
    EXPECT_TRUE(host_->ShuttingDown());
    EXPECT_EQ(TunnelServiceState(), platform::service::SERVICE_STOPPED);
    EXPECT_EQ(Inquire().state, 0xFFFFFFFFu) << "the service still answers";
    ASSERT_TRUE(Eventually([&] { return vqtest::PathExists(InstallerRecord()); })) << "the installer did not run";
    EXPECT_EQ(vqtest::ReadFileBytes(InstallerRecord()).rfind("arg=" + Temp() + "/qimbo.exe\n", 0), 0u);
  }

  static uint32_t TunnelServiceState() {
    uint32_t error = 0;
    const std::unique_ptr<platform::service::ServiceManager> manager = platform::service::OpenServiceManager(error);
    platform::service::ServiceStatus status;
    if (!manager || manager->QueryServiceStatus(client::kTunnelServiceName, status) != 0) return 0;
    return status.currentState;
  }
  static std::string Temp() { return platform::paths::UserTempDir(); }
  static size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  std::string InstallerRecord() const { return root_->At("/installer-record"); }
  static std::string ListUrl() {
    return "https://" + EncodeUrlCredential("demo") + ":" + EncodeUrlCredential("S") + "@" + kGatewayAddress +
           ":443/qimbo.xml";
  }

  std::unique_ptr<platform::ui::HeadlessHost> host_;
  std::unique_ptr<client::ClientApp> app_;
};

// The gateway refuses the login as from an outdated client (status -2,
// event 1003); the stand-in updater answers 2 and 3 and leaves the
// recording installer.
class UpdateTriggerE2eOutdatedClient : public UpdateTriggerEndToEnd {
 protected:
  void SetUp() override {
    negotiation_.login.status = -2;
    UpdateTriggerEndToEnd::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::filesystem::create_directories(Fake(""));
    vqtest::WriteFileBytes(Fake("exit-check"), "2");
    vqtest::WriteFileBytes(Fake("exit-update"), "3");
    vqtest::WriteFileBytes(Fake("installer"), RECORDING_INSTALLER_PATH);
  }
  std::string Fake(const std::string& name) const { return root_->At("/fake_thimbleset/" + name); }
};

TEST_P(UpdateTriggerE2eOutdatedClient, RefusedLoginChecksUpdatesStopsTheServiceAndStartsTheInstaller) {
  StartClient(FAKE_THIMBLESET_PATH);
  if (HasFatalFailure()) return;
  AgreeAndExpectInstalled();
  if (HasFatalFailure()) return;
  EXPECT_NE(vqtest::ReadLogText().find("Authentication failed : -2"), std::string::npos);
  const std::vector<vqgw::ConnectionRecord> connections = tls_->Connections();
  ASSERT_FALSE(connections.empty());
  EXPECT_TRUE(connections[0].keyRequests.empty());
  // Both runs with the connection's URL and word, in the temporary folder.
  const std::string runs = vqtest::ReadFileBytes(Fake("runs"));
  const std::string words = "\narg=" + ListUrl() + "\narg=qimbo.exe\narg=1.0.1.0000\narg=cookie\ncwd=" + Temp() + "\n";
  const size_t check = runs.find("\narg=check" + words);
  const size_t update = runs.find("\narg=update" + words);
  EXPECT_NE(check, std::string::npos) << runs;
  EXPECT_NE(update, std::string::npos) << runs;
  EXPECT_LT(check, update);
  EXPECT_EQ(Occurrences(runs, "\nend\n"), 2u);
}

INSTANTIATE_TEST_SUITE_P(Gateways, UpdateTriggerE2eOutdatedClient, ::testing::Values(vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>&) { return "Version2"; });

// The real updater (its headless build, the progress dialog's OK from a
// script) against the test portal's list on the gateway's port, which
// offers the recording installer as the newer client.
class UpdateTriggerE2eRealUpdater : public UpdateTriggerEndToEnd {
 protected:
  void SetUp() override {
    installer_ = vqtest::ReadFileBytes(RECORDING_INSTALLER_PATH);
    portal_ = std::make_shared<vqgw::Portal>(vqgw::PortalOptions{
        .sessionUser = "demo", .sessionId = "S", .folder = std::string(VQ_TEST_DATA_DIR) + "/portal"});
    portal_->AddRoute("/qimbo.exe", vqgw::PortalRoute::Fixed(vqgw::PortalReply::Body(installer_)));
    portal_->AddRoute("/lib/libWendle.so",
                      vqgw::PortalRoute::Fixed(vqgw::PortalReply::Body(vqtest::ReadFileBytes(WENDLE_LIBRARY_PATH))));
    UpdateTriggerEndToEnd::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    script_ = root_->At("/updater-ok.script");
    vqtest::WriteFileBytes(script_, "dialog 102 wait 1\ndialog 102 click 1\n");
  }
  std::string installer_;
  std::string script_;
};

TEST_P(UpdateTriggerE2eRealUpdater, ConnectedClientFetchesTheNewVersionAndStartsItsInstaller) {
  ASSERT_FALSE(installer_.empty());
  StartClient(THIMBLESET_HEADLESS_PATH, script_);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(RunUntil(*host_, [&] { return app_->GetChannelStatus() == client::kStatusConnected; }))
      << "status " << app_->GetChannelStatus();
  AgreeAndExpectInstalled();
  if (HasFatalFailure()) return;
  EXPECT_EQ(Occurrences(vqtest::ReadLogText(), "New version exists"), 1u);
  EXPECT_EQ(vqtest::ReadFileBytes(Temp() + "/qimbo.exe"), installer_);
  // The list twice (check, update), then the installer and the library.
  std::vector<std::string> paths;
  for (const auto& request : portal_->Requests()) paths.push_back(request.Path());
  EXPECT_EQ(std::count(paths.begin(), paths.end(), "/qimbo.xml"), 2) << ::testing::PrintToString(paths);
  EXPECT_EQ(std::count(paths.begin(), paths.end(), "/qimbo.exe"), 1) << ::testing::PrintToString(paths);
}

INSTANTIATE_TEST_SUITE_P(Gateways, UpdateTriggerE2eRealUpdater, ::testing::Values(vqgw::kVersion2),
                         [](const ::testing::TestParamInfo<uint8_t>&) { return "Version2"; });

}  // namespace
}  // namespace brindleway
