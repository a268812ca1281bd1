// The channel set-up and close against the test gateway on loopback: the
// whole negotiation for version 1 and 2 gateways, each failing step, the
// heart-beat of version 1 gateways and the close under way. The data path,
// which is not part of the set-up, is a recording stand-in.
#include "Brindleway/channel/channel_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Brindleway/post_recorder.h"
#include "Brindleway/common/constants.h"
#include "Brindleway/control/tls_context.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/datapath/ip_comp.h"
#include "Brindleway/datapath/traffic_counters.h"
#include "Brindleway/fixed_network.h"
#include "Brindleway/password_login.h"
#include "Brindleway/protocol_version_scope.h"
#include "Brindleway/recording_gui_reports.h"
#include "Brindleway/service/channel_thread.h"
#include "common/eventually.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "gateway/negotiation_script.h"
#include "gateway/tls_gateway.h"

namespace brindleway {
namespace {

using vqgw::Action;
using vqgw::NegotiationOptions;
using vqgw::Step;
using vqtest::Eventually;

class ChannelSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { SetStoredServerCertCheck([](X509*) { return 1; }); }
  void TearDown() override {
    session_.reset();
    SetStoredServerCertCheck(nullptr);
    esp_sa_cleanup();
  }

  void Start(NegotiationOptions options) {
    gateway_ = std::make_unique<vqgw::TlsGateway>(vqgw::GatewayOptions{.script = vqgw::HappyPathScript(options)});
    SessionParts parts;
    parts.startTunnel = [this](CChannelSession& s) {
      ++tunnelStarts_;
      tunnelAddress_ = s.m_dwTunnelAddr;
      return startResult_;
    };
    parts.stopTunnel = [this](CChannelSession& s) {
      ++tunnelStops_;
      s.m_iState = NEG_STATE_NONE;
      SendLogout(s);
      s.CloseChannel();
    };
    session_ = std::make_unique<ChannelSession>(ChannelSessionEnv{
        ctx_, gui_, [this] {
          ++closes_;
          ctx_.channelState = CHANNEL_STATE_CLOSING;
          session_->CloseChannelSequence();
          ctx_.channelState = CHANNEL_STATE_IDLE;
          return 0;
        },
        posts_.Callback(), parts, network_.View()});
    session_->SetRequestWaitMs(requestWaitMs_);
    session_->SetConnectLimitMs(5000);
  }

  conn_info Record() const { return PasswordLogin("127.0.0.1", gateway_->Port()); }

  int Open(uint32_t reconnect = 0) { return session_->SetupChannel(Record(), reconnect, 0, cancel_); }

  vqtest::TempRoot root_;
  ProtocolVersionScope version_{0x10};
  ChannelContext ctx_;
  RecordingGuiReports gui_;
  FixedNetwork network_;
  PostRecorder posts_;
  platform::Event cancel_{platform::Event::Reset::Manual};
  std::unique_ptr<vqgw::TlsGateway> gateway_;
  std::unique_ptr<ChannelSession> session_;
  int64_t requestWaitMs_ = 2000;
  int startResult_ = 0;
  std::atomic<int> tunnelStarts_{0};
  std::atomic<int> tunnelStops_{0};
  std::atomic<int> closes_{0};
  uint32_t tunnelAddress_ = 0;
};

class ChannelSessionVersions : public ChannelSessionTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(ChannelSessionVersions, OpenReachesTheConnectedStateWithTheGatewaysKeys) {
  NegotiationOptions options;
  options.version = GetParam();
  options.heartBeats = -1;
  Start(options);
  ASSERT_EQ(Open(), 0);
  EXPECT_EQ(gui_.Events(), (std::vector<uint32_t>{120, 13}));
  EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_CONNECTED);
  EXPECT_EQ(session_->Session().m_iState, NEG_STATE_IDLE);
  EXPECT_EQ(tunnelStarts_.load(), 1);
  EXPECT_EQ(tunnelAddress_, Ip("10.8.0.2"));
  EXPECT_EQ(closes_.load(), 0);

  // Both ends hold the same keys: the gateway derived its block on its own.
  ASSERT_TRUE(Eventually([&] {
    const auto c = gateway_->Connections();
    return !c.empty() && !c[0].keyRequests.empty();
  }));
  const vqgw::KeyRequest request = gateway_->Connections()[0].keyRequests[0];
  ASSERT_TRUE(request.keyBlock.has_value());
  EXPECT_TRUE(std::equal(request.keyBlock->begin(), request.keyBlock->end(),
                         session_->Session().m_keyBlock.begin()));
  EXPECT_EQ(*request.clientSpi, session_->Session().m_dwLocalSpi);

  const bool v2 = (GetParam() & 0xF0) >= 0x20;
  // A version 2 gateway's TLS connection ends after the key exchange; a
  // version 1 gateway gets heart-beats on it.
  if (v2) {
    EXPECT_EQ(session_->Session().Ssl(), nullptr);
    EXPECT_TRUE(gateway_->WaitFinished(0));
  } else {
    EXPECT_NE(session_->Session().Ssl(), nullptr);
    EXPECT_TRUE(Eventually([&] {
      const auto connections = gateway_->Connections();
      for (const auto& m : connections[0].received) {
        if (m.size() > 3 && m[3] == vqgw::kMsgKeepAlive) return true;
      }
      return false;
    }));
  }
  EXPECT_EQ(session_->CloseChannelSequence(), 0);
  EXPECT_EQ(tunnelStops_.load(), 1);
  EXPECT_TRUE(gateway_->WaitFinished(0));
  EXPECT_TRUE(posts_.Posts().empty());
  // A second close finds nothing to do and breaks nothing.
  EXPECT_EQ(session_->CloseChannelSequence(), 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, ChannelSessionVersions, ::testing::Values(uint8_t{0x10}, uint8_t{0x20}));

// One failing step per row: a first open reports the code and closes, a
// reopen closes without a report.
TEST_F(ChannelSessionTest, EachFailingStepClosesAndReportsOnlyOnOpen) {
  auto silentAt = [](Step step) {
    NegotiationOptions o;
    o.replace[step] = {Action::Stall(3000)};
    return o;
  };
  NegotiationOptions loginRefused;
  loginRefused.login.status = vqgw::kStatusBadCredentials;
  NegotiationOptions keyRefused;
  keyRefused.key.status = -1;
  NegotiationOptions keyDoneRefused;
  keyDoneRefused.keyDoneStatus = 5;
  NegotiationOptions badSetIp;
  badSetIp.setIp.netmask = std::nullopt;

  const struct {
    const char* name;
    NegotiationOptions options;
    int code;
  } cases[] = {
      {"login refused", loginRefused, 1033},
      {"client info time-out", silentAt(Step::ClientInfoReply), 22},
      {"parameters time-out", silentAt(Step::KeyDone), 24},
      {"gateway not ready for the key", keyDoneRefused, 23},
      {"key refused", keyRefused, 31},
      {"SET_IP without netmask", badSetIp, 72},
  };
  requestWaitMs_ = 300;
  for (uint32_t reconnect : {0u, 1u}) {
    for (const auto& c : cases) {
      gui_.Clear();
      closes_ = 0;
      Start(c.options);
      EXPECT_EQ(Open(reconnect), c.code) << c.name;
      EXPECT_EQ(closes_.load(), 1) << c.name;
      EXPECT_EQ(tunnelStarts_.load(), 0) << c.name;
      EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_IDLE) << c.name;
      if (reconnect == 0) {
        EXPECT_EQ(gui_.Events(), std::vector<uint32_t>{static_cast<uint32_t>(c.code)}) << c.name;
      } else {
        EXPECT_TRUE(gui_.Events().empty()) << c.name;
      }
      session_.reset();
      gateway_.reset();
    }
  }
}

TEST_F(ChannelSessionTest, CountersAndCompressionStartFromZeroAtEachOpen) {
  Start({});
  TheTrafficCounters().CountSent(1500);
  TheTrafficCounters().CountReceived(900);
  TheIpComp().SetOutboundSaved(77);
  ASSERT_EQ(Open(), 0);
  ChannelStatus status = session_->QueryStatus();
  EXPECT_EQ(status.bytesSent, 0u);
  EXPECT_EQ(status.packetsReceived, 0u);
  EXPECT_EQ(status.compression[3], 0u);
  // The gateway's key reply names the peer CPI; our own was drawn fresh.
  EXPECT_EQ(TheIpComp().GetPeerCpi(), 0x0321);
  TheTrafficCounters().CountSent(100);
  ctx_.channelState = CHANNEL_STATE_CLOSING;
  session_->CloseChannelSequence();
  EXPECT_EQ(session_->QueryStatus().bytesSent, 0u);
}

TEST_F(ChannelSessionTest, ConnectFailureAndDataPathFailure) {
  Start({});
  conn_info info = Record();
  info.port = 1;  // nobody listens
  EXPECT_EQ(session_->SetupChannel(info, 0, 0, cancel_), 4);
  EXPECT_EQ(gui_.Events(), std::vector<uint32_t>{4});

  gui_.Clear();
  startResult_ = 42;
  Start({});
  EXPECT_EQ(Open(), 42);
  EXPECT_EQ(gui_.Events(), (std::vector<uint32_t>{120, 42}));
  EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_IDLE);
}

TEST_F(ChannelSessionTest, WrongUsbKeyPinIsReportedOnAFirstOpenOnly) {
  Start({});
  conn_info info = Record();
  info.init = CONN_FLAG_USB_KEY;
  EXPECT_EQ(session_->SetupChannel(info, 0, 0, cancel_), 99);
  EXPECT_EQ(gui_.Events(), std::vector<uint32_t>{99});
  EXPECT_EQ(session_->SetupChannel(info, 1, 0, cancel_), 99);
  EXPECT_EQ(gui_.Events(), std::vector<uint32_t>{99});
  // Nothing reached the gateway.
  EXPECT_TRUE(gateway_->Connections().empty());
}

TEST_F(ChannelSessionTest, HeartBeatSilenceAndRefusalArePostedAsChannelErrors) {
  const struct {
    const char* name;
    std::vector<Action> idle;
    uint32_t code;
  } cases[] = {
      {"silence", {Action::Stall(5000)}, 52},
      {"refused", {Action::Read(1), Action::Send(vqgw::HeartBeatReply(0)), Action::Stall(5000)}, 51},
  };
  requestWaitMs_ = 300;
  for (const auto& c : cases) {
    NegotiationOptions options;
    options.replace[Step::Idle] = c.idle;
    Start(options);
    ASSERT_EQ(Open(), 0) << c.name;
    ASSERT_TRUE(Eventually([&] { return !posts_.Posts().empty(); })) << c.name;
    EXPECT_EQ(posts_.Posts()[0], std::make_pair(WM_CHANNEL_ERROR, c.code)) << c.name;
    ctx_.channelState = CHANNEL_STATE_CLOSING;
    session_->CloseChannelSequence();
    session_.reset();
    gateway_.reset();
    posts_.Clear();
  }
}

TEST_F(ChannelSessionTest, CloseWhileAHeartBeatAnswerIsDelayedIsPromptAndQuiet) {
  requestWaitMs_ = 20000;
  NegotiationOptions options;
  options.replace[Step::Idle] = {Action::Read(1), Action::Stall(15000)};
  Start(options);
  ASSERT_EQ(Open(), 0);
  // The first heart-beat goes out 100 ms after the start and is never answered.
  ASSERT_TRUE(Eventually([&] { return gateway_->Connections()[0].received.size() >= 4; }));
  const auto start = std::chrono::steady_clock::now();
  ctx_.channelState = CHANNEL_STATE_CLOSING;
  session_->CloseChannelSequence();
  EXPECT_LT(vqtest::MsSince(start), 5000);
  EXPECT_TRUE(posts_.Posts().empty());
}

TEST_F(ChannelSessionTest, PreferredGatewaysGoToTheClientApplication) {
  Start({});
  std::vector<ProximityEntry> entries{{Ip("198.51.100.1"), 443}, {Ip("198.51.100.2"), 8443}};
  // The session was built without proximity; build one that has it.
  SessionParts parts;
  parts.startTunnel = [](CChannelSession&) { return 0; };
  parts.proximityFinished = [] { return true; };
  parts.proximityList = [&] { return entries; };
  for (bool taken : {false, true}) {
    gateway_ = std::make_unique<vqgw::TlsGateway>(vqgw::GatewayOptions{.script = vqgw::HappyPathScript({})});
    RecordingGuiReports gui;
    if (taken) gui.SetPreferReplies({{6, 1, 1, 0, 0, 0}});
    ChannelSession session(ChannelSessionEnv{ctx_, gui, [] { return 0; }, [](uint32_t, uint32_t) {}, parts, network_.View()});
    session.SetRequestWaitMs(2000);
    EXPECT_EQ(session.SetupChannel(Record(), 0, 0, cancel_), taken ? 107 : 0);
    const auto sent = gui.PreferServers();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].size(), 260u);
    EXPECT_EQ(std::vector<uint8_t>(sent[1].begin(), sent[1].begin() + 8),
              (std::vector<uint8_t>{198, 51, 100, 2, 0xFB, 0x20, 0, 0}));
    EXPECT_EQ(sent[2], std::vector<uint8_t>(260, 0));
    if (taken) {
      EXPECT_EQ(gui.Events(), std::vector<uint32_t>{107});
    }
    session.CloseChannelSequence();
  }
}

TEST_F(ChannelSessionTest, CloseCancelsAWaitingSetUp) {
  requestWaitMs_ = 20000;
  NegotiationOptions options;
  options.replace[Step::ClientInfoReply] = {Action::Stall(15000)};
  Start(options);
  std::thread setup([&] { EXPECT_NE(Open(), 0); });
  ASSERT_TRUE(Eventually([&] { return !gateway_->Connections().empty() &&
                                      gateway_->Connections()[0].received.size() >= 2; }));
  const auto start = std::chrono::steady_clock::now();
  cancel_.Set();
  setup.join();
  EXPECT_LT(vqtest::MsSince(start), 5000);
}

}  // namespace
}  // namespace brindleway
