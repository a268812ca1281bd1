// The preferred-gateway switch in-process: the client under the headless
// host with its own list and switch thread, the tunnel service played by a
// pipe server that records the opens, reports sent with the service's own
// senders, and the saved connection in a store below a fresh root.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Brindleway/common/gui_reports.h"
#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client/app/preferred_gateways.h"
#include "client/store/process_store.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "connect_fixture.h"
#include "support/conn_info_codec.h"
#include "support/report_pipe.h"
#include "support/wire.h"

namespace {

using namespace vqtest;
using Bytes = std::vector<uint8_t>;

constexpr char kStart[] = "127.0.0.1";
constexpr char kB[] = "10.0.0.2";
constexpr char kC[] = "10.0.0.3";
constexpr char kUser[] = "demo";

uint32_t Address(const std::string& dotted) {
  in_addr a{};
  EXPECT_EQ(::inet_pton(AF_INET, dotted.c_str(), &a), 1) << dotted;
  return a.s_addr;
}

// One preferred-gateway report as the channel set-up sends it: address and
// port as stored (network order) in 260 bytes; nothing given: the end mark.
Bytes PreferReport(const std::string& dotted = "", uint32_t port = 443) {
  Bytes data(brindleway::kPreferServerSize, 0);
  if (!dotted.empty()) {
    const uint32_t address = Address(dotted);
    const uint32_t wirePort = htonl(port);
    std::memcpy(&data[0], &address, 4);
    std::memcpy(&data[4], &wirePort, 4);
  }
  return data;
}

Bytes Offer(const std::string& dotted, uint32_t port = 443) {
  Bytes reply;
  const Bytes data = PreferReport(dotted, port);
  EXPECT_EQ(brindleway::SendPreferServerToGui(data.data(), data.size(), &reply), 0);
  return reply;
}

Bytes Taken() {
  Bytes r{6, 1, 0, 0, 0, 0};
  wire::PutU32(&r[2], 1);
  return r;
}

client::user_info Saved(const std::string& host, const std::string& detect) {
  client::user_info r;
  r.NAME = kUser;
  r.HOST = host;
  r.PORT = "443";
  r.ALIASID = std::string(kUser) + "@" + host + ":443";
  r.LOGINMODE = "0";
  r.REMPASSWORD = "0";
  r.REMPINWORD = "0";
  r.PROXDETECT = detect;
  return r;
}

class PreferredGateways : public ::testing::Test {
 protected:
  PreferredGateways()
      : run_({}, 1033, [this](client::ClientHooks& h) {
          // The build's own list and switch; the pending profile recorded.
          UseOwnPreferredSwitch(h);
          h.replacePendingProfile = [this](client::ClientApp&, const client::user_info& p) {
            run_.log.Add("pending:" + p.ALIASID + " name " + p.NAME);
          };
        }) {}

  void SetUp() override {
    run_.Start();
    service_ = std::make_unique<FakePipeServer>(client::kBrindlewayPipeName, [](const Bytes& r) {
      return std::optional<Bytes>(Bytes{r[0], 0, 0, 0, 0});
    });
    ASSERT_EQ(client::LoadXmlConfig(client::g_xmlConfig), 0);
    run_.SetConn(kStart, 443, kUser, "pw");
  }

  // The saved connection the login used, made the current one.
  void SaveStart(const std::string& detect, const std::vector<std::string>& stored = {},
                 const std::string& host = kStart) {
    client::CXmlConfig& store = client::g_xmlConfig;
    const client::user_info start = Saved(host, detect);
    ASSERT_TRUE(store.AddUser(start));
    ASSERT_TRUE(store.AddListEntry(start));
    ASSERT_TRUE(store.SetCurrentUser(start.ALIASID));
    ASSERT_TRUE(store.CopyToCurrentUser(start));
    if (!stored.empty()) {
      ASSERT_EQ(store.SetProxServers(stored), 0);
    }
  }

  std::vector<std::string> Stored() {
    const auto current = client::g_xmlConfig.GetCurrentUser();
    return current ? current->PROXSERVER : std::vector<std::string>{"(no current connection)"};
  }

  // The hosts of the opens the service got, in order.
  std::vector<std::string> Opens() {
    std::vector<std::string> hosts;
    for (const Bytes& m : service_->Messages()) {
      if (m.empty() || m[0] != VQ_OPEN_CHANNEL) continue;
      conn_info c;
      EXPECT_TRUE(DecodeConnInfo(m.data() + 1, m.size() - 1, c));
      hosts.push_back(c.host + ":" + std::to_string(c.port));
    }
    return hosts;
  }

  // Runs the UI thread and the connects (their sleeps on the fake clock)
  // until done() holds.
  template <typename Pred>
  bool RunUntil(Pred done) {
    return Eventually([&] {
      run_.host.RunUntilIdle();
      if (run_.clock.Sleepers() > 0) run_.clock.Advance(1000);
      return done();
    });
  }
  bool WaitOpens(size_t n) {
    return RunUntil([&] { return Opens().size() >= n; });
  }

  // One event, one-way as the service sends it; handled once the answer to
  // a report behind it came (the dispatcher takes them in order).
  void Event(uint32_t code) {
    ASSERT_EQ(brindleway::NotifyGuiEvent(code), 0);
    Handled();
  }
  // Every report sent before is handled: a report type without meaning
  // answered.
  void Handled() {
    Bytes reply;
    ASSERT_EQ(brindleway::TransactGuiPipe({9}, reply, 16, brindleway::kGuiReplyTimeoutMs), 0u);
    ASSERT_EQ(reply, Bytes{9});
    run_.host.RunUntilIdle();
  }

  client::ReportState& State() { return run_.app.Reports(); }
  client::PreferredGateways& Preferred() { return run_.app.Preferred(); }

  bool ThreadEnds() {
    return RunUntil([&] { return !Preferred().ThreadRunning(); });
  }

  ConnectRun run_;
  std::unique_ptr<FakePipeServer> service_;
};

TEST_F(PreferredGateways, SwitchTriesEachGatewayThenGoesBackToTheStart) {
  SaveStart("1");
  EXPECT_EQ(Offer(kB), Taken());
  EXPECT_EQ(Offer(kC), Taken());
  Offer("");
  EXPECT_EQ(Stored(), (std::vector<std::string>{"10.0.0.2:443", "10.0.0.3:443"}));
  ASSERT_TRUE(Eventually([&] { return Preferred().ThreadRunning(); }));

  // The set-up that brought the list still runs: nothing is opened yet.
  run_.host.RunUntilIdle();
  EXPECT_TRUE(Opens().empty());
  Event(107);
  ASSERT_TRUE(WaitOpens(1));
  EXPECT_EQ(Opens(), (std::vector<std::string>{"10.0.0.2:443"}));
  EXPECT_EQ(run_.log.With("pending:"), (std::vector<std::string>{"demo@10.0.0.2:443 name demo"}));

  Event(1012);
  ASSERT_TRUE(WaitOpens(2));
  EXPECT_EQ(Opens().back(), "10.0.0.3:443");
  Event(1012);
  ASSERT_TRUE(WaitOpens(3));
  EXPECT_EQ(Opens().back(), "127.0.0.1:443");
  EXPECT_EQ(run_.log.With("pending:").back(), "demo@127.0.0.1:443 name demo");
  EXPECT_EQ(run_.app.Conn().host, kStart);
  ASSERT_TRUE(ThreadEnds());
  EXPECT_TRUE(State().proxSwitchDone);
  EXPECT_FALSE(State().processProxIp);
  // Neither failure was shown: the switch owned them.
  EXPECT_TRUE(run_.BoxTexts().empty());

  // Done: the service is told so, and further lists are not taken.
  brindleway::PipeGuiReports reports;
  EXPECT_TRUE(reports.IsGuiProcessingProx());
  EXPECT_EQ(Offer(kB), Bytes{6});
  EXPECT_EQ(Offer(""), Bytes{6});
  run_.host.RunUntilIdle();
  EXPECT_EQ(Opens().size(), 3u);
  EXPECT_NE(ReadLogText().find("ProcessProxIP,Use new IP Connected success!"), std::string::npos);

  // Connect starts clean.
  run_.app.Window()->OnCommand(client::ID_CONNECT);
  EXPECT_FALSE(reports.IsGuiProcessingProx());

  const std::string log = ReadLogText();
  EXPECT_NE(log.find(" begin PreferIPThread "), std::string::npos);
  EXPECT_NE(log.find("szTempAlias = demo@10.0.0.2:443"), std::string::npos);
  EXPECT_NE(log.find("Receive Prefer server ip reconnect!"), std::string::npos);
  EXPECT_NE(log.find(" End PreferIPThread "), std::string::npos);
}

TEST_F(PreferredGateways, ConnectedOnAPreferredGatewayEndsTheSwitch) {
  SaveStart("1");
  Offer(kB);
  Offer("");
  Event(107);
  ASSERT_TRUE(WaitOpens(1));
  Event(13);
  ASSERT_TRUE(ThreadEnds());
  EXPECT_TRUE(State().proxSwitchDone);
  EXPECT_FALSE(State().processProxIp);
  EXPECT_EQ(run_.log.Count("save"), 1);
  EXPECT_EQ(Opens(), (std::vector<std::string>{"10.0.0.2:443"}));
}

TEST_F(PreferredGateways, AReconnectWithout107StartsOnceThePollShowsIdle) {
  SaveStart("1");
  run_.app.SetChannelStatus(client::kStatusReconnecting);
  Offer(kB);
  Offer("");
  ASSERT_TRUE(Eventually([&] { return Preferred().ThreadRunning(); }));
  // Still reconnecting, however long.
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(Eventually([&] { return run_.clock.Waiters() > 0; }));
    run_.clock.Advance(1000);
  }
  run_.host.RunUntilIdle();
  EXPECT_TRUE(Opens().empty());
  run_.app.SetChannelStatus(client::kStatusDisconnected);
  ASSERT_TRUE(RunUntil([&] {
    if (run_.clock.Waiters() > 0 && Opens().empty()) run_.clock.Advance(1000);
    return Opens().size() == 1;
  }));
  EXPECT_EQ(Opens(), (std::vector<std::string>{"10.0.0.2:443"}));
}

TEST_F(PreferredGateways, BestGatewayInUseIsStoredWithoutSwitch) {
  // The gateway given by name: compared by its address.
  SaveStart("1", {}, "localhost");
  run_.SetConn("localhost", 443, kUser, "pw");
  EXPECT_EQ(Offer(kStart), Bytes{6});
  EXPECT_EQ(Offer(kB), Taken());
  Offer("");
  EXPECT_EQ(Stored(), (std::vector<std::string>{"127.0.0.1:443", "10.0.0.2:443"}));
  run_.host.RunUntilIdle();
  EXPECT_FALSE(Preferred().ThreadRunning());
  EXPECT_FALSE(State().processProxIp);
  EXPECT_TRUE(Opens().empty());
  // A later error tries the stored list, past the gateway that failed.
  Event(1012);
  ASSERT_TRUE(WaitOpens(1));
  EXPECT_EQ(Opens(), (std::vector<std::string>{"10.0.0.2:443"}));
}

TEST_F(PreferredGateways, WithoutProximityDetectionNothingIsTaken) {
  for (const std::string detect : {"0", ""}) {
    SCOPED_TRACE("PROXDETECT \"" + detect + "\"");
    SaveStart(detect, {}, detect.empty() ? "127.0.0.2" : kStart);
    EXPECT_EQ(Offer(kB), Bytes{6});
    EXPECT_EQ(Offer(""), Bytes{6});
    run_.host.RunUntilIdle();
    EXPECT_TRUE(Stored().empty());
    EXPECT_FALSE(Preferred().ThreadRunning());
    EXPECT_FALSE(State().processProxIp);
    EXPECT_TRUE(Opens().empty());
  }
  EXPECT_EQ(ReadLogText().find(" begin PreferIPThread "), std::string::npos);
}

TEST_F(PreferredGateways, AddressesDuringASwitchAreIgnored) {
  SaveStart("1");
  Offer(kB);
  Offer("");
  // Not taken either: the service would end the running attempt for it.
  EXPECT_EQ(Offer(kC), Bytes{6});
  Offer("");
  EXPECT_EQ(Preferred().List(), (std::vector<client::PreferEntry>{{false, kB, "443"}}));
  EXPECT_EQ(Stored(), (std::vector<std::string>{"10.0.0.2:443"}));
  EXPECT_NE(ReadLogText().find("AddPreferServIPandPort---Not accepet new IP"), std::string::npos);
}

TEST_F(PreferredGateways, ForcedDisconnectWithoutPendingProfileSwitchesWithTheConnectionsUser) {
  SaveStart("1", {"10.0.0.2:443"});
  Event(13);  // connected; the pending profile (if any) is gone
  Event(80);
  ASSERT_TRUE(WaitOpens(1));
  EXPECT_EQ(Opens(), (std::vector<std::string>{"10.0.0.2:443"}));
  EXPECT_EQ(run_.log.With("pending:"), (std::vector<std::string>{"demo@10.0.0.2:443 name demo"}));
  EXPECT_TRUE(State().proxListTried);
  EXPECT_TRUE(run_.BoxTexts().empty());
}

TEST_F(PreferredGateways, StoredEntriesThatDoNotFitAreSkipped) {
  const std::string longAddress(60, '1');
  SaveStart("1", {"1.2.3.4", "1.2.3.4:0", "x:443", longAddress + ":443", "1.2.3.4:65536", "1.2.3.4:44x",
                  "10.0.0.3:8443"});
  EXPECT_TRUE(run_.app.Hooks().storedPreferListHasEntry(run_.app));
  EXPECT_EQ(Preferred().List(), (std::vector<client::PreferEntry>{{false, kC, "8443"}}));
  const std::string log = ReadLogText();
  for (const char* skipped : {"1.2.3.4 skipped", "1.2.3.4:0 skipped", "x:443 skipped", "1.2.3.4:65536 skipped",
                              "1.2.3.4:44x skipped"}) {
    EXPECT_NE(log.find(std::string("Preferred gateway ") + skipped), std::string::npos) << skipped;
  }
  // Nothing left to try is no list.
  ASSERT_EQ(client::g_xmlConfig.SetProxServers({"x:443"}), 0);
  EXPECT_FALSE(run_.app.Hooks().storedPreferListHasEntry(run_.app));
}

TEST_F(PreferredGateways, OfferedPortOutOfRangeIsSkipped) {
  SaveStart("1");
  Offer(kB, 0);
  Offer(kC, 70000);
  Offer("");
  run_.host.RunUntilIdle();
  EXPECT_TRUE(Preferred().List().empty());
  EXPECT_FALSE(Preferred().ThreadRunning());
  EXPECT_FALSE(State().processProxIp);
}

TEST_F(PreferredGateways, TwoErrorCyclesListTheStoredEntriesOnce) {
  SaveStart("1", {"10.0.0.2:443"});
  for (int cycle = 1; cycle <= 2; ++cycle) {
    SCOPED_TRACE(cycle);
    Event(1012);  // the start fails: the stored list
    ASSERT_TRUE(WaitOpens(2 * cycle - 1));
    EXPECT_EQ(Preferred().List(), (std::vector<client::PreferEntry>{{true, kB, "443"}}));
    Event(1012);  // B fails: back to the start
    ASSERT_TRUE(WaitOpens(2 * cycle));
    EXPECT_EQ(Opens().back(), "127.0.0.1:443");
    ASSERT_TRUE(ThreadEnds());
    Event(1012);  // the start fails again: the user sees it
    ASSERT_EQ(run_.BoxTexts().size(), static_cast<size_t>(cycle));
    EXPECT_FALSE(State().proxListTried);
  }
}

TEST_F(PreferredGateways, ConnectsEndingInTheClientMoveTheSwitchOn) {
  SaveStart("1", {"10.0.0.2:443", "10.0.0.3:443"});
  // Without a secret every StartConnect is refused.
  run_.SetConn(kStart, 443, kUser, "");
  Event(1012);
  ASSERT_TRUE(ThreadEnds());
  run_.host.RunUntilIdle();
  EXPECT_EQ(run_.log.With("pending:"), (std::vector<std::string>{"demo@10.0.0.2:443 name demo",
                                                                 "demo@10.0.0.3:443 name demo",
                                                                 "demo@127.0.0.1:443 name demo"}));
  EXPECT_EQ(run_.BoxTexts(), std::vector<std::string>(3, "Invalid parameters"));
  EXPECT_TRUE(State().proxSwitchDone);
  EXPECT_FALSE(State().processProxIp);
  EXPECT_TRUE(Opens().empty());
}

TEST_F(PreferredGateways, ConnectThreadGivingUpMovesTheSwitchOn) {
  SaveStart("1", {"10.0.0.2:443"});
  run_.services.SetState("winmgmt", platform::service::SERVICE_STOPPED);
  Event(1012);
  ASSERT_TRUE(RunUntil([&] {
    return !Preferred().ThreadRunning() && run_.app.Launcher().Running() == 0 &&
           run_.log.With("pending:").size() == 2;
  }));
  EXPECT_EQ(run_.log.With("pending:").back(), "demo@127.0.0.1:443 name demo");
  EXPECT_TRUE(State().proxSwitchDone);
}

TEST_F(PreferredGateways, DisconnectEndsTheSwitch) {
  SaveStart("1");
  Offer(kB);
  Offer(kC);
  Offer("");
  Event(107);
  ASSERT_TRUE(WaitOpens(1));
  // The attempt through C is on its way to the UI thread when the user
  // disconnects.
  ASSERT_EQ(brindleway::NotifyGuiEvent(1012), 0);
  ASSERT_TRUE(Eventually([&] {
    const auto list = Preferred().List();
    return list.size() == 2 && list[1].tried;
  }));
  run_.app.Window()->OnCommand(client::ID_DISCONNECT);
  ASSERT_TRUE(ThreadEnds());
  run_.host.RunUntilIdle();
  ASSERT_TRUE(run_.RunConnect());
  EXPECT_EQ(Opens(), (std::vector<std::string>{"10.0.0.2:443"}));
  EXPECT_FALSE(State().processProxIp);
  EXPECT_FALSE(State().proxSwitchDone);
  EXPECT_EQ(run_.app.Conn().host, kB);
  // The next list is taken again.
  EXPECT_EQ(Offer(kC), Taken());
}

// Lists, errors, 107 and 13 from two senders at once while the switch
// thread runs and the UI thread starts its connects (the thread checker's
// case); Disconnect then ends whatever runs.
TEST_F(PreferredGateways, ReportsAndTheSwitchThreadRunTogether) {
  SaveStart("1", {"10.0.0.2:443", "10.0.0.3:443"});
  std::atomic<int> running{2};
  std::thread lists([&] {
    for (int i = 0; i < 40; ++i) {
      Offer(kB);
      Offer(kC);
      Offer("");
    }
    --running;
  });
  std::thread events([&] {
    const uint32_t codes[] = {107, 1012, 1012, 13, 80};
    for (int i = 0; i < 100; ++i) brindleway::NotifyGuiEvent(codes[i % 5]);
    --running;
  });
  RunUntil([&] { return running == 0; });
  lists.join();
  events.join();
  Handled();
  run_.app.Window()->OnCommand(client::ID_DISCONNECT);
  ASSERT_TRUE(ThreadEnds());
  EXPECT_FALSE(State().processProxIp);
  for (const client::PreferEntry& entry : Preferred().List()) {
    EXPECT_TRUE(entry.address == kB || entry.address == kC) << entry.address;
  }
}

TEST_F(PreferredGateways, ExitJoinsAWaitingSwitchThread) {
  SaveStart("1");
  Offer(kB);
  Offer("");
  ASSERT_TRUE(Eventually([&] { return Preferred().ThreadRunning(); }));
  run_.app.Window()->OnCommand(client::ID_EXIT);
  EXPECT_FALSE(Preferred().ThreadRunning());
  EXPECT_NE(ReadLogText().find(" End PreferIPThread "), std::string::npos);
}

}  // namespace
