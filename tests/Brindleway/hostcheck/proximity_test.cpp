// Proximity detection against UDP echo responders on loopback addresses,
// each answering after its own delay, or never. Round limits are shortened
// so a detection takes about a second; the measurement itself is real.
#include "Brindleway/hostcheck/proximity.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/control/message_dispatch.h"
#include "Brindleway/fixed_network.h"
#include "Brindleway/protocol_version_scope.h"
#include "Brindleway/recording_gui_reports.h"
#include "common/eventually.h"
#include "gateway/gateway_codec.h"
#include "gateway/scripted_replies.h"
#include "gateway/udp_echo.h"
#include "support/wire.h"

namespace brindleway {
namespace {

using vqgateway::UdpEchoOptions;
using vqgateway::UdpEchoResponder;
using vqtest::Eventually;

constexpr ProximityTiming kFast{.roundLimitMs = 200, .receiveWaitMs = 50};

// Real time seen from a machine that has been up for offset milliseconds.
class UptimeClock final : public platform::Clock {
 public:
  explicit UptimeClock(int64_t offsetMs) : offsetMs_(offsetMs) {}
  int64_t NowMs() const override { return platform::SystemClock().NowMs() + offsetMs_; }
  void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int64_t deadlineMs) override {
    platform::SystemClock().WaitUntil(lock, cv, deadlineMs - offsetMs_);
  }
  bool SleepFor(int64_t ms, const platform::Event* cancel) override {
    return platform::SystemClock().SleepFor(ms, cancel);
  }
  void AddWaker(platform::ClockWaker*) override {}
  void RemoveWaker(platform::ClockWaker*) override {}

 private:
  int64_t offsetMs_;
};

struct Gateway {
  std::string address;
  int delayMs = 0;
  bool silent = false;
  std::optional<std::string> replyFrom{};
};

class ProximityTest : public ::testing::Test {
 protected:
  // One responder per gateway; the list in the given order. TCP port 443+i.
  std::vector<PreferredGateway> StartGateways(const std::vector<Gateway>& gateways) {
    std::vector<PreferredGateway> list;
    for (size_t i = 0; i < gateways.size(); ++i) {
      const Gateway& g = gateways[i];
      responders_.push_back(std::make_unique<UdpEchoResponder>(UdpEchoOptions{
          .address = g.address, .delayMs = g.delayMs, .silent = g.silent, .replyFrom = g.replyFrom}));
      list.push_back(Entry(g.address, static_cast<uint32_t>(443 + i), responders_.back()->Port()));
    }
    return list;
  }

  static PreferredGateway Entry(const std::string& address, uint32_t tcpPort, uint32_t udpPort) {
    PreferredGateway e{};
    const uint32_t ip = inet_addr(address.c_str());
    std::memcpy(e.data(), &ip, 4);
    wire::PutU32BE(e.data() + 4, tcpPort);
    wire::PutU32BE(e.data() + 8, udpPort);
    return e;
  }

  static std::vector<std::string> Order(const CProximityList& list) {
    std::vector<std::string> order;
    PreferredGateway e{};
    for (size_t i = 0; list.GetAt(i, e) == 0; ++i) {
      in_addr a{};
      std::memcpy(&a.s_addr, e.data(), 4);
      order.emplace_back(inet_ntoa(a));
    }
    return order;
  }

  static bool Detect(CProximityList& list, const std::vector<PreferredGateway>& entries) {
    return list.SetList(entries) && list.StartDetection() && Eventually([&] { return list.IsIdle(); });
  }

  std::vector<std::unique_ptr<UdpEchoResponder>> responders_;
};

TEST_F(ProximityTest, GatewaysSortFromFastestToSlowest) {
  const auto entries = StartGateways({{"127.0.0.11", 40}, {"127.0.0.12", 10}, {"127.0.0.13", 25}});
  CProximityList list(platform::SystemClock(), kFast);
  ASSERT_TRUE(Detect(list, entries));
  EXPECT_EQ(Order(list), (std::vector<std::string>{"127.0.0.12", "127.0.0.13", "127.0.0.11"}));

  // Five rounds, each one 22-byte probe to every gateway's UDP port.
  const std::vector<uint8_t> probe(kProximityProbe, kProximityProbe + sizeof kProximityProbe);
  ASSERT_EQ(probe.size(), 22u);
  for (const auto& responder : responders_) {
    EXPECT_EQ(responder->Received(), std::vector<std::vector<uint8_t>>(5, probe));
  }

  // The set-up gets the sorted addresses with their TCP ports as stored.
  const std::vector<ProximityEntry> handed = list.HandOver(entries);
  ASSERT_EQ(handed.size(), 3u);
  EXPECT_EQ(handed[0].address, inet_addr("127.0.0.12"));
  EXPECT_EQ(std::memcmp(&handed[0].port, entries[1].data() + 4, 4), 0);
  EXPECT_EQ(handed[2].address, inet_addr("127.0.0.11"));
  // A list that was never detected is handed over as received.
  const std::vector<PreferredGateway> other{entries[0], entries[2]};
  const std::vector<ProximityEntry> asReceived = list.HandOver(other);
  ASSERT_EQ(asReceived.size(), 2u);
  EXPECT_EQ(asReceived[0].address, inet_addr("127.0.0.11"));
  EXPECT_EQ(asReceived[1].address, inet_addr("127.0.0.13"));
}

// Silent gateways get the same fixed time-out in every round: they sort
// after every answering one and keep their list order, whatever the uptime.
TEST_F(ProximityTest, SilentGatewaysSortLastInListOrderAtAnyUptime) {
  const auto entries = StartGateways({{"127.0.0.21", 0, true},
                                      {"127.0.0.22", 30},
                                      {"127.0.0.23", 0, true},
                                      {"127.0.0.24", 5}});
  for (int64_t uptime : {int64_t{0}, int64_t{1} << 31, (int64_t{1} << 32) - 300}) {
    SCOPED_TRACE(uptime);
    UptimeClock clock(uptime);
    CProximityList list(clock, kFast);
    ASSERT_TRUE(Detect(list, entries));
    EXPECT_EQ(Order(list), (std::vector<std::string>{"127.0.0.24", "127.0.0.22", "127.0.0.21", "127.0.0.23"}));
  }
}

TEST_F(ProximityTest, AnEchoFromAnAddressNotInTheListIsIgnored) {
  // The first gateway answers at once, but from another address.
  const auto entries = StartGateways({{"127.0.0.31", 0, false, "127.0.0.32"}, {"127.0.0.33", 20}});
  CProximityList list(platform::SystemClock(), kFast);
  ASSERT_TRUE(Detect(list, entries));
  EXPECT_EQ(Order(list), (std::vector<std::string>{"127.0.0.33", "127.0.0.31"}));
  EXPECT_EQ(responders_[0]->Received().size(), 5u);
}

TEST_F(ProximityTest, TheListCannotChangeWhileDetectionRuns) {
  const auto entries = StartGateways({{"127.0.0.41", 0, true}});
  CProximityList list(platform::SystemClock(), kFast);
  PreferredGateway e{};
  EXPECT_EQ(list.GetAt(0, e), 1);
  ASSERT_TRUE(list.SetList(entries));
  EXPECT_EQ(list.GetAt(1, e), 2);
  ASSERT_TRUE(list.StartDetection());
  EXPECT_FALSE(list.IsIdle());

  const PreferredGateway other = Entry("127.0.0.42", 443, 4500);
  EXPECT_FALSE(list.SetList({other}));
  EXPECT_FALSE(list.Add(inet_addr("127.0.0.42"), 0, 0));
  EXPECT_FALSE(list.Clear());
  EXPECT_FALSE(list.StartDetection());
  EXPECT_EQ(Order(list), std::vector<std::string>{"127.0.0.41"});

  ASSERT_TRUE(Eventually([&] { return list.IsIdle(); }));
  EXPECT_TRUE(list.SetList({other}));
  EXPECT_EQ(Order(list), std::vector<std::string>{"127.0.0.42"});
}

TEST_F(ProximityTest, StopEndsADetectionAtOnce) {
  // Real round limits: a silent gateway would keep the thread for 30 s.
  const auto entries = StartGateways({{"127.0.0.51", 0, true}, {"127.0.0.52", 0, true}});
  for (bool byDestructor : {false, true}) {
    auto list = std::make_unique<CProximityList>();
    ASSERT_TRUE(list->SetList(entries));
    ASSERT_TRUE(list->StartDetection());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    if (byDestructor) {
      list.reset();
    } else {
      list->Stop();
      EXPECT_TRUE(list->IsIdle());
      EXPECT_EQ(Order(*list), (std::vector<std::string>{"127.0.0.51", "127.0.0.52"}));
    }
    EXPECT_LT(vqtest::MsSince(start), 500);
  }
}

// The gateway's client-information answer with proximity starts the
// detection over the list it brought; the set-up then gets that list sorted.
TEST_F(ProximityTest, AClientInfoAnswerWithProximityLeadsToASortedHandOver) {
  std::vector<vqgw::PreferredGateway> offered;
  for (const Gateway& g : std::vector<Gateway>{{"127.0.0.61", 30}, {"127.0.0.62", 5}}) {
    responders_.push_back(std::make_unique<UdpEchoResponder>(UdpEchoOptions{.address = g.address, .delayMs = g.delayMs}));
    vqgw::PreferredGateway p;
    inet_pton(AF_INET, g.address.c_str(), p.address.data());
    p.tcpPort = 8443;
    p.udpPort = responders_.back()->Port();
    offered.push_back(p);
  }
  ProtocolVersionScope version(0x10);
  RecordingGuiReports gui;
  ConnInfoSlot connInfo;
  std::atomic<uint32_t> channelState{CHANNEL_STATE_CONNECTING};
  FixedNetwork network;
  CChannelSession session(gui);
  CProximityList proximity(platform::SystemClock(), kFast);
  DispatchEnv env;
  env.reports = &gui;
  env.connInfo = &connInfo;
  env.channelState = &channelState;
  env.network = network.View();
  env.startProximity = [&] {
    if (proximity.SetList(session.m_preferredGateways)) proximity.StartDetection();
  };
  MessageDispatch dispatch(session, std::move(env));

  const vqgw::Bytes reply = vqgw::ClientInfoReply({.preferredGateways = offered, .proximity = true});
  session.m_dwResponseFlags |= CChannelSession::kResponseAwaited;
  session.m_wExpectedResponse = vqgw::kMsgClientInfo;
  ASSERT_EQ(dispatch.ProcessReceivedMessage(reply.data(), reply.size()), 0);
  EXPECT_FALSE(proximity.IsIdle());
  ASSERT_TRUE(Eventually([&] { return proximity.IsIdle(); }));

  const std::vector<ProximityEntry> handed = proximity.HandOver(session.m_preferredGateways);
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[0].address, inet_addr("127.0.0.62"));
  EXPECT_EQ(handed[1].address, inet_addr("127.0.0.61"));
  // As stored: the big-endian TCP port's bytes.
  const uint8_t* port = reinterpret_cast<const uint8_t*>(&handed[0].port);
  EXPECT_EQ(wire::GetU32BE(port), 8443u);
}

}  // namespace
}  // namespace brindleway
