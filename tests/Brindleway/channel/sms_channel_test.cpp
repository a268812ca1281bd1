// An SMS login end to end inside the tunnel service: the channel thread, the
// channel session whose SMS exchange is CSmsAuthData, and the test gateway.
// The user's codes and resend requests arrive as the channel thread's
// messages, as the command pipe posts them. The data path is a stand-in.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Brindleway/channel/channel_session.h"
#include "Brindleway/channel/sms_auth.h"
#include "Brindleway/common/constants.h"
#include "Brindleway/control/tls_context.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/fixed_network.h"
#include "Brindleway/password_login.h"
#include "Brindleway/protocol_version_scope.h"
#include "Brindleway/recording_gui_reports.h"
#include "Brindleway/service/channel_thread.h"
#include "common/eventually.h"
#include "common/shared_list.h"
#include "common/temp_root.h"
#include "gateway/negotiation_script.h"
#include "gateway/sms_exchange.h"
#include "gateway/tls_gateway.h"

namespace brindleway {
namespace {

using vqgw::NegotiationOptions;
using vqgw::Step;
using vqtest::Eventually;

// A login that asks for an SMS code, the exchange answering `answers`
// requests and codes, then the rest of the negotiation.
std::vector<vqgw::Action> SmsLoginScript(const vqgw::SmsGatewayOptions& sms, int answers) {
  NegotiationOptions options;
  options.login.smsNeeded = true;
  options.insertBefore[Step::ReadClientInfo] = vqgw::SmsExchange(sms, answers);
  return vqgw::HappyPathScript(options);
}

class SmsChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetStoredServerCertCheck([](X509*) { return 1; });
    ASSERT_EQ(ctx_.semaphore.Create("Global\\SemaphoreSmsChannelTest"), 0u);
  }
  void TearDown() override {
    if (thread_) {
      thread_->RequestExit();
      thread_->Join();
    }
    thread_.reset();
    session_.reset();
    gateway_.reset();
    SetStoredServerCertCheck(nullptr);
    esp_sa_cleanup();
  }

  void Start(std::vector<vqgw::Action> script, platform::Clock& clock) {
    vqgw::GatewayOptions gateway;
    gateway.script = std::move(script);
    gateway_ = std::make_unique<vqgw::TlsGateway>(std::move(gateway));
    sms_ = std::make_unique<CSmsAuthData>([this](uint32_t step) { steps_.Add(step); }, clock);
    SessionParts parts;
    parts.startTunnel = [](CChannelSession&) { return 0; };
    parts.stopTunnel = [](CChannelSession& s) {
      s.m_iState = NEG_STATE_NONE;
      SendLogout(s);
      s.CloseChannel();
    };
    parts.smsExchange = [this](CChannelSession& s) { return sms_->Exchange(s); };
    parts.smsCode = [this](const std::string& code) { sms_->SendSmsAuthCodeToServer(code); };
    parts.smsResend = [this] { sms_->ReqSmsAuthCode(0); };
    session_ = std::make_unique<ChannelSession>(ChannelSessionEnv{
        ctx_, gui_, [this] { return thread_->CloseTunnelChannel(); },
        [this](uint32_t message, uint32_t code) { thread_->Post(message, code); }, parts, network_.View(),
        &clock});
    session_->SetRequestWaitMs(2000);
    thread_ = std::make_unique<ChannelThread>(ctx_, *session_, gui_, clock);
    thread_->Start();
  }

  conn_info Record() const { return PasswordLogin("127.0.0.1", gateway_->Port()); }

  bool StepsAre(const std::vector<uint32_t>& want) {
    return Eventually([&] { return steps_.Get() == want; });
  }

  vqtest::TempRoot root_;
  ProtocolVersionScope version_{0x10};
  ChannelContext ctx_;
  RecordingGuiReports gui_;
  FixedNetwork network_;
  vqtest::SharedList<uint32_t> steps_;
  platform::FakeClock fakeClock_;
  std::unique_ptr<vqgw::TlsGateway> gateway_;
  std::unique_ptr<CSmsAuthData> sms_;
  std::unique_ptr<ChannelSession> session_;
  std::unique_ptr<ChannelThread> thread_;
};

TEST_F(SmsChannelTest, WrongCodeResendAndRightCodeLetTheSetUpReachTheConnectedState) {
  Start(SmsLoginScript({.code = "4711"}, 4), platform::SystemClock());
  thread_->Post(WM_CHANNEL_OPEN, 0, Record());
  ASSERT_TRUE(StepsAre({VQ_SMS_SHOW_DIALOG}));
  EXPECT_EQ(ctx_.smsNeeded.load(), VQ_ERR_SMS_AUTH_NEEDED);

  thread_->Post(WM_CHANNEL_SMS_AUTH, 0, std::string("0000"));
  ASSERT_TRUE(StepsAre({26, 1028}));
  thread_->Post(WM_CHANNEL_SMS_AUTH_REQ);
  ASSERT_TRUE(StepsAre({26, 1028, 27}));
  EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_CONNECTING);

  thread_->Post(WM_CHANNEL_SMS_AUTH, 0, std::string("4711"));
  ASSERT_TRUE(Eventually([&] { return ctx_.channelState.load() == CHANNEL_STATE_CONNECTED; }));
  EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, 1028, 27, 25}));
  EXPECT_EQ(gui_.Events(), (std::vector<uint32_t>{120, 13}));
  EXPECT_EQ(vqgw::SmsCodesReceived(gateway_->Connections().at(0)), (std::vector<std::string>{"0000", "4711"}));
  EXPECT_EQ(vqgw::SmsRequestsReceived(gateway_->Connections().at(0)), 2);
}

// A reconnect that meets an SMS login nobody answers: 1030 once after ten
// minutes, and the service stops reconnecting.
TEST_F(SmsChannelTest, AnUnansweredSmsLoginOnReconnectEndsReconnecting) {
  platform::FakeClock& clock = fakeClock_;
  Start(vqgw::HappyPathScript({}), clock);
  thread_->Post(WM_CHANNEL_OPEN, 0, Record());
  ASSERT_TRUE(Eventually([&] { return ctx_.channelState.load() == CHANNEL_STATE_CONNECTED; }));
  gateway_->SetScript(SmsLoginScript({}, 1));

  thread_->Post(WM_CHANNEL_ERROR, VQ_ERR_KEEPALIVE_TIMEOUT);
  ASSERT_EQ(thread_->Inspect().reconnectPeriodMs, kReconnectFirstPeriodMs);
  clock.Advance(kReconnectFirstPeriodMs);
  ASSERT_TRUE(Eventually([&] { return clock.Sleepers() == 1; }));
  clock.Advance(kReopenPauseMs);
  ASSERT_TRUE(StepsAre({VQ_SMS_SHOW_DIALOG}));

  clock.Advance(kSmsWaitMs);
  ASSERT_TRUE(Eventually([&] { return !thread_->Inspect().workerRunning; }));
  const ChannelThread::TimerView view = thread_->Inspect();
  EXPECT_EQ(view.reconnectPeriodMs, 0u);
  EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, 1030}));
  EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_IDLE);

  // Time passes; no further connection is tried.
  clock.Advance(kReconnectRetryPeriodMs * 2);
  thread_->Inspect();
  EXPECT_EQ(gateway_->Connections().size(), 2u);
  EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, 1030}));
  // A reconnect reports nothing of its own to the client application.
  EXPECT_EQ(gui_.Events(), (std::vector<uint32_t>{120, 13}));
}

}  // namespace
}  // namespace brindleway
