// The tunnel keep-alive on a fake clock: the timers are stepped expiry by
// expiry, so minutes of silence take no time. Version 1 gateways get only
// the heart-beat byte; version 2 gateways get keep-alives every 30 s, every
// 2 s from the tick after the first one at or past 30 s of silence, error
// 52 once more than 60 s pass after that switch, and 30 s again as soon as
// anything arrives. The thread itself sends through the real socket to the
// test gateway, whose own decryption shows the keep-alive's size.
#include "Brindleway/datapath/tun_keepalive.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "data_path_fixture.h"

namespace brindleway {
namespace {

using dptest::PostRecorder;
using Mode = TunKeepAliveTimers::Mode;

class KeepAliveTimersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    ctx_.clock = &clock_;
    ctx_.post = posts_.Callback();
    ctx_.lastTrafficMs = clock_.NowMs();
    timers_ = std::make_unique<TunKeepAliveTimers>(
        ctx_, TunKeepAliveSenders{[this] { heartBeats_.push_back(clock_.NowMs()); },
                                  [this] { keepAlives_.push_back(clock_.NowMs()); }});
    ASSERT_EQ(timers_->Start(), 0);
  }
  // Every expiry up to atMs is handled at its own time.
  void RunUntil(int64_t atMs) {
    while (timers_->NextDueMs() <= atMs) {
      clock_.Advance(timers_->NextDueMs() - clock_.NowMs());
      timers_->ServiceDue();
    }
    clock_.Advance(atMs - clock_.NowMs());
  }
  std::vector<int64_t> KeepAlivesBetween(int64_t from, int64_t to) const {
    std::vector<int64_t> out;
    for (int64_t t : keepAlives_)
      if (t >= from && t <= to) out.push_back(t);
    return out;
  }

  vqtest::TempRoot root_;
  platform::FakeClock clock_;
  DataPathContext ctx_;
  PostRecorder posts_;
  std::vector<int64_t> heartBeats_;
  std::vector<int64_t> keepAlives_;
  std::unique_ptr<TunKeepAliveTimers> timers_;
};

TEST_F(KeepAliveTimersTest, Version1SendsOnlyTheHeartBeatByte) {
  ProtocolVersionScope version(0x10);
  RunUntil(200000);
  ASSERT_EQ(heartBeats_.size(), 40u);
  for (size_t i = 0; i < heartBeats_.size(); ++i) EXPECT_EQ(heartBeats_[i], 1000 + 5000 * static_cast<int64_t>(i));
  EXPECT_TRUE(keepAlives_.empty());
  EXPECT_EQ(timers_->CurrentMode(), Mode::Slow);
  EXPECT_TRUE(posts_.Posts().empty());
}

TEST_F(KeepAliveTimersTest, Version2SilenceGoesFastThenTimesOut) {
  ProtocolVersionScope version(0x20);
  RunUntil(30999);
  EXPECT_EQ(timers_->CurrentMode(), Mode::Slow);
  EXPECT_EQ(keepAlives_, (std::vector<int64_t>{1000}));
  RunUntil(31000);  // the first tick at or past 30 s of silence
  EXPECT_EQ(timers_->CurrentMode(), Mode::FastPending);
  RunUntil(36000);  // the next tick switches
  EXPECT_EQ(timers_->CurrentMode(), Mode::FastSwitched);
  EXPECT_EQ(ctx_.lastTrafficMs.load(), 36000);
  RunUntil(46000);
  EXPECT_EQ(KeepAlivesBetween(31000, 46000), (std::vector<int64_t>{31000, 36100, 38100, 40100, 42100, 44100}));
  // Silence is counted from the switch: 60 s later is not yet more than 60 s.
  RunUntil(96000);
  EXPECT_TRUE(posts_.Posts().empty());
  RunUntil(106000);
  EXPECT_EQ(posts_.Posts(), (std::vector<std::pair<uint32_t, uint32_t>>{{WM_CHANNEL_ERROR, VQ_ERR_KEEPALIVE_TIMEOUT},
                                                                        {WM_CHANNEL_ERROR, VQ_ERR_KEEPALIVE_TIMEOUT}}));
  EXPECT_EQ(heartBeats_.size(), 22u);  // the byte goes on every 5 s throughout
}

TEST_F(KeepAliveTimersTest, AnythingArrivingInFastModeReturnsTo30Seconds) {
  ProtocolVersionScope version(0x20);
  RunUntil(40000);
  ASSERT_EQ(timers_->CurrentMode(), Mode::FastSwitched);
  ctx_.lastTrafficMs = 40500;  // a packet from the gateway
  RunUntil(41000);
  EXPECT_EQ(timers_->CurrentMode(), Mode::Slow);
  RunUntil(71100);
  EXPECT_EQ(KeepAlivesBetween(41000, 71100), (std::vector<int64_t>{41100, 71100}));
  EXPECT_TRUE(posts_.Posts().empty());
}

TEST_F(KeepAliveTimersTest, SteadyTrafficKeepsThe30SecondPace) {
  ProtocolVersionScope version(0x22);
  for (int64_t t = 10000; t <= 300000; t += 10000) {
    RunUntil(t);
    ctx_.lastTrafficMs = t;
  }
  EXPECT_EQ(timers_->CurrentMode(), Mode::Slow);
  EXPECT_EQ(keepAlives_.size(), 10u);
  EXPECT_TRUE(posts_.Posts().empty());
}

TEST_F(KeepAliveTimersTest, ChannelTimeoutIsStrictlyMoreThan60Seconds) {
  ctx_.lastTrafficMs = clock_.NowMs();
  clock_.Advance(60000);
  EXPECT_FALSE(is_channel_timeout(ctx_));
  clock_.Advance(1);
  EXPECT_TRUE(is_channel_timeout(ctx_));
}

class KeepAliveThreadTest : public dptest::DataPathFixture {
 protected:
  void TearDown() override {
    thread_.Stop();
    DataPathFixture::TearDown();
  }
  platform::FakeClock clock_;
  platform::Event stop_{platform::Event::Reset::Manual};
  TunKeepAliveThread thread_{stop_};
};

TEST_F(KeepAliveThreadTest, SendsHeartBeatAndKeepAliveOfTheVersionsSizeThenStops) {
  const struct {
    uint8_t version;
    size_t size;
  } cases[] = {{0x20, 32}, {0x21, 44}, {0x30, 44}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    ProtocolVersionScope version(c.version);
    vqgateway::UdpDataPlaneOptions options;
    options.answerKeepAlives = false;
    StartGateway(options);
    ctx_.clock = &clock_;
    ctx_.lastTrafficMs = clock_.NowMs();
    thread_.Start(ctx_);
    ASSERT_TRUE(vqtest::Eventually([&] { return clock_.Sleepers() == 1; }));
    clock_.Advance(1000);
    ASSERT_TRUE(vqtest::Eventually([&] {
      const auto stats = gateway_->Stats();
      return stats.heartBeats == 1 && stats.keepAlives == 1;
    }));
    const auto received = gateway_->Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].bytes.size(), c.size);
    thread_.Stop();
    EXPECT_EQ(thread_.ExitCode(), VQ_TUN_KEEPALIVE_STOPPED);
    EXPECT_FALSE(stop_.IsSet());
    EXPECT_TRUE(posts_.Posts().empty());
  }
}

}  // namespace
}  // namespace brindleway
