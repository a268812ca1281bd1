// The host check while the channel is up: the cycle on the fake clock
// (period, silence while the result stays the same, the report on a
// connection of its own when it changes), the on-demand run a keep-alive's
// digest starts, and the stop that ends both at once.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Brindleway/common/constants.h"
#include "Brindleway/datapath/tunnel_packets.h"
#include "Brindleway/hostcheck/host_check_fixture.h"
#include "Brindleway/hostcheck/host_check_setup.h"
#include "common/eventually.h"
#include "gateway/udp_data_plane.h"
#include "platform/sync/clock.h"

namespace brindleway {
namespace {

using vqgw::Bytes;
using vqgw::HostCheckPlay;
using vqtest::Eventually;

constexpr uint32_t kSessionId = 0x0A0B0C0D;

class HostCheckCycleTest : public HostCheckFixture {
 protected:
  void SetUp() override {
    HostCheckFixture::SetUp();
    control_.m_dwSessionId = kSessionId;
  }
  void MakeCheck(platform::Clock* clock = nullptr) {
    check_ = std::make_unique<CSecurityCheck>(Env(clock));
    check_->SetCheckLink(&control_);
  }
  // Passes done: the script ran `runs` times and the cycle sleeps again.
  bool PassesDone(int runs) { return Eventually([&] { return Runs() == runs && clock_.Sleepers() == 1; }); }
  size_t Connections() { return gateway_->Connections().size(); }

  platform::FakeClock clock_;
  CChannelSession control_;
};

TEST_F(HostCheckCycleTest, TheCycleReportsOnlyAChangedResultOnAConnectionOfItsOwn) {
  HostCheckPlay play(PlayOptions({}));
  StartGateway(play);
  MakeCheck(&clock_);
  Plant(File(Script("result first\n")));
  check_->SetCheckCycle(2);
  ASSERT_EQ(check_->StartHostCheckCycle(), 0);
  ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));

  // A cycle of 2 minutes runs every 5 minutes.
  clock_.Advance(5 * 60000 - 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Runs(), 0);
  clock_.Advance(1);
  ASSERT_TRUE(PassesDone(1));
  ASSERT_TRUE(gateway_->WaitConnections(1));
  ASSERT_TRUE(gateway_->WaitFinished(0));
  std::vector<vqgw::HostCheckExchange> exchanges = play.Exchanges();
  ASSERT_EQ(exchanges.size(), 1u);
  EXPECT_EQ(exchanges[0].answerType, vqgw::kMsgHostCheckLink);
  EXPECT_EQ(exchanges[0].answerPayloads, (std::vector<uint16_t>{51, 112}));
  EXPECT_EQ(exchanges[0].sessionId, kSessionId);
  EXPECT_EQ(exchanges[0].same, 1u);
  EXPECT_EQ(std::string(exchanges[0].result.begin(), exchanges[0].result.end()), "first\n");
  EXPECT_TRUE(exchanges[0].verdictSent);

  // The same result again: no traffic at all.
  clock_.Advance(5 * 60000);
  ASSERT_TRUE(PassesDone(2));
  EXPECT_EQ(Connections(), 1u);

  // Changed results of several lengths, each in pieces of at most 512 bytes.
  const struct {
    size_t length;
    std::vector<size_t> pieces;
  } cases[] = {{0, {0}}, {512, {512}}, {513, {512, 1}}, {1025, {512, 512, 1}}};
  int runs = 2;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    Plant(File(Script("result-bytes " + std::to_string(c.length) + "\n")));
    clock_.Advance(5 * 60000);
    ASSERT_TRUE(PassesDone(++runs));
    ASSERT_TRUE(gateway_->WaitFinished(Connections() - 1));
    exchanges = play.Exchanges();
    ASSERT_EQ(exchanges.size(), Connections());
    const vqgw::HostCheckExchange& e = exchanges.back();
    EXPECT_EQ(e.answerPayloads, (std::vector<uint16_t>{51, 112}));
    EXPECT_EQ(e.resultTotal, c.length);
    EXPECT_EQ(e.resultPieces, c.pieces);
    EXPECT_EQ(e.result, Bytes(c.length, 'r'));
  }
  EXPECT_EQ(Connections(), 5u);
  EXPECT_EQ(check_->StopHostCheckCycle(), 0);
}

TEST_F(HostCheckCycleTest, AChangeTheGatewayCouldNotBeToldIsToldAtTheNextPass) {
  MakeCheck(&clock_);
  Plant(File(Script("result changed\n")));
  check_->SetCheckCycle(5);
  ASSERT_EQ(check_->StartHostCheckCycle(), 0);
  ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
  // No gateway to reach: the pass ends without a report.
  clock_.Advance(5 * 60000);
  ASSERT_TRUE(PassesDone(1));

  HostCheckPlay play(PlayOptions({}));
  StartGateway(play);
  clock_.Advance(5 * 60000);
  ASSERT_TRUE(PassesDone(2));
  ASSERT_TRUE(gateway_->WaitFinished(0));
  const std::vector<vqgw::HostCheckExchange> exchanges = play.Exchanges();
  ASSERT_EQ(exchanges.size(), 1u);
  EXPECT_EQ(std::string(exchanges[0].result.begin(), exchanges[0].result.end()), "changed\n");
}

TEST_F(HostCheckCycleTest, ARunThatFailsReportsNothing) {
  HostCheckPlay play(PlayOptions({}));
  StartGateway(play);
  MakeCheck(&clock_);
  // A different, partial result, but the script failed: nothing is told.
  Plant(File(Script("result partial\nexit 3\n")));
  check_->SetCheckCycle(5);
  ASSERT_EQ(check_->StartHostCheckCycle(), 0);
  ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
  clock_.Advance(5 * 60000);
  ASSERT_TRUE(PassesDone(1));
  EXPECT_EQ(Connections(), 0u);

  // The next run that succeeds is reported.
  Plant(File(Script("result whole\n")));
  clock_.Advance(5 * 60000);
  ASSERT_TRUE(PassesDone(2));
  ASSERT_TRUE(gateway_->WaitConnections(1));
  ASSERT_TRUE(gateway_->WaitFinished(0));
  const std::vector<vqgw::HostCheckExchange> exchanges = play.Exchanges();
  ASSERT_EQ(exchanges.size(), 1u);
  EXPECT_EQ(std::string(exchanges[0].result.begin(), exchanges[0].result.end()), "whole\n");
  EXPECT_EQ(check_->StopHostCheckCycle(), 0);
}

TEST_F(HostCheckCycleTest, TheCycleStartsOnlyWithACycleAndOnce) {
  MakeCheck(&clock_);
  EXPECT_EQ(check_->StartHostCheckCycle(), -1);
  check_->SetCheckCycle(10);
  EXPECT_EQ(check_->StartHostCheckCycle(), 0);
  EXPECT_EQ(check_->StartHostCheckCycle(), 0);
  ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(clock_.Sleepers(), 1);
  EXPECT_EQ(check_->StopHostCheckCycle(), 0);
  EXPECT_EQ(clock_.Sleepers(), 0);
  // Stopped, it can start again.
  EXPECT_EQ(check_->StartHostCheckCycle(), 0);
  ASSERT_TRUE(Eventually([&] { return clock_.Sleepers() == 1; }));
}

TEST_F(HostCheckCycleTest, AKeepAliveWithANewDigestFetchesAndRunsTheScriptOnce) {
  ProtocolVersionScope version(0x21);
  const std::string script = Script("result fresh\n");
  const Bytes file = File(script);
  vqgw::HostCheckPlayOptions options = PlayOptions(file, 0, 200);
  options.version = 0x21;
  HostCheckPlay play(options);
  StartGateway(play);
  MakeCheck();
  Plant(File(Script("result old\n")));

  // The gateway's keep-alive, through the data path's classifier, up to the
  // channel thread's one-shot check.
  SessionParts parts;
  DataPathContext ctx;
  AttachHostCheck(parts, *check_, [&ctx] { return std::optional<Md5Digest>(ctx.hostCheckDigest.Get()); });
  int posted = 0;
  ctx.post = [&](uint32_t message, uint32_t) {
    if (message != WM_CHANNEL_HOST_CHECK) return;
    ++posted;
    parts.hostCheckOnce();
  };
  const std::vector<uint8_t> keepAlive = vqgateway::GatewayKeepAlive(0x21, vqgw::Md5(file));
  ASSERT_EQ(classify_tunnel_packet(keepAlive.data(), keepAlive.size(), ctx), 1);
  ASSERT_EQ(posted, 1);

  ASSERT_TRUE(gateway_->WaitConnections(1));
  ASSERT_TRUE(gateway_->WaitFinished(0));
  ASSERT_TRUE(Eventually([&] { return !play.Exchanges().empty() && play.Exchanges()[0].verdictSent; }));
  const vqgw::HostCheckExchange e = play.Exchanges()[0];
  EXPECT_EQ(e.answerType, vqgw::kMsgHostCheckLink);
  EXPECT_EQ(e.answerPayloads, (std::vector<uint16_t>{51, 112}));
  EXPECT_EQ(e.sessionId, kSessionId);
  EXPECT_EQ(e.same, 0u);
  EXPECT_EQ(e.stored, 1u);
  EXPECT_EQ(std::string(e.result.begin(), e.result.end()), "fresh\n");
  const std::string stored = vqtest::ReadFileBytes(At(kScriptDataFile));
  EXPECT_EQ(vqgw::Md5(Bytes(stored.begin(), stored.end())), vqgw::Md5(file));

  // The same digest again starts nothing.
  ASSERT_EQ(classify_tunnel_packet(keepAlive.data(), keepAlive.size(), ctx), 1);
  EXPECT_EQ(check_->StopHostCheckCycle(), 0);
  EXPECT_EQ(Connections(), 1u);
  EXPECT_EQ(Runs(), 1);
}

TEST_F(HostCheckCycleTest, StopEndsARunningCheckAndItsScriptAtOnce) {
  HostCheckPlay play(PlayOptions({}));
  StartGateway(play);
  MakeCheck();
  const Bytes file = File(Script("sleep 60000\nresult late\n"));
  Plant(file);
  const Md5Digest digest = vqgw::Md5(file);
  ASSERT_EQ(check_->OnHostCheckDigest(digest.data(), 1), 0);
  ASSERT_TRUE(Eventually([&] { return Runs() == 1; }));

  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(check_->StopHostCheckCycle(), 0);
  EXPECT_LT(vqtest::MsSince(started), 5000);
  EXPECT_EQ(check_->CheckState(), CHECK_STATE_IDLE);
  // The killed script never reported.
  ASSERT_EQ(play.Exchanges().size(), 1u);
  EXPECT_FALSE(play.Exchanges()[0].verdictSent);
  EXPECT_EQ(vqtest::ReadFileBytes(At(kCheckResultFile)), "");
  EXPECT_EQ(check_->OnHostCheckDigest(nullptr, 1), -1);
}

}  // namespace
}  // namespace brindleway
