// The two watch threads of an open channel. The watchdog runs on a fake
// clock: its countdown lines, the time-out that leaves the channel alone,
// and the status query that restores the full count. The heart-beat runs
// against the test gateway on loopback (its timer on a fake clock, the
// response wait in short real time): answered heart-beats keep it going,
// silence, an error answer or a dropped connection end it with the code
// posted to the channel thread, and a stop while an answer is delayed
// joins promptly and posts nothing.
#include "Brindleway/channel/keep_alive_threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Brindleway/common/channel_ops.h"
#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/ctrl_message.h"
#include "Brindleway/control/ctrl_protocol.h"
#include "Brindleway/control/tls_context.h"
#include "Brindleway/recording_gui_reports.h"
#include "Brindleway/service/gui_command.h"
#include "Brindleway/status_session.h"
#include "common/eventually.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "gateway/scripted_replies.h"
#include "gateway/tls_gateway.h"
#include "platform/sync/clock.h"
#include "Brindleway/post_recorder.h"
#include "support/log.h"

namespace brindleway {
namespace {

using vqgw::Action;
using vqtest::Eventually;

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

// ---- the client application's watchdog ----

class GuiKeepAliveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    g_dwDebugTraceMask = TRACE_SETUP | TRACE_TIMING;
    ctx_.channelState = CHANNEL_STATE_CONNECTED;
  }
  void TearDown() override {
    watchdog_.Stop();
    g_dwDebugTraceMask = 0;
  }

  // Starts the watch and waits until it sleeps on its timer.
  void StartWatch() {
    watchdog_.Start();
    ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
  }
  // One timer period; returns once the thread has handled the tick and
  // sleeps again (or has ended).
  void Tick() {
    const int before = ctx_.guiWatchdogCount.load();
    clock_.Advance(kGuiKeepAlivePeriodMs);
    ASSERT_TRUE(Eventually([&] {
      return !watchdog_.Running() || (ctx_.guiWatchdogCount.load() != before && clock_.Sleepers() == 1);
    }));
  }
  void Inquiry() {
    std::vector<uint8_t> reply;
    GuiCommandTarget target{ctx_, session_, [](uint32_t, uintptr_t, std::any) { return true; }};
    ProcessGuiCommand({VQ_INQUERY}, reply, target);
  }

  vqtest::TempRoot root_;
  ChannelContext ctx_;
  StatusSession session_;
  platform::FakeClock clock_;
  PostRecorder posts_;
  GuiKeepAliveThread watchdog_{ctx_, posts_.Callback(), clock_};
};

TEST_F(GuiKeepAliveTest, TenQuietTicksCountDownThenTheEleventhLogsTheTimeOutAndClosesNothing) {
  ctx_.guiWatchdogCount = 3;  // left over from an earlier channel
  StartWatch();
  EXPECT_EQ(ctx_.guiWatchdogCount.load(), kGuiWatchdogStart);
  for (int i = 0; i < 10; ++i) Tick();
  EXPECT_EQ(ctx_.guiWatchdogCount.load(), 0);
  EXPECT_TRUE(watchdog_.Running());
  EXPECT_EQ(vqtest::ReadLogText().find("Receive keep-alive message from GUI timeout"), std::string::npos);

  Tick();
  EXPECT_TRUE(Eventually([&] { return !watchdog_.Running(); }));
  const std::string log = vqtest::ReadLogText();
  EXPECT_NE(log.find("Starting GuiKeepAliveThread..."), std::string::npos);
  size_t at = 0;
  for (int left = 9; left >= 0; --left) {
    const std::string line = std::to_string(left) + " seconds left to close channel\r\n";
    at = log.find(line, at);
    ASSERT_NE(at, std::string::npos) << line;
  }
  EXPECT_EQ(CountOf(log, "seconds left to close channel"), 10u);
  EXPECT_NE(log.find("Receive keep-alive message from GUI timeout\r\n", at), std::string::npos);
  // The channel is left as it is: nothing posted, state unchanged.
  EXPECT_TRUE(posts_.Posts().empty());
  EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_CONNECTED);
  // Further time changes nothing, and the stop has nothing left to wait for.
  clock_.Advance(60000);
  watchdog_.Stop();
  EXPECT_EQ(CountOf(vqtest::ReadLogText(), "Receive keep-alive message from GUI timeout"), 1u);
}

TEST_F(GuiKeepAliveTest, AStatusQueryRestoresTheFullTenTicks) {
  StartWatch();
  for (int i = 0; i < 7; ++i) Tick();
  EXPECT_EQ(ctx_.guiWatchdogCount.load(), 3);
  Inquiry();
  EXPECT_EQ(ctx_.guiWatchdogCount.load(), kGuiWatchdogStart);
  // Ten more quiet ticks are allowed before the time-out.
  for (int i = 0; i < 10; ++i) Tick();
  EXPECT_TRUE(watchdog_.Running());
  EXPECT_EQ(vqtest::ReadLogText().find("GUI timeout"), std::string::npos);
  Tick();
  EXPECT_TRUE(Eventually([&] { return !watchdog_.Running(); }));
  EXPECT_NE(vqtest::ReadLogText().find("GUI timeout"), std::string::npos);
}

TEST_F(GuiKeepAliveTest, StopEndsTheWatchAndAStartBeginsAFreshOne) {
  StartWatch();
  Tick();
  watchdog_.Stop();
  EXPECT_FALSE(watchdog_.Running());
  // The event is reset for the next channel's watch.
  EXPECT_FALSE(ctx_.guiKeepAliveStop.IsSet());
  StartWatch();
  EXPECT_EQ(ctx_.guiWatchdogCount.load(), kGuiWatchdogStart);
  Tick();
  EXPECT_EQ(ctx_.guiWatchdogCount.load(), 9);
  EXPECT_TRUE(watchdog_.Running());
  EXPECT_TRUE(posts_.Posts().empty());
}

// ---- the TLS heart-beat ----

// The heart-beat answer, as the dispatch treats it: status 1 answers it,
// any other status fails it.
int HeartBeatDispatch(CChannelSession& s, const uint8_t* bytes, size_t length) {
  CtrlMessage m;
  if (const int r = m.Load(bytes, length); r != 0) return r;
  if (const int r = m.Parse(); r != 0) return r;
  if ((m.GetFlags() & CTRLMSG_FLAG_RESPONSE) == 0 || m.GetType() != CTRLMSG_TYPE_KEEPALIVE ||
      (s.m_dwResponseFlags & CChannelSession::kResponseAwaited) == 0) {
    return VQ_ERR_PROTOCOL_MISMATCH;
  }
  s.m_dwResponseFlags &= ~CChannelSession::kResponseAwaited;
  uint32_t status = 0;
  m.GetU32(CM_PAYLOAD_STATUS, status);
  if (status != 1) return VQ_ERR_HEARTBEAT_FAILED;
  s.m_iState = NEG_STATE_HEARTBEAT_ANSWERED;
  return 0;
}

constexpr int64_t kShortWaitMs = 300;

class ChannelKeepAliveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    SetStoredServerCertCheck([](X509*) { return 1; });
    g_btProtocolVersion = 0x10;
    g_dwDebugTraceMask = TRACE_SETUP;
    ctx_.channelState = CHANNEL_STATE_CONNECTED;
  }
  void TearDown() override {
    heartBeat_.Stop();
    if (session_) session_->CloseChannel();
    SetStoredServerCertCheck(nullptr);
    g_btProtocolVersion = 0;
    g_dwDebugTraceMask = 0;
  }

  // A session past its key exchange, connected to a gateway playing script.
  void Connect(std::vector<Action> script, int64_t requestWaitMs = kShortWaitMs) {
    vqgw::GatewayOptions options;
    options.script = std::move(script);
    gateway_.emplace(std::move(options));
    session_.emplace(reports_);
    session_->SetRequestWaitMs(requestWaitMs);
    CChannelSession& s = *session_;
    session_->SetMessageHandler([&s](const uint8_t* b, size_t n) { return HeartBeatDispatch(s, b, n); });
    ASSERT_EQ(session_->ConnectChannel("127.0.0.1", gateway_->Port(), 0), 0);
    ASSERT_TRUE(gateway_->WaitConnections(1));
    session_->m_iState = NEG_STATE_IDLE;
  }
  size_t Received() const { return gateway_->Connections()[0].received.size(); }
  // Starts the thread and waits until it sleeps on its timer.
  void StartHeartBeat() {
    heartBeat_.Start(&*session_);
    ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
  }
  // Moves the clock to the next heart-beat and waits until the gateway has it.
  void NextHeartBeat(int64_t advanceMs) {
    const size_t before = Received();
    clock_.Advance(advanceMs);
    ASSERT_TRUE(Eventually([&] { return Received() == before + 1; }));
  }

  vqtest::TempRoot root_;
  RecordingGuiReports reports_;
  ChannelContext ctx_;
  platform::FakeClock clock_;
  PostRecorder posts_;
  std::optional<vqgw::TlsGateway> gateway_;
  std::optional<CChannelSession> session_;
  ChannelKeepAliveThread heartBeat_{ctx_, posts_.Callback(), clock_};
};

TEST_F(ChannelKeepAliveTest, AnsweredHeartBeatsKeepItRunningOnTheirSchedule) {
  std::vector<Action> script;
  for (int i = 0; i < 3; ++i)
    for (const Action& a : vqgw::AnswerNext(vqgw::HeartBeatReply())) script.push_back(a);
  Connect(std::move(script));
  StartHeartBeat();

  clock_.Advance(kSslKeepAliveFirstMs - 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(Received(), 0u);
  NextHeartBeat(1);
  for (int i = 1; i < 3; ++i) {
    // Answered: the thread sleeps again, and nothing goes out before the period.
    ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
    EXPECT_EQ(session_->m_iState, NEG_STATE_IDLE);
    clock_.Advance(kSslKeepAlivePeriodMs - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Received(), static_cast<size_t>(i));
    NextHeartBeat(1);
  }
  ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
  EXPECT_TRUE(heartBeat_.Running());
  EXPECT_TRUE(posts_.Posts().empty());

  // The stop ends the loop even while the state still reads 4.
  heartBeat_.Stop();
  EXPECT_FALSE(heartBeat_.Running());
  EXPECT_FALSE(ctx_.heartBeatStop.IsSet());
  EXPECT_TRUE(posts_.Posts().empty());
  EXPECT_NE(vqtest::ReadLogText().find("Starting ChannelKeepAliveThread..."), std::string::npos);
}

TEST_F(ChannelKeepAliveTest, AFailedHeartBeatIsPostedWithItsCodeAndEndsTheLoop) {
  const struct {
    const char* name;
    std::vector<Action> script;
    uint32_t code;
    const char* logLine;
  } cases[] = {
      {"silence", vqgw::SilentNext(), VQ_ERR_HEARTBEAT_TIMEOUT, "Get SSL heart-beat response time out"},
      {"error answer", vqgw::AnswerNext(vqgw::HeartBeatReply(0)), VQ_ERR_HEARTBEAT_FAILED, nullptr},
      {"connection closed", {Action::Read(1), Action::Close(true)}, VQ_ERR_SSL_CLOSED, "SSL connection closed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Connect(c.script);
    StartHeartBeat();
    NextHeartBeat(kSslKeepAliveFirstMs);
    ASSERT_TRUE(Eventually([&] { return !heartBeat_.Running(); }));
    const auto posts = posts_.Posts();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].first, WM_CHANNEL_ERROR);
    EXPECT_EQ(posts[0].second, c.code);
    if (c.logLine != nullptr) {
      EXPECT_NE(vqtest::ReadLogText().find(c.logLine), std::string::npos);
    }
    // Ended by itself: no further heart-beat however long the time.
    clock_.Advance(10 * kSslKeepAlivePeriodMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Received(), 1u);
    heartBeat_.Stop();
    session_->CloseChannel();
    posts_.Clear();
  }
}

TEST_F(ChannelKeepAliveTest, StopWhileAnAnswerIsDelayedJoinsPromptlyAndPostsNothing) {
  // The answer would come long after the stop, well within the wait limit;
  // a connection that drops under a close is no channel error either.
  const struct {
    const char* name;
    std::vector<Action> script;
  } cases[] = {
      {"delayed answer", {Action::Read(1), Action::Stall(4000), Action::Send(vqgw::HeartBeatReply())}},
      {"dropped during the close", {Action::Read(1), Action::Stall(200), Action::Close(false)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ctx_.channelState = CHANNEL_STATE_CONNECTED;
    Connect(c.script, 10000);
    StartHeartBeat();
    NextHeartBeat(kSslKeepAliveFirstMs);
    // The close: the state leaves 4 first, then the thread is stopped and
    // joined before the connection goes.
    const auto start = std::chrono::steady_clock::now();
    ctx_.channelState = CHANNEL_STATE_CLOSING;
    heartBeat_.Stop();
    EXPECT_LT(vqtest::MsSince(start), 2500);
    EXPECT_FALSE(heartBeat_.Running());
    session_->CloseChannel();
    EXPECT_TRUE(posts_.Posts().empty());
  }
}

TEST_F(ChannelKeepAliveTest, NoSessionOrAChannelNotConnectedEndsAtOnceWithoutAHeartBeat) {
  heartBeat_.Start(nullptr);
  EXPECT_TRUE(Eventually([&] { return !heartBeat_.Running(); }));

  Connect(vqgw::AnswerNext(vqgw::HeartBeatReply()));
  ctx_.channelState = CHANNEL_STATE_RECONNECTING;
  heartBeat_.Start(&*session_);
  EXPECT_TRUE(Eventually([&] { return !heartBeat_.Running(); }));
  clock_.Advance(kSslKeepAlivePeriodMs);
  heartBeat_.Stop();
  session_->CloseChannel();
  ASSERT_TRUE(gateway_->WaitFinished(0));
  EXPECT_TRUE(gateway_->Connections()[0].received.empty());
  EXPECT_TRUE(posts_.Posts().empty());
}

}  // namespace
}  // namespace brindleway
