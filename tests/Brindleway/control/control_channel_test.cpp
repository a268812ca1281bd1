// The control channel's connect against the test gateway on loopback: the
// proxy exchange, the connect deadline, the gateway certificate's validity
// reports, the negotiated protocol, the captured addresses and the close.
#include "Brindleway/control/control_channel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/ctrl_message.h"
#include "Brindleway/control/ctrl_stream_framer.h"
#include "Brindleway/control/tls_context.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "gateway/tls_gateway.h"
#include "platform/registry/registry.h"
#include "support/log.h"
#include "support/registry_helpers.h"

#include "Brindleway/protocol_version_scope.h"
#include "Brindleway/recording_gui_reports.h"

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;
using vqgw::GatewayOptions;
using vqgw::TlsGateway;

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

class ControlChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    // The stored-certificate check stands in as trusting the gateway's
    // self-signed certificate, as it does on first use.
    SetStoredServerCertCheck([](X509*) { return 1; });
  }
  void TearDown() override { SetStoredServerCertCheck(nullptr); }

  static void SetAllowLegacyTls(uint32_t value) {
    namespace reg = platform::registry;
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, PRODUCT_SETTINGS_KEY, reg::Access::Write, key), 0u);
    const uint8_t data[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                             static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    ASSERT_EQ(key.SetValue("AllowLegacyTls", reg::REG_DWORD, data), 0u);
  }
  static bool Logged(const std::string& text) { return vqtest::ReadLogText().find(text) != std::string::npos; }

  vqtest::TempRoot root_;
  RecordingGuiReports reports_;
};

TEST_F(ControlChannelTest, ConnectCapturesTheSocketsAddressesAndCloseSendsCloseNotify) {
  TlsGateway gateway(GatewayOptions{});
  CChannelSession session(reports_);
  ASSERT_EQ(session.ConnectChannel("127.0.0.1", gateway.Port(), 0), 0);
  ASSERT_TRUE(gateway.WaitConnections(1));
  const vqgw::ConnectionRecord seen = gateway.Connections()[0];

  // What the gateway saw of this connection, from its side.
  EXPECT_EQ(session.ServerAddress(), seen.local.sin_addr.s_addr);
  EXPECT_EQ(session.ServerTcpPort(), ntohs(seen.local.sin_port));
  EXPECT_EQ(session.LocalAddress(), seen.peer.sin_addr.s_addr);
  EXPECT_EQ(session.ReportedGatewayAddress(), Loopback());
  EXPECT_EQ(session.ReportedLocalAddress(), seen.peer.sin_addr.s_addr);
  EXPECT_EQ(session.m_iState, CHANNEL_NEGOTIATION_CONNECTED);
  EXPECT_EQ(session.IsConnected(), 1u);
  EXPECT_EQ(session.ReadBuffer().size(), kChannelReadBufferSize);
  EXPECT_TRUE(reports_.Events().empty());

  EXPECT_EQ(session.CloseChannel(), 0);
  EXPECT_EQ(session.Socket(), -1);
  EXPECT_EQ(session.Ssl(), nullptr);
  EXPECT_EQ(session.IsConnected(), 0u);
  ASSERT_TRUE(gateway.WaitFinished(0));
  const vqgw::ConnectionRecord after = gateway.Connections()[0];
  EXPECT_TRUE(after.peerClosed);
  EXPECT_TRUE(after.peerSentCloseNotify);
}

// Below version 2 the status shows the control socket's ends: none once it
// is closed. Version 2 gateways close TLS after the key exchange, and the
// status keeps showing the set-up's addresses.
TEST_F(ControlChannelTest, ReportedAddressesAfterTheCloseFollowTheGatewayVersion) {
  for (const uint8_t version : {uint8_t{0x10}, uint8_t{0x20}}) {
    SCOPED_TRACE(version);
    ProtocolVersionScope scope(version);
    TlsGateway gateway(GatewayOptions{});
    CChannelSession session(reports_);
    ASSERT_EQ(session.ConnectChannel("127.0.0.1", gateway.Port(), 0), 0);
    const uint32_t local = session.ReportedLocalAddress();
    ASSERT_NE(local, 0u);
    session.CloseChannel();
    const bool kept = version >= 0x20;
    EXPECT_EQ(session.ReportedGatewayAddress(), kept ? Loopback() : 0u);
    EXPECT_EQ(session.ReportedLocalAddress(), kept ? local : 0u);
  }
}

TEST_F(ControlChannelTest, ReportedProtocolFollowsTheNegotiatedVersion) {
  const struct {
    int minVersion;
    int maxVersion;
    uint32_t allowLegacy;
    int result;
    uint16_t protocolId;
  } cases[] = {
      {TLS1_2_VERSION, TLS1_2_VERSION, 0, 0, 5},
      {TLS1_3_VERSION, TLS1_3_VERSION, 0, 0, 6},
      {TLS1_VERSION, TLS1_VERSION, 0, VQ_ERR_SSL_CONNECT, 0},
      {TLS1_1_VERSION, TLS1_1_VERSION, 0, VQ_ERR_SSL_CONNECT, 0},
      {TLS1_VERSION, TLS1_VERSION, 1, 0, 1},
      {TLS1_1_VERSION, TLS1_1_VERSION, 1, 0, 4},
      // Legacy allowed still prefers the newest version both sides speak.
      {TLS1_VERSION, 0, 1, 0, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.minVersion << "-" << c.maxVersion << " legacy " << c.allowLegacy);
    SetAllowLegacyTls(c.allowLegacy);
    GatewayOptions options;
    options.minVersion = c.minVersion;
    options.maxVersion = c.maxVersion;
    TlsGateway gateway(options);
    CChannelSession session(reports_);
    EXPECT_EQ(session.ConnectChannel("127.0.0.1", gateway.Port(), 0), c.result);
    EXPECT_EQ(session.ProtocolId(), c.protocolId);
    if (c.result != 0) {
      EXPECT_EQ(session.Socket(), -1);
    }
    session.CloseChannel();
  }
  EXPECT_TRUE(Logged("AllowLegacyTls is set"));
}

TEST_F(ControlChannelTest, ProxyRequestIsExactAndOnly2xxRepliesLeadToTheHandshake) {
  const struct {
    const char* name;
    std::vector<std::string> reply;
    int result;
  } cases[] = {
      {"200", vqgw::ProxyReplyOk(), 0},
      {"long 200", vqgw::ProxyReplyLong(), 0},
      {"split 200", vqgw::ProxyReplySplit(), 0},
      {"407", vqgw::ProxyReply407(), VQ_ERR_SSL_CONNECT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GatewayOptions options;
    options.proxy = true;
    options.proxyReply = c.reply;
    TlsGateway gateway(options);
    CChannelSession session(reports_);
    session.SetProxy("127.0.0.1", gateway.Port(), true);
    EXPECT_EQ(session.ConnectChannel("198.51.100.7", 443, 0), c.result);
    session.CloseChannel();
    ASSERT_TRUE(gateway.WaitFinished(0));
    const vqgw::ConnectionRecord seen = gateway.Connections()[0];
    EXPECT_EQ(seen.proxyRequest, "CONNECT 198.51.100.7:443 HTTP/1.0\r\nUser-Agent: Marrowlantern\r\n\r\n");
    EXPECT_EQ(seen.handshakeDone, c.result == 0);
    // After a refusal not one byte of a handshake was sent.
    EXPECT_EQ(seen.bytesAfterProxyRefusal, 0u);
  }
  EXPECT_TRUE(Logged("Proxy refused the connection: HTTP/1.1 407 Proxy Authentication Required"));
}

TEST_F(ControlChannelTest, FailuresBeforeTlsGiveTheirCodes) {
  // A port nobody listens on.
  platform::UniqueFd probe(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = Loopback();
  ASSERT_EQ(::bind(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  socklen_t length = sizeof(addr);
  ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&addr), &length);
  const uint16_t closedPort = ntohs(addr.sin_port);

  {
    CChannelSession session(reports_);
    EXPECT_EQ(session.ConnectChannel("127.0.0.1", closedPort, 0), VQ_ERR_CONNECT);
    EXPECT_EQ(session.ConnectChannel("no-such-host.invalid", 443, 0), VQ_ERR_BAD_HOST);
    EXPECT_EQ(session.Socket(), -1);
  }
  {
    // The proxy's answer never reaches its blank line.
    GatewayOptions options;
    options.proxy = true;
    options.proxyReply = {"HTTP/1.0 200 Conn"};
    TlsGateway gateway(options);
    CChannelSession session(reports_);
    session.SetProxy("127.0.0.1", gateway.Port(), true);
    session.SetConnectLimitMs(500);
    EXPECT_EQ(session.ConnectChannel("gw.example", 443, 0), VQ_ERR_RECEIVE);
  }
  {
    // A gateway name that a CONNECT request can't carry never reaches the proxy.
    TlsGateway gateway(GatewayOptions{});
    CChannelSession session(reports_);
    session.SetProxy("127.0.0.1", gateway.Port(), true);
    EXPECT_EQ(session.ConnectChannel(std::string(256, 'g'), 443, 0), VQ_ERR_BAD_HOST);
    EXPECT_EQ(session.ConnectChannel("gw\r\nX-Injected: 1", 443, 0), VQ_ERR_BAD_HOST);
    EXPECT_TRUE(gateway.Connections().empty());
  }
  EXPECT_TRUE(Logged("Connect to the server failed"));
}

TEST_F(ControlChannelTest, SilentGatewayFailsWithinTheDeadline) {
  for (const bool viaProxy : {false, true}) {
    SCOPED_TRACE(viaProxy ? "proxy" : "direct");
    GatewayOptions options;
    options.silent = true;
    options.proxy = viaProxy;
    TlsGateway gateway(options);
    CChannelSession session(reports_);
    session.SetConnectLimitMs(300);
    if (viaProxy) session.SetProxy("127.0.0.1", gateway.Port(), true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(session.ConnectChannel("127.0.0.1", gateway.Port(), 0), VQ_ERR_SSL_CONNECT);
    const int64_t elapsed = vqtest::MsSince(start);
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 3000);
    EXPECT_EQ(session.Socket(), -1);
  }
  EXPECT_TRUE(Logged("SSL connect time out"));
}

TEST_F(ControlChannelTest, ProxyThatNeverAnswersFailsWithinTheDeadline) {
  GatewayOptions options;
  options.proxy = true;
  options.proxyReply = {};
  TlsGateway gateway(options);
  CChannelSession session(reports_);
  session.SetConnectLimitMs(300);
  session.SetProxy("127.0.0.1", gateway.Port(), true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(session.ConnectChannel("gw.example", 443, 0), VQ_ERR_RECEIVE);
  EXPECT_LT(vqtest::MsSince(start), 3000);
}

TEST_F(ControlChannelTest, CancelEndsAConnectEarly) {
  GatewayOptions options;
  options.silent = true;
  TlsGateway gateway(options);
  platform::Event cancel(platform::Event::Reset::Manual);
  CChannelSession session(reports_);
  session.SetCancelEvent(&cancel);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cancel.Set();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(session.ConnectChannel("127.0.0.1", gateway.Port(), 0), VQ_ERR_SSL_CONNECT);
  EXPECT_LT(vqtest::MsSince(start), 5000);
  canceller.join();
}

TEST_F(ControlChannelTest, CertificateValidityIsReportedOncePerHandshake) {
  const struct {
    vqgw::CertKind kind;
    std::vector<Bytes> reports;
  } cases[] = {
      {vqgw::CertKind::Valid, {}},
      {vqgw::CertKind::Expired, {Bytes{7, 0xF1, 0x03, 0, 0}}},      // VQ_EVENT 1009
      {vqgw::CertKind::NotYetValid, {Bytes{7, 0xF0, 0x03, 0, 0}}},  // VQ_EVENT 1008
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    vqtest::FakePipeServer gui;
    GatewayOptions options;
    options.cert = vqgw::MakeTestCert(c.kind);
    TlsGateway gateway(options);
    CChannelSession session;  // reports through the client application's pipe
    ASSERT_EQ(session.ConnectChannel("127.0.0.1", gateway.Port(), 0), 0);
    if (!c.reports.empty()) {
      ASSERT_TRUE(gui.WaitMessages(c.reports.size()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(gui.Messages(), c.reports);
    session.CloseChannel();
  }
}

TEST_F(ControlChannelTest, RejectedCertificateMeansItChanged) {
  SetStoredServerCertCheck([](X509*) { return 0; });
  for (const vqgw::CertKind kind : {vqgw::CertKind::Valid, vqgw::CertKind::Expired}) {
    GatewayOptions options;
    options.cert = vqgw::MakeTestCert(kind);
    TlsGateway gateway(options);
    CChannelSession session(reports_);
    EXPECT_EQ(session.ConnectChannel("127.0.0.1", gateway.Port(), 0), VQ_ERR_SERVER_CERT_CHANGED);
    EXPECT_EQ(session.Socket(), -1);
    EXPECT_TRUE(reports_.Events().empty());
  }
  EXPECT_TRUE(Logged("Verify certificate error: depth=0"));
}

// Reads until the peer's end or a failure; the status that ended it.
TlsIoStatus ReadUntilEnd(SSL* ssl, int fd, std::vector<Bytes>* messages = nullptr) {
  CtrlStreamFramer framer;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    uint8_t buffer[16384];
    ERR_clear_error();
    const int n = SSL_read(ssl, buffer, sizeof(buffer));
    const TlsIoStatus status = ClassifyTlsResult(ssl, n);
    if (status == TlsIoStatus::Done) {
      framer.Append(buffer, static_cast<size_t>(n));
      Bytes message;
      while (framer.Next(message) == 0 && !message.empty()) {
        if (messages != nullptr) messages->push_back(message);
      }
      continue;
    }
    if (status == TlsIoStatus::WantRead || status == TlsIoStatus::WantWrite) {
      pollfd pfd{fd, static_cast<short>(status == TlsIoStatus::WantRead ? POLLIN : POLLOUT), 0};
      ::poll(&pfd, 1, 100);
      continue;
    }
    return status;
  }
  return TlsIoStatus::Failed;
}

TEST_F(ControlChannelTest, GatewayCloseWithOrWithoutCloseNotifyIsThePeerClosing) {
  for (const bool notify : {true, false}) {
    SCOPED_TRACE(notify ? "close_notify" : "bare close");
    GatewayOptions options;
    options.script = {vqgw::Action::Close(notify)};
    TlsGateway gateway(options);
    CChannelSession session(reports_);
    ASSERT_EQ(session.ConnectChannel("127.0.0.1", gateway.Port(), 0), 0);
    EXPECT_EQ(ReadUntilEnd(session.Ssl(), session.Socket()), TlsIoStatus::PeerClosed);
    session.CloseChannel();
  }
}

TEST_F(ControlChannelTest, ScriptedMessagesArriveWholeWhetherSplitOrCoalesced) {
  ProtocolVersionScope version(0x10);
  vqgw::Message setIp;
  setIp.type = vqgw::kMsgSetIp;
  setIp.AddU32(CM_PAYLOAD_STATUS, 0).AddIPv4(CM_PAYLOAD_PRIVATE_IPV4, 10, 8, 0, 2);
  vqgw::Message keepAlive;
  keepAlive.flags = vqgw::kFlagResponse;
  keepAlive.type = vqgw::kMsgKeepAlive;
  keepAlive.AddU32(CM_PAYLOAD_STATUS, 0);
  const Bytes a = vqgw::Encode(setIp);
  const Bytes b = vqgw::Encode(keepAlive);

  GatewayOptions options;
  options.script = {vqgw::Action::SendSplit(a, 3), vqgw::Action::Stall(50), vqgw::Action::SendCoalesced({b, a, b}),
                    vqgw::Action::Read(1), vqgw::Action::Close(true)};
  TlsGateway gateway(options);
  CChannelSession session(reports_);
  ASSERT_EQ(session.ConnectChannel("127.0.0.1", gateway.Port(), 0), 0);

  CtrlMessage request;
  request.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_KEEPALIVE);
  request.WriteU32Payload(CM_PAYLOAD_KEEPALIVE, 1);
  ASSERT_EQ(SSL_write(session.Ssl(), request.Data(), static_cast<int>(request.Size())),
            static_cast<int>(request.Size()));

  std::vector<Bytes> messages;
  EXPECT_EQ(ReadUntilEnd(session.Ssl(), session.Socket(), &messages), TlsIoStatus::PeerClosed);
  EXPECT_EQ(messages, (std::vector<Bytes>{a, b, a, b}));
  for (const Bytes& m : messages) {
    CtrlMessage parsed;
    ASSERT_EQ(parsed.Load(m.data(), m.size()), 0);
    EXPECT_EQ(parsed.Parse(), 0);
  }
  ASSERT_TRUE(gateway.WaitFinished(0));
  const auto received = gateway.Connections()[0].received;
  ASSERT_EQ(received.size(), 1u);
  const auto decoded = vqgw::Decode(received[0]);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->type, vqgw::kMsgKeepAlive);
  EXPECT_EQ(decoded->U32(CM_PAYLOAD_KEEPALIVE), 1u);
  session.CloseChannel();
}

}  // namespace
}  // namespace brindleway
