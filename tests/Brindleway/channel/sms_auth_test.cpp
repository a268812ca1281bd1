// The SMS exchange against the test gateway: a connected control channel
// whose code requests and codes the gateway answers. The exchange runs on
// its own thread as on the set-up's worker; the test plays the channel
// thread with the user's codes and resend requests. The ten-minute wait
// runs on a fake clock.
#include "Brindleway/channel/sms_auth.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/control/control_channel.h"
#include "Brindleway/control/message_dispatch.h"
#include "Brindleway/control/tls_context.h"
#include "Brindleway/fixed_network.h"
#include "Brindleway/protocol_version_scope.h"
#include "Brindleway/recording_gui_reports.h"
#include "common/eventually.h"
#include "common/shared_list.h"
#include "common/temp_root.h"
#include "gateway/sms_exchange.h"
#include "gateway/tls_gateway.h"

namespace brindleway {
namespace {

using vqtest::Eventually;
using namespace std::chrono_literals;

class SmsAuthTest : public ::testing::Test {
 protected:
  void SetUp() override { SetStoredServerCertCheck([](X509*) { return 1; }); }
  void TearDown() override {
    Finish();
    SetStoredServerCertCheck(nullptr);
  }

  // A control channel to a gateway whose script is the SMS exchange
  // answering `answers` requests and codes.
  void Connect(const vqgw::SmsGatewayOptions& options, int answers) {
    vqgw::GatewayOptions gateway;
    gateway.script = vqgw::SmsExchange(options, answers);
    gateway_ = std::make_unique<vqgw::TlsGateway>(std::move(gateway));
    session_ = std::make_unique<CChannelSession>(gui_);
    DispatchEnv env;
    env.reports = &gui_;
    env.connInfo = &connInfo_;
    env.channelState = &channelState_;
    env.network = network_.View();
    dispatch_ = std::make_unique<MessageDispatch>(*session_, std::move(env));
    dispatch_->Attach();
    session_->SetRequestWaitMs(requestWaitMs_);
    session_->SetCancelEvent(&cancel_);
    ASSERT_EQ(session_->ConnectChannel("127.0.0.1", gateway_->Port(), 0), 0);
  }

  // The exchange on its own thread, as the set-up's worker runs it.
  void RunExchange() {
    exchange_ = std::async(std::launch::async, [this] { return sms_.Exchange(*session_); });
  }
  bool StillWaiting(std::chrono::milliseconds forMs = 150ms) {
    return exchange_.wait_for(forMs) == std::future_status::timeout;
  }
  bool StepsReach(size_t n) {
    return Eventually([&] { return steps_.Get().size() >= n; });
  }
  std::vector<std::string> CodesAtGateway() { return vqgw::SmsCodesReceived(gateway_->Connections().at(0)); }

  // Ends whatever runs (a close), leaving a fresh fixture behind.
  void Finish() {
    cancel_.Set();
    if (exchange_.valid()) exchange_.wait();
    exchange_ = {};
    if (session_) session_->CloseChannel();
    dispatch_.reset();
    session_.reset();
    gateway_.reset();
    cancel_.Reset();
  }

  vqtest::TempRoot root_;
  ProtocolVersionScope version_{0x10};
  RecordingGuiReports gui_;
  ConnInfoSlot connInfo_;
  std::atomic<uint32_t> channelState_{CHANNEL_STATE_CONNECTING};
  FixedNetwork network_;
  platform::Event cancel_{platform::Event::Reset::Manual};
  platform::FakeClock clock_;
  vqtest::SharedList<uint32_t> steps_;  // the VQ_SMS_EVENT steps, in order
  CSmsAuthData sms_{[this](uint32_t step) { steps_.Add(step); }, clock_};
  int64_t requestWaitMs_ = 2000;
  std::unique_ptr<vqgw::TlsGateway> gateway_;
  std::unique_ptr<CChannelSession> session_;
  std::unique_ptr<MessageDispatch> dispatch_;
  std::future<int> exchange_;
};

TEST_F(SmsAuthTest, AWrongCodeIsReportedAndTheRightOneEndsTheExchange) {
  Connect({.code = "4711"}, 3);
  RunExchange();
  ASSERT_TRUE(StepsReach(1));
  EXPECT_EQ(steps_.Get(), std::vector<uint32_t>{VQ_SMS_SHOW_DIALOG});

  EXPECT_EQ(sms_.SendSmsAuthCodeToServer("0000"), 0);
  EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, 1028}));
  EXPECT_TRUE(StillWaiting());

  EXPECT_EQ(sms_.SendSmsAuthCodeToServer("4711"), 0);
  EXPECT_EQ(exchange_.get(), 0);
  EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, 1028, 25}));
  EXPECT_EQ(session_->m_iState, NEG_STATE_AUTHENTICATED);
  EXPECT_EQ(CodesAtGateway(), (std::vector<std::string>{"0000", "4711"}));
}

TEST_F(SmsAuthTest, AResendKeepsTheExchangeOpenAndItsFailureEndsIt) {
  const struct {
    int32_t resendStatus;
    int result;  // of the resend request
  } cases[] = {{vqgw::kStatusOk, 0}, {vqgw::kSmsDeviceError, 1027}, {vqgw::kSmsTooManyRequests, 1025}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.resendStatus);
    steps_.Clear();
    Connect({.resendStatuses = {c.resendStatus}}, c.result == 0 ? 3 : 2);
    RunExchange();
    ASSERT_TRUE(StepsReach(1));
    EXPECT_EQ(sms_.ReqSmsAuthCode(0), c.result);
    EXPECT_EQ(vqgw::SmsRequestsReceived(gateway_->Connections().at(0)), 2);
    if (c.result == 0) {
      EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, 27}));
      EXPECT_TRUE(StillWaiting());
      sms_.SendSmsAuthCodeToServer("123456");
      EXPECT_EQ(exchange_.get(), 0);
      EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, 27, 25}));
    } else {
      EXPECT_EQ(exchange_.get(), c.result);
      EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, static_cast<uint32_t>(c.result)}));
    }
    Finish();
  }
}

TEST_F(SmsAuthTest, TenMinutesWithoutACodeEndWith1030OnceAndLateCodesAreRefused) {
  Connect({}, 1);
  RunExchange();
  ASSERT_TRUE(StepsReach(1));
  clock_.Advance(kSmsWaitMs - 1);
  EXPECT_TRUE(StillWaiting());
  clock_.Advance(1);
  EXPECT_EQ(exchange_.get(), 1030);
  EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, 1030}));

  // The dialog may still send a code: nothing reaches the gateway.
  EXPECT_EQ(sms_.SendSmsAuthCodeToServer("123456"), -1);
  EXPECT_EQ(sms_.ReqSmsAuthCode(0), -1);
  EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, 1030}));
  EXPECT_TRUE(CodesAtGateway().empty());
}

TEST_F(SmsAuthTest, StrayCommandsOutsideAnExchangeNeitherReachTheGatewayNorEndOne) {
  // Two exchanges on one connection: request + right code, then request.
  Connect({}, 3);
  EXPECT_EQ(sms_.SendSmsAuthCodeToServer("123456"), -1);
  EXPECT_EQ(sms_.ReqSmsAuthCode(0), -1);
  EXPECT_TRUE(steps_.Get().empty());

  RunExchange();
  ASSERT_TRUE(StepsReach(1));
  EXPECT_TRUE(StillWaiting());
  EXPECT_TRUE(CodesAtGateway().empty());
  EXPECT_EQ(vqgw::SmsRequestsReceived(gateway_->Connections().at(0)), 1);
  sms_.SendSmsAuthCodeToServer("123456");
  EXPECT_EQ(exchange_.get(), 0);

  // Between two exchanges, too, the session is left alone.
  EXPECT_EQ(sms_.SendSmsAuthCodeToServer("999999"), -1);
  EXPECT_EQ(sms_.ReqSmsAuthCode(0), -1);

  // The next exchange starts afresh: the last one's outcome does not end it.
  RunExchange();
  ASSERT_TRUE(StepsReach(3));
  EXPECT_TRUE(StillWaiting());
  EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, 25, 26}));
  EXPECT_EQ(CodesAtGateway(), std::vector<std::string>{"123456"});
  EXPECT_EQ(vqgw::SmsRequestsReceived(gateway_->Connections().at(0)), 2);
}

TEST_F(SmsAuthTest, GatewayRefusalsMapToTheirCodesAndAnUnknownOneFails) {
  const struct {
    int32_t status;
    uint32_t code;
  } cases[] = {{-16, 1028}, {-17, 1024}, {-18, 1027}, {-19, 1026}, {-20, 1025}, {-77, 1027}, {3, 1027}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    steps_.Clear();
    Connect({.codeStatus = c.status}, 2);
    RunExchange();
    ASSERT_TRUE(StepsReach(1));
    sms_.SendSmsAuthCodeToServer("123456");
    EXPECT_EQ(steps_.Get(), (std::vector<uint32_t>{26, c.code}));
    if (c.code == VQ_SMS_WRONG_CODE) {
      EXPECT_TRUE(StillWaiting());
    } else {
      EXPECT_EQ(exchange_.get(), static_cast<int>(c.code));
    }
    Finish();
  }

  // The first request refused: the exchange ends before the dialog opens.
  steps_.Clear();
  Connect({.requestStatus = vqgw::kSmsTooManyRequests}, 1);
  EXPECT_EQ(sms_.Exchange(*session_), 1025);
  EXPECT_TRUE(steps_.Get().empty());
}

TEST_F(SmsAuthTest, ACloseEndsTheWaitPromptlyWithoutNoInputReport) {
  Connect({}, 1);
  RunExchange();
  ASSERT_TRUE(StepsReach(1));
  const auto start = std::chrono::steady_clock::now();
  cancel_.Set();
  EXPECT_EQ(exchange_.get(), -1);
  EXPECT_LT(vqtest::MsSince(start), 1000);
  EXPECT_EQ(steps_.Get(), std::vector<uint32_t>{26});
}

TEST_F(SmsAuthTest, ACodeCutShortByACloseIsNotTakenAsAccepted) {
  // The gateway answers the code request and never the code.
  requestWaitMs_ = 20000;
  Connect({}, 1);
  RunExchange();
  ASSERT_TRUE(StepsReach(1));
  std::thread channelThread([&] { sms_.SendSmsAuthCodeToServer("123456"); });
  ASSERT_TRUE(Eventually([&] { return CodesAtGateway().size() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  cancel_.Set();
  channelThread.join();
  const int result = exchange_.get();
  EXPECT_LT(vqtest::MsSince(start), 2000);
  EXPECT_NE(result, 0);
  for (uint32_t step : steps_.Get()) EXPECT_NE(step, VQ_SMS_ACCEPTED);
}

}  // namespace
}  // namespace brindleway
