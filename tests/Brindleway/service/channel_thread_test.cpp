// The channel thread against a fake channel session and a fake clock:
// which timers run after each message, what is reported, and how a running
// set-up is refused, cancelled and joined.
#include "Brindleway/service/channel_thread.h"
#include "common/eventually.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/recording_gui_reports.h"
#include "common/temp_root.h"
#include "support/log.h"

namespace brindleway {
namespace {

using namespace std::chrono_literals;

using vqtest::Eventually;

struct SetupCall {
  conn_info info;
  uint32_t reconnect;
  uint32_t rekey;
};

class FakeSession : public ChannelOps {
 public:
  explicit FakeSession(ChannelContext& ctx) : ctx_(ctx) {}

  // Results handed out one per set-up; `fallback` when the script is empty.
  void Script(std::deque<int> results, int fallback = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    results_ = std::move(results);
    fallback_ = fallback;
  }
  // Set-ups block until cancelled or Unblock().
  void Block(bool block) {
    std::lock_guard<std::mutex> lock(mutex_);
    block_ = block;
    cv_.notify_all();
  }

  int SetupChannel(const conn_info& info, uint32_t reconnect, uint32_t rekey,
                   const platform::Event& cancel) override {
    int result;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      calls_.push_back({info, reconnect, rekey});
      cv_.notify_all();
      while (block_ && !cancel.IsSet()) cv_.wait_for(lock, 1ms);
      if (cancel.IsSet()) {
        result = -1;
        ++cancelled_;
      } else if (!results_.empty()) {
        result = results_.front();
        results_.pop_front();
      } else {
        result = fallback_;
      }
      if (result == VQ_ERR_SMS_AUTH_NEEDED) ctx_.smsNeeded = VQ_ERR_SMS_AUTH_NEEDED;
    }
    if (result == 0) {
      ctx_.channelState = CHANNEL_STATE_CONNECTED;
    } else if (rekey == 0 && closer) {
      closer();  // a failed set-up closes the channel itself
    } else if (closer) {
      closer();
    }
    return result;
  }
  int CloseChannelSequence() override {
    ++closes;
    return 0;
  }
  void RemoveAgingPeer() override { ++agingRemoved; }
  void StartHostCheckOnce() override { ++hostChecks; }
  void StopHostCheckCycle() override {}
  int SendChangePassword(const change_pwd_info& info) override {
    lastPasswordUser = info.user;
    return passwordResult;
  }
  void SendSmsAuthCodeToServer(const std::string& code) override { smsCodes.push_back(code); }
  void ReqSmsAuthCode() override {
    ++smsRequests;
    // Lets a test keep the channel thread busy inside a handler.
    while (holdSmsRequest) std::this_thread::sleep_for(1ms);
  }
  ChannelStatus QueryStatus() override { return {}; }

  std::vector<SetupCall> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  size_t CallCount() { return Calls().size(); }
  int Cancelled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
  }

  std::function<int()> closer;
  std::atomic<int> closes{0};
  std::atomic<int> agingRemoved{0};
  std::atomic<int> hostChecks{0};
  std::atomic<int> smsRequests{0};
  std::atomic<int> passwordResult{0};
  std::atomic<bool> holdSmsRequest{false};
  std::string lastPasswordUser;
  std::vector<std::string> smsCodes;

 private:
  ChannelContext& ctx_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<SetupCall> calls_;
  std::deque<int> results_;
  int fallback_ = 0;
  bool block_ = false;
  int cancelled_ = 0;
};

using FakeGui = RecordingGuiReports;

conn_info Record(uint32_t authType, uint32_t init = 0, const std::string& host = "gw.example") {
  conn_info info;
  info.host = host;
  info.port = 443;
  info.auth_type = authType;
  info.init = init;
  info.user = "alice";
  return info;
}

class ChannelThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    g_btProtocolVersion = 0x10;
    ASSERT_EQ(ctx_.semaphore.Create("Global\\SemaphoreChannelThreadTest"), 0u);
    session_.closer = [this] { return thread_.CloseTunnelChannel(); };
    thread_.Start();
  }
  void TearDown() override {
    session_.Block(false);
    thread_.RequestExit();
    thread_.Join();
    g_btProtocolVersion = 0;
  }

  // Waits until every set-up has ended and what it posted was handled.
  ChannelThread::TimerView Settle() {
    EXPECT_TRUE(Eventually([&] { return !thread_.Inspect().workerRunning; }));
    return thread_.Inspect();
  }

  // An accepted, successful first open.
  void OpenOk(const conn_info& info) {
    session_.Script({0});
    const size_t before = session_.CallCount();
    thread_.Post(WM_CHANNEL_OPEN, 0, info);
    ASSERT_TRUE(Eventually([&] { return session_.CallCount() == before + 1; }));
    ASSERT_TRUE(Settle().opened);
  }

  // A first open whose set-up has started and blocks until released.
  void OpenBlocked(const conn_info& info) {
    session_.Block(true);
    thread_.Post(WM_CHANNEL_OPEN, 0, info);
    ASSERT_TRUE(Eventually([&] { return session_.CallCount() == 1; }));
  }

  // Advances to one millisecond before `periodMs` and proves that nothing
  // fired: no reopen started, no set-up, no aging removal.
  void NothingFiresBefore(int64_t periodMs) {
    const size_t calls = session_.CallCount();
    const int aged = session_.agingRemoved;
    clock_.Advance(periodMs - 1);
    const auto view = thread_.Inspect();
    EXPECT_FALSE(view.workerRunning);
    EXPECT_EQ(clock_.Sleepers(), 0);
    EXPECT_EQ(session_.CallCount(), calls);
    EXPECT_EQ(session_.agingRemoved, aged);
  }

  // One reconnect tick: the due reconnect timer fires, the reopen worker
  // pauses 1000 ms, its set-up returns `result`.
  void ReopenCycle(int64_t advanceMs, int result) {
    thread_.Inspect();  // what was posted before is in place
    session_.Script({result}, result);
    const size_t before = session_.CallCount();
    clock_.Advance(advanceMs);
    ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
    clock_.Advance(kReopenPauseMs);
    ASSERT_TRUE(Eventually([&] { return session_.CallCount() == before + 1; }));
    Settle();
  }

  vqtest::TempRoot root_;
  platform::FakeClock clock_;
  ChannelContext ctx_;
  FakeSession session_{ctx_};
  FakeGui gui_;
  ChannelThread thread_{ctx_, session_, gui_, clock_};
};

TEST_F(ChannelThreadTest, OpenArmsTheRekeyTimerOnlyForVersionTwoGateways) {
  for (uint8_t version : {uint8_t{0x10}, uint8_t{0x1F}, uint8_t{0x20}, uint8_t{0x31}}) {
    SCOPED_TRACE(version);
    g_btProtocolVersion = version;
    OpenOk(Record(AUTH_TYPE_PASSWORD));
    EXPECT_EQ(thread_.Inspect().rekeyRunning, version >= 0x20);
    EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_CONNECTED);
    thread_.Post(WM_CHANNEL_CLOSE);
    const auto view = thread_.Inspect();
    EXPECT_FALSE(view.rekeyRunning);
    EXPECT_FALSE(view.opened);
    EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_IDLE);
  }
  // Each open took the semaphore and each close gave it back.
  EXPECT_TRUE(ctx_.semaphore.TryAcquire());
  EXPECT_EQ(ctx_.semaphore.Release(), 0u);
}

TEST_F(ChannelThreadTest, ChannelErrorsStartOrWithholdReconnecting) {
  struct Case {
    uint32_t code;
    uint32_t authType;
    uint32_t reconnectPeriod;
    std::vector<uint32_t> reported;
  };
  const Case cases[] = {
      {52, AUTH_TYPE_PASSWORD, kReconnectFirstPeriodMs, {}},
      {51, AUTH_TYPE_PASSWORD, kReconnectFirstPeriodMs, {}},
      {4015, AUTH_TYPE_COOKIE, kReconnectFirstPeriodMs, {}},
      {52, AUTH_TYPE_USB_KEY_ONLY, kReconnectFirstPeriodMs, {}},
      {51, AUTH_TYPE_USB_KEY_ONLY, 0, {}},
      {79, AUTH_TYPE_PASSWORD, 0, {79}},
      {80, AUTH_TYPE_PASSWORD, 0, {80}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "code " << c.code << " auth " << c.authType);
    OpenOk(Record(c.authType, CONN_FLAG_NEW_SERVER_CERT));
    const size_t reportsBefore = gui_.Events().size();
    const int closesBefore = session_.closes;
    thread_.Post(WM_CHANNEL_ERROR, c.code);
    const auto view = thread_.Inspect();
    EXPECT_EQ(view.reconnectPeriodMs, c.reconnectPeriod);
    EXPECT_FALSE(view.rekeyRunning);
    EXPECT_EQ(session_.closes, closesBefore + 1);
    const auto events = gui_.Events();
    EXPECT_EQ(std::vector<uint32_t>(events.begin() + static_cast<long>(reportsBefore), events.end()), c.reported);
    if (c.reconnectPeriod != 0) {
      EXPECT_EQ(ctx_.connInfo.Get().init & CONN_FLAG_NEW_SERVER_CERT, 0u);
    }
    thread_.Post(WM_CHANNEL_CLOSE);
    EXPECT_EQ(thread_.Inspect().reconnectPeriodMs, 0u);
  }
}

TEST_F(ChannelThreadTest, ReconnectWaitsFiveSecondsThenRetriesEveryMinute) {
  OpenOk(Record(AUTH_TYPE_PASSWORD));
  thread_.Post(WM_CHANNEL_ERROR, 52);
  ASSERT_EQ(thread_.Inspect().reconnectPeriodMs, kReconnectFirstPeriodMs);

  NothingFiresBefore(kReconnectFirstPeriodMs);
  ReopenCycle(1, 7);
  auto calls = session_.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].reconnect, 1u);
  EXPECT_EQ(calls[1].rekey, 0u);
  auto view = thread_.Inspect();
  EXPECT_EQ(view.reconnectCount, 1u);
  EXPECT_EQ(view.reconnectPeriodMs, kReconnectRetryPeriodMs);

  NothingFiresBefore(kReconnectRetryPeriodMs);
  ReopenCycle(1, 7);
  EXPECT_EQ(thread_.Inspect().reconnectCount, 2u);
  // The failed reopens gave the semaphore back.
  EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_IDLE);
}

TEST_F(ChannelThreadTest, ReopenResultsThatEndReconnecting) {
  struct Case {
    const char* name;
    int result;
    uint8_t version;
    bool rekeyAfter;
  };
  const Case cases[] = {
      {"success v1", 0, 0x10, false},
      {"success v2", 0, 0x20, true},
      {"session expired", static_cast<int>(VQ_ERR_SESSION_EXPIRED), 0x10, false},
      {"sms needed", static_cast<int>(VQ_ERR_SMS_AUTH_NEEDED), 0x10, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_btProtocolVersion = c.version;
    OpenOk(Record(AUTH_TYPE_PASSWORD));
    thread_.Post(WM_CHANNEL_ERROR, 52);
    ReopenCycle(kReconnectFirstPeriodMs, c.result);
    const auto view = thread_.Inspect();
    EXPECT_EQ(view.reconnectPeriodMs, 0u);
    EXPECT_EQ(view.reconnectCount, 0u);
    EXPECT_EQ(view.rekeyRunning, c.rekeyAfter);
    thread_.Post(WM_CHANNEL_CLOSE);
    thread_.Inspect();
    ctx_.smsNeeded = 0;
  }
}

TEST_F(ChannelThreadTest, UsbKeyOnlyLoginGivesUpOnTheTenthTickUnlessAutoLogon) {
  for (bool autoLogon : {false, true}) {
    SCOPED_TRACE(autoLogon ? "auto logon" : "no auto logon");
    OpenOk(Record(AUTH_TYPE_USB_KEY_ONLY));
    ctx_.connInfo.Update([&](conn_info& info) {
      if (autoLogon) info.init |= CONN_FLAG_AUTO_LOGON;
    });
    thread_.Post(WM_CHANNEL_ERROR, 52);
    ReopenCycle(kReconnectFirstPeriodMs, 7);
    for (uint32_t tick = 2; tick <= 9; ++tick) ReopenCycle(kReconnectRetryPeriodMs, 7);
    ASSERT_EQ(thread_.Inspect().reconnectCount, 9u);

    const size_t calls = session_.CallCount();
    if (autoLogon) {
      ReopenCycle(kReconnectRetryPeriodMs, 7);
      EXPECT_EQ(session_.CallCount(), calls + 1);
      EXPECT_EQ(thread_.Inspect().reconnectPeriodMs, kReconnectRetryPeriodMs);
    } else {
      clock_.Advance(kReconnectRetryPeriodMs);
      const auto view = thread_.Inspect();
      EXPECT_EQ(view.reconnectPeriodMs, 0u);
      EXPECT_EQ(view.reconnectCount, 0u);
      clock_.Advance(kReconnectRetryPeriodMs * 2);
      Settle();
      EXPECT_EQ(session_.CallCount(), calls);
    }
    thread_.Post(WM_CHANNEL_CLOSE);
    thread_.Inspect();
  }
}

TEST_F(ChannelThreadTest, RekeyAgesThePreviousKeyOnceAndFailureReconnects) {
  g_btProtocolVersion = 0x20;
  OpenOk(Record(AUTH_TYPE_PASSWORD, CONN_FLAG_NEW_SERVER_CERT));
  session_.Script({0});
  NothingFiresBefore(kRekeyPeriodMs);
  clock_.Advance(1);
  ASSERT_TRUE(Eventually([&] { return session_.CallCount() == 2; }));
  auto view = thread_.Inspect();
  EXPECT_EQ(session_.Calls()[1].rekey, 1u);
  EXPECT_EQ(session_.Calls()[1].reconnect, 1u);
  EXPECT_EQ(session_.Calls()[1].info.init & CONN_FLAG_NEW_SERVER_CERT, 0u);
  EXPECT_TRUE(view.agingRunning);
  EXPECT_TRUE(view.rekeyRunning);

  NothingFiresBefore(kAgingPeriodMs);
  clock_.Advance(1);
  EXPECT_FALSE(thread_.Inspect().agingRunning);
  EXPECT_EQ(session_.agingRemoved, 1);
  clock_.Advance(kAgingPeriodMs * 3);
  thread_.Inspect();
  EXPECT_EQ(session_.agingRemoved, 1);

  // The next rekey fails: the channel closes and reconnecting starts.
  session_.Script({9});
  clock_.Advance(kRekeyPeriodMs - kAgingPeriodMs * 4);
  ASSERT_TRUE(Eventually([&] { return session_.CallCount() == 3; }));
  view = thread_.Inspect();
  EXPECT_FALSE(view.rekeyRunning);
  EXPECT_EQ(view.reconnectPeriodMs, kReconnectFirstPeriodMs);
  EXPECT_TRUE(gui_.Events().empty());
}

TEST_F(ChannelThreadTest, RekeyWhileNotConnectedRaises4015) {
  thread_.Post(WM_CHANNEL_REKEY);
  const auto view = thread_.Inspect();
  EXPECT_EQ(view.reconnectPeriodMs, kReconnectFirstPeriodMs);
  EXPECT_EQ(session_.CallCount(), 0u);
}

TEST_F(ChannelThreadTest, SecondOpenDuringSetupIsRefusedOnceAndLeavesTheRecord) {
  ASSERT_NO_FATAL_FAILURE(OpenBlocked(Record(AUTH_TYPE_PASSWORD, 0, "first.example")));
  thread_.Post(WM_CHANNEL_OPEN, 0, Record(AUTH_TYPE_USB_KEY_ONLY, 0, "second.example"));
  thread_.Inspect();
  EXPECT_EQ(gui_.Events(), std::vector<uint32_t>{VQ_ERR_CHANNEL_BUSY});
  EXPECT_EQ(ctx_.connInfo.Get().host, "first.example");
  EXPECT_EQ(session_.CallCount(), 1u);
  // The refused USB-key-only record did not become the channel's own:
  // error 51 still reconnects a password login.
  session_.Block(false);
  ASSERT_TRUE(Settle().opened);
  thread_.Post(WM_CHANNEL_ERROR, 51);
  EXPECT_EQ(thread_.Inspect().reconnectPeriodMs, kReconnectFirstPeriodMs);
}

TEST_F(ChannelThreadTest, CloseDuringABlockedSetupCancelsAndJoinsIt) {
  ASSERT_NO_FATAL_FAILURE(OpenBlocked(Record(AUTH_TYPE_PASSWORD)));
  // A close cancels the blocked set-up and joins it.
  const auto start = std::chrono::steady_clock::now();
  thread_.Post(WM_CHANNEL_CLOSE);
  const auto view = thread_.Inspect();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(view.workerRunning);
  EXPECT_EQ(session_.Cancelled(), 1);
  EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_IDLE);
  EXPECT_TRUE(gui_.Events().empty());
}

TEST_F(ChannelThreadTest, ALateSuccessAfterACloseDoesNotReviveTheChannel) {
  g_btProtocolVersion = 0x20;
  // The open succeeds, but its "opened" message is still queued behind the
  // user's close when the close is handled.
  session_.Script({0});
  ASSERT_NO_FATAL_FAILURE(OpenBlocked(Record(AUTH_TYPE_PASSWORD)));
  session_.holdSmsRequest = true;
  thread_.Post(WM_CHANNEL_SMS_AUTH_REQ);  // keeps the channel thread busy
  ASSERT_TRUE(Eventually([&] { return session_.smsRequests == 1; }));
  thread_.Post(WM_CHANNEL_CLOSE);
  session_.Block(false);  // the set-up succeeds now and posts "opened"
  ASSERT_TRUE(Eventually([&] { return ctx_.channelState == CHANNEL_STATE_CONNECTED; }));
  std::this_thread::sleep_for(20ms);
  session_.holdSmsRequest = false;
  const auto view = Settle();
  EXPECT_EQ(session_.Cancelled(), 0);
  EXPECT_FALSE(view.opened);
  EXPECT_FALSE(view.rekeyRunning);
  EXPECT_EQ(view.reconnectPeriodMs, 0u);
  clock_.Advance(kRekeyPeriodMs * 2);
  EXPECT_EQ(thread_.Inspect().reconnectPeriodMs, 0u);
  EXPECT_EQ(session_.CallCount(), 1u);
}

TEST_F(ChannelThreadTest, ErrorDuringAReopenCancelsItAndKeepsTheFiveSecondRetry) {
  OpenOk(Record(AUTH_TYPE_PASSWORD));
  thread_.Post(WM_CHANNEL_ERROR, 52);
  ReopenCycle(kReconnectFirstPeriodMs, 7);  // count 1, retry every minute
  session_.Block(true);
  thread_.Inspect();
  clock_.Advance(kReconnectRetryPeriodMs);
  ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
  clock_.Advance(kReopenPauseMs);
  ASSERT_TRUE(Eventually([&] { return session_.CallCount() == 3; }));
  // The set-up blocks; a keep-alive error arrives meanwhile.
  thread_.Post(WM_CHANNEL_ERROR, 52);
  auto view = Settle();
  EXPECT_EQ(session_.Cancelled(), 1);
  EXPECT_EQ(view.reconnectPeriodMs, kReconnectFirstPeriodMs);
  // The cancelled reopen's late failure did not stretch the retry to a minute.
  session_.Block(false);
  ReopenCycle(kReconnectFirstPeriodMs, 0);
  EXPECT_EQ(session_.CallCount(), 4u);
  // The semaphore was given back at each close and is held by the open channel.
  EXPECT_FALSE(ctx_.semaphore.TryAcquire());
}

TEST_F(ChannelThreadTest, CloseDuringTheReopenPauseGivesTheChannelBack) {
  OpenOk(Record(AUTH_TYPE_PASSWORD));
  thread_.Post(WM_CHANNEL_ERROR, 52);
  thread_.Inspect();
  clock_.Advance(kReconnectFirstPeriodMs);
  ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
  EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_RECONNECTING);
  thread_.Post(WM_CHANNEL_CLOSE);
  const auto view = Settle();
  EXPECT_EQ(session_.CallCount(), 1u);  // the pause ended before any set-up
  EXPECT_EQ(view.reconnectPeriodMs, 0u);
  EXPECT_EQ(ctx_.channelState.load(), CHANNEL_STATE_IDLE);
  EXPECT_TRUE(ctx_.semaphore.TryAcquire());
  EXPECT_EQ(ctx_.semaphore.Release(), 0u);
}

TEST_F(ChannelThreadTest, OpenWhileAChannelIsUpIsRefusedWith106) {
  OpenOk(Record(AUTH_TYPE_PASSWORD, 0, "first.example"));
  thread_.Post(WM_CHANNEL_OPEN, 0, Record(AUTH_TYPE_USB_KEY_ONLY, 0, "second.example"));
  ASSERT_TRUE(Eventually([&] { return gui_.Events().size() == 1; }));
  Settle();
  EXPECT_EQ(gui_.Events()[0], VQ_ERR_CHANNEL_BUSY);
  EXPECT_EQ(session_.CallCount(), 1u);
  EXPECT_EQ(ctx_.connInfo.Get().host, "first.example");
  // The channel's own record still drives the reconnect rules: 51 reconnects.
  thread_.Post(WM_CHANNEL_ERROR, 51);
  EXPECT_EQ(thread_.Inspect().reconnectPeriodMs, kReconnectFirstPeriodMs);
}

TEST_F(ChannelThreadTest, ExitDuringABlockedSetupEndsTheThread) {
  ASSERT_NO_FATAL_FAILURE(OpenBlocked(Record(AUTH_TYPE_PASSWORD)));
  const auto start = std::chrono::steady_clock::now();
  thread_.RequestExit();
  thread_.Join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(thread_.Post(WM_CHANNEL_CLOSE));
}

TEST_F(ChannelThreadTest, QuitAndUnusedMessagesDoNotEndTheLoop) {
  thread_.Post(platform::WM_QUIT);
  thread_.Post(WM_CHANNEL_UNUSED);
  OpenOk(Record(AUTH_TYPE_PASSWORD));
}

TEST_F(ChannelThreadTest, ReopenAfterCloseIsIgnored) {
  OpenOk(Record(AUTH_TYPE_PASSWORD));
  thread_.Post(WM_CHANNEL_CLOSE);
  thread_.Post(WM_CHANNEL_REOPEN);
  EXPECT_FALSE(Settle().workerRunning);
  EXPECT_EQ(session_.CallCount(), 1u);
}

TEST_F(ChannelThreadTest, PasswordSmsAndHostCheckRequestsReachTheSession) {
  change_pwd_info pwd{"alice", "old", "new"};
  session_.passwordResult = 0;
  thread_.Post(WM_CHANNEL_NEW_PASSWORD, 0, pwd);
  thread_.Inspect();
  session_.passwordResult = 14;
  thread_.Post(WM_CHANNEL_NEW_PASSWORD, 0, pwd);
  thread_.Post(WM_CHANNEL_SMS_AUTH, 0, std::string("123456"));
  thread_.Post(WM_CHANNEL_SMS_AUTH_REQ);
  thread_.Post(WM_CHANNEL_HOST_CHECK);
  thread_.Inspect();
  EXPECT_EQ(gui_.PasswordResults(), (std::vector<uint32_t>{VQ_EVT_PASSWORD_CHANGED, 14}));
  EXPECT_EQ(session_.lastPasswordUser, "alice");
  EXPECT_EQ(session_.smsCodes, std::vector<std::string>{"123456"});
  EXPECT_EQ(session_.smsRequests, 1);
  EXPECT_EQ(session_.hostChecks, 1);
}

TEST_F(ChannelThreadTest, AChangedPasswordIsTheOneTheReconnectLogsInWith) {
  const struct {
    const char* name;
    int result;
    uint32_t authType;
    const char* user;
    const char* loginSecret;
  } cases[] = {
      {"changed", 0, AUTH_TYPE_PASSWORD, "alice", "new"},
      {"refused", 14, AUTH_TYPE_PASSWORD, "alice", "old"},
      // A cookie is no password, and another user's change is not ours.
      {"cookie login", 0, AUTH_TYPE_COOKIE, "alice", "old"},
      {"other user", 0, AUTH_TYPE_PASSWORD, "bob", "old"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    conn_info record = Record(c.authType);
    record.secret1 = "old";
    OpenOk(record);
    session_.passwordResult = c.result;
    thread_.Post(WM_CHANNEL_NEW_PASSWORD, 0, change_pwd_info{c.user, "old", "new"});
    thread_.Post(WM_CHANNEL_ERROR, 52);
    ReopenCycle(kReconnectFirstPeriodMs, 0);
    const auto calls = session_.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.back().reconnect, 1u);
    EXPECT_EQ(calls.back().info.secret1, c.loginSecret);
    thread_.Post(WM_CHANNEL_CLOSE);
    Settle();
  }
}

}  // namespace
}  // namespace brindleway
