// StartConnect and the connect thread in-process: the record's checks, the
// wait for the services on the fake clock (301 tests, a stopped tunnel
// service started once), WMI, the gateway's name, a Disconnect during the
// wait, the web start's login mode, and the whole road through the real
// tunnel service installed under a fresh root.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client/app/client_constants.h"
#include "client/app/connect_launcher.h"
#include "client/app/connect_to_server.h"
#include "common/child_process.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "connect_fixture.h"
#include "platform/registry/registry.h"
#include "platform/service/registry_text.h"
#include "platform/service/virtual_adapter.h"
#include "platform/ui/win32_ui.h"
#include "platform/win32/win32_error.h"
#include "support/command_pipe.h"
#include "support/wire.h"

namespace {

using namespace vqtest;
using Bytes = FakePipeServer::Bytes;
namespace svc = platform::service;

// The tunnel service's command pipe: every open accepted.
std::unique_ptr<FakePipeServer> AcceptingService() {
  return std::make_unique<FakePipeServer>(client::kBrindlewayPipeName, [](const Bytes& r) {
    Bytes reply{r[0], 0, 0, 0, 0};
    return std::optional<Bytes>(reply);
  });
}

size_t Opens(FakePipeServer& service) {
  const auto messages = service.Messages();
  return std::count_if(messages.begin(), messages.end(),
                       [](const Bytes& m) { return !m.empty() && m[0] == VQ_OPEN_CHANNEL; });
}

class ClientConnect : public ::testing::Test {
 protected:
  void SetUp() override {
    run_.Start();
    service_ = AcceptingService();
  }
  // The menu as a connect leaves it while it runs.
  void MenuConnecting() {
    run_.Menu().SetGrayed(client::ID_CONNECT, true);
    run_.Menu().SetGrayed(client::ID_DISCONNECT, false);
  }
  bool ConnectEnabled() {
    return !run_.Menu().IsGrayed(client::ID_CONNECT) && run_.Menu().IsGrayed(client::ID_DISCONNECT);
  }

  ConnectRun run_;
  std::unique_ptr<FakePipeServer> service_;
};

TEST_F(ClientConnect, StartConnectChecksTheRecord) {
  struct Case {
    const char* what;
    std::string host;
    uint32_t port;
    std::string user;
    std::string secret;
    bool valid;
  };
  const Case cases[] = {
      {"no host", "", 443, "u", "c", false},     {"port 0", "127.0.0.1", 0, "u", "c", false},
      {"port 1", "127.0.0.1", 1, "u", "c", true}, {"port 65535", "127.0.0.1", 65535, "u", "c", true},
      {"port 65536", "127.0.0.1", 65536, "u", "c", false}, {"no user", "127.0.0.1", 443, "", "c", false},
      {"no secret", "127.0.0.1", 443, "u", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    run_.log.Clear();
    const size_t opens = Opens(*service_);
    const size_t boxes = run_.BoxTexts().size();
    run_.SetConn(c.host, c.port, c.user, c.secret);
    EXPECT_EQ(run_.app.Launcher().StartConnect(), c.valid ? 0 : -1);
    ASSERT_TRUE(run_.RunConnect());
    const auto shown = run_.BoxTexts();
    if (c.valid) {
      EXPECT_EQ(shown.size(), boxes);
      EXPECT_EQ(Opens(*service_), opens + 1);
      EXPECT_EQ(run_.log.Count("update:2"), 1);
    } else {
      ASSERT_EQ(shown.size(), boxes + 1);
      EXPECT_EQ(shown.back(), "Invalid parameters");
      EXPECT_EQ(Opens(*service_), opens);
      EXPECT_EQ(run_.log.Count("update:2"), 0);
      EXPECT_EQ(run_.log.Count("ended-in-client"), 1);
    }
  }
}

TEST_F(ClientConnect, AdapterServiceNeverRunsGivesUpAfter301Tests) {
  run_.services.SetState("vqsvc", svc::SERVICE_STOPPED);
  run_.SetConn("127.0.0.1", 443);
  MenuConnecting();
  ASSERT_EQ(run_.app.Launcher().StartConnect(), 0);
  ASSERT_TRUE(run_.RunConnect());
  EXPECT_EQ(run_.services.Queries("vqsvc"), 301);
  EXPECT_EQ(run_.services.Queries("Marrowlantern"), 0);
  EXPECT_GE(run_.clock.NowMs(), 301000);
  EXPECT_EQ(run_.app.Launcher().LastResult(), 1);
  EXPECT_EQ(run_.log.Count("idle"), 1);
  EXPECT_EQ(run_.log.Count("ended-in-client"), 1);
  EXPECT_TRUE(ConnectEnabled());
  EXPECT_TRUE(run_.BoxTexts().empty());
  EXPECT_EQ(Opens(*service_), 0u);
  const std::string log = ReadLogText();
  EXPECT_NE(log.find("vqsvc is Not Ready!"), std::string::npos);
  EXPECT_NE(log.find("Waiting ServiceDrive Ready...... "), std::string::npos);
}

TEST_F(ClientConnect, StoppedTunnelServiceIsStartedOnceAndReadyOnTheNextTest) {
  run_.services.SetState("Marrowlantern", svc::SERVICE_STOPPED);
  run_.SetConn("127.0.0.1", 443);
  ASSERT_EQ(run_.app.Launcher().StartConnect(), 0);
  ASSERT_TRUE(run_.RunConnect());
  EXPECT_EQ(run_.services.Starts("Marrowlantern"), 1);
  EXPECT_EQ(run_.services.Starts("vqsvc"), 0);
  EXPECT_EQ(run_.services.Queries("vqsvc"), 2);
  EXPECT_EQ(run_.app.Launcher().LastResult(), 0);
  EXPECT_EQ(Opens(*service_), 1u);
  const std::string log = ReadLogText();
  EXPECT_NE(log.find("Brindleway is Not Start,StartService !"), std::string::npos);
  EXPECT_NE(log.find("Brindleway is Ready!"), std::string::npos);
}

TEST_F(ClientConnect, TunnelServiceInAnotherStateIsWaitedFor) {
  run_.services.SetState("Marrowlantern", svc::SERVICE_START_PENDING);
  run_.SetConn("127.0.0.1", 443);
  ASSERT_EQ(run_.app.Launcher().StartConnect(), 0);
  // A few tests later it runs.
  ASSERT_TRUE(Eventually([&] {
    if (run_.clock.Sleepers() > 0) run_.clock.Advance(1000);
    return run_.services.Queries("Marrowlantern") >= 3;
  }));
  run_.services.SetState("Marrowlantern", svc::SERVICE_RUNNING);
  ASSERT_TRUE(run_.RunConnect());
  EXPECT_EQ(run_.services.Starts("Marrowlantern"), 0);
  EXPECT_EQ(Opens(*service_), 1u);
  EXPECT_NE(ReadLogText().find("Brindleway is Not Ready,ErroStatus =2!"), std::string::npos);
}

TEST_F(ClientConnect, WmiDownTwiceShowsItsBox) {
  run_.services.SetState("winmgmt", svc::SERVICE_STOPPED);
  run_.SetConn("127.0.0.1", 443);
  MenuConnecting();
  ASSERT_EQ(run_.app.Launcher().StartConnect(), 0);
  ASSERT_TRUE(run_.RunConnect());
  EXPECT_EQ(run_.services.Queries("winmgmt"), 2);
  EXPECT_GE(run_.clock.NowMs(), 2000);
  EXPECT_EQ(run_.BoxTexts(), std::vector<std::string>{"WMI service not runing ,please start WMI"});
  EXPECT_EQ(run_.log.Count("idle"), 1);
  EXPECT_EQ(run_.app.Launcher().LastResult(), 1);
  EXPECT_TRUE(ConnectEnabled());
  EXPECT_EQ(Opens(*service_), 0u);
}

TEST_F(ClientConnect, WmiBackOnTheSecondLookConnects) {
  run_.services.SetState("winmgmt", svc::SERVICE_STOPPED);
  run_.SetConn("127.0.0.1", 443);
  ASSERT_EQ(run_.app.Launcher().StartConnect(), 0);
  ASSERT_TRUE(Eventually([&] { return run_.clock.Sleepers() > 0; }));
  run_.services.SetState("winmgmt", svc::SERVICE_RUNNING);
  ASSERT_TRUE(run_.RunConnect());
  EXPECT_TRUE(run_.BoxTexts().empty());
  EXPECT_EQ(Opens(*service_), 1u);
}

// "winmgmt" answered by the service layer's own built-in services, in front
// of the fake that answers for the tunnel service.
TEST(ClientConnectWmi, TheBuiltInWmiServiceRuns) {
  FakeServices fakes;
  client::ClientApp::Settings settings;
  settings.connect.openManager = [&fakes](uint32_t& error) {
    return svc::MakeBuiltinServicesManager(fakes.Env().openManager(error), [] { return true; });
  };
  ConnectRun run(std::move(settings));
  run.Start();
  auto service = AcceptingService();
  run.SetConn("127.0.0.1", 443);
  ASSERT_EQ(run.app.Launcher().StartConnect(), 0);
  ASSERT_TRUE(run.RunConnect());
  EXPECT_EQ(fakes.Queries("winmgmt"), 0);
  EXPECT_TRUE(run.BoxTexts().empty());
  EXPECT_EQ(Opens(*service), 1u);
}

TEST(ClientConnectName, UnresolvableNameShowsBox94AndDottedAddressNeedsNoLookup) {
  HookLog lookups;
  client::ClientApp::Settings settings;
  settings.connect.lookUpName = [&lookups](const std::string& name) {
    lookups.Add(name);
    return false;
  };
  ConnectRun run(std::move(settings));
  run.Start();
  auto service = AcceptingService();

  run.SetConn("no-such-gateway.invalid", 443);
  ASSERT_EQ(run.app.Launcher().StartConnect(), 0);
  ASSERT_TRUE(run.RunConnect());
  EXPECT_EQ(run.BoxTexts(), std::vector<std::string>{"Invalid IP address or server name"});
  EXPECT_EQ(run.app.Launcher().LastResult(), 1);
  EXPECT_FALSE(run.Menu().IsGrayed(client::ID_CONNECT));
  EXPECT_EQ(Opens(*service), 0u);
  EXPECT_NE(ReadLogText().find("Connecting to no-such-gateway.invalid..."), std::string::npos);

  run.SetConn("10.1.2.3", 443);
  ASSERT_EQ(run.app.Launcher().StartConnect(), 0);
  ASSERT_TRUE(run.RunConnect());
  EXPECT_EQ(Opens(*service), 1u);
  EXPECT_EQ(lookups.Entries(), std::vector<std::string>{"no-such-gateway.invalid"});
}

TEST_F(ClientConnect, DisconnectDuringTheWaitKeepsTheOpenFromEverGoingOut) {
  run_.services.SetState("vqsvc", svc::SERVICE_STOPPED);
  run_.SetConn("127.0.0.1", 443);
  ASSERT_EQ(run_.app.Launcher().StartConnect(), 0);
  ASSERT_TRUE(Eventually([&] { return run_.clock.Sleepers() > 0; }));
  run_.clock.Advance(1000);
  run_.app.Window()->OnCommand(client::ID_DISCONNECT);
  EXPECT_EQ(run_.app.Launcher().Running(), 0u);
  // The services come up after all: nothing is left to open the channel.
  run_.services.SetState("vqsvc", svc::SERVICE_RUNNING);
  run_.clock.Advance(10000);
  run_.host.RunUntilIdle();
  EXPECT_EQ(Opens(*service_), 0u);
  EXPECT_TRUE(run_.BoxTexts().empty());
  // Only the Disconnect's own tail: the cancelled connect adds nothing.
  EXPECT_EQ(run_.log.Count("idle"), 1);
}

TEST_F(ClientConnect, NewerStartConnectReplacesTheWaitingOne) {
  run_.services.SetState("vqsvc", svc::SERVICE_STOPPED);
  run_.SetConn("127.0.0.1", 443);
  ASSERT_EQ(run_.app.Launcher().StartConnect(), 0);
  ASSERT_TRUE(Eventually([&] { return run_.clock.Sleepers() > 0; }));
  run_.services.SetState("vqsvc", svc::SERVICE_RUNNING);
  run_.SetConn("127.0.0.2", 444);
  ASSERT_EQ(run_.app.Launcher().StartConnect(), 0);
  ASSERT_TRUE(run_.RunConnect());
  // One open, with the newer record.
  const auto messages = service_->Messages();
  std::vector<Bytes> opens;
  for (const Bytes& m : messages)
    if (m[0] == VQ_OPEN_CHANNEL) opens.push_back(m);
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&opens[0][1])), "127.0.0.2");
}

TEST_F(ClientConnect, StartConnectClearsTheLastGatewaysUrlAndCredential) {
  client::ReportState& reports = run_.app.Reports();
  reports.SetPortalUrl("https://old/");
  reports.urlPending = true;
  reports.SetGatewayCredential("cookie-of-the-old-gateway");
  reports.useCredential = true;
  run_.SetConn("127.0.0.1", 443);
  ASSERT_EQ(run_.app.Launcher().StartConnect(), 0);
  EXPECT_FALSE(reports.urlPending);
  EXPECT_FALSE(reports.useCredential);
  EXPECT_EQ(reports.GatewayCredential(), "");
  EXPECT_EQ(reports.PortalUrl(), "");
  ASSERT_TRUE(run_.RunConnect());
}

TEST_F(ClientConnect, WebStartTakesItsLoginModeFromInit) {
  struct Case {
    uint32_t init;
    int mode;
    uint32_t authType;
  };
  const Case cases[] = {{0x01, 0, AUTH_TYPE_COOKIE}, {0x03, 1, AUTH_TYPE_COOKIE}, {0x05, 1, AUTH_TYPE_COOKIE},
                        {0x12, 2, AUTH_TYPE_USB_KEY_ONLY}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.init);
    run_.log.Clear();
    conn_info conn;
    conn.host = "127.0.0.1";
    conn.port = 8443;
    conn.user = "alice";
    conn.secret1 = "cookie";
    conn.secret2 = "1234";
    conn.auth_type = AUTH_TYPE_COOKIE;
    conn.init = c.init;
    run_.app.SetConn(conn);
    EXPECT_EQ(client::ConnectToServerWithUsbKey(run_.app), 0);
    ASSERT_TRUE(run_.RunConnect());
    EXPECT_EQ(run_.app.GetLoginMode(), c.mode);
    EXPECT_EQ(run_.app.Conn().auth_type, c.authType);
    EXPECT_EQ(run_.log.With("profile:"),
              std::vector<std::string>{"alice@127.0.0.1:8443 mode " + std::to_string(c.mode) + " pin 1234"});
    const auto messages = service_->Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back()[0], VQ_OPEN_CHANNEL);
  }
}

// The road through the real tunnel service: stopped at first, started by
// the readiness check; its open fails against a port nobody serves, and
// its report 4 comes back over the report pipe as the error box.
TEST(ClientConnectReal, StoppedServiceStartedAndItsErrorReportShown) {
  TempRoot root;
  {
    namespace reg = platform::registry;
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, std::string(svc::kNetworkAdapterClassKey) + "\\0000",
                               reg::Access::Write, key),
              platform::ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue("ComponentId", reg::REG_SZ, svc::detail::RegSzImage(svc::kVirtualAdapterComponentId)),
              platform::ERROR_SUCCESS);
  }
  if (!svc::VirtualAdapterUsable()) GTEST_SKIP() << "no TUN device here";
  ASSERT_EQ(RunProgram({BRINDLEWAY_PATH, "-s", "install"}), 0);

  HookLog log;
  HookAnswers answers;
  platform::ui::HeadlessHost host;  // the real clock: the service starts in real time
  client::ClientApp::Settings settings;
  settings.language = 1033;
  {
    client::ClientApp app(host, RecordingHooks(log, answers), settings);
    Argv argv = WindowOnly();
    ASSERT_TRUE(app.Start(argv.argc(), argv.argv()));
    conn_info conn;
    conn.host = "127.0.0.1";
    conn.port = 9;
    conn.auth_type = AUTH_TYPE_PASSWORD;
    conn.user = "u";
    conn.secret1 = "c";
    app.SetConn(conn);
    ASSERT_EQ(app.Launcher().StartConnect(), 0);
    const bool shown = Eventually([&] {
      host.RunUntilIdle();
      for (const auto& box : host.PendingBoxes())
        if (box.text.text == "Connect to the server error") return true;
      return false;
    });
    EXPECT_TRUE(shown) << ReadLogText();
    // The report may come before the open's reply has been read.
    EXPECT_TRUE(Eventually([&] { return app.Launcher().LastResult().has_value(); }));
    EXPECT_EQ(app.Launcher().LastResult(), 0);
    EXPECT_GE(log.Count("idle"), 1);
    EXPECT_EQ(log.Count("free"), 1);
    const std::string text = ReadLogText();
    EXPECT_NE(text.find("Brindleway is Not Start,StartService !"), std::string::npos);
    EXPECT_EQ(app.Link().RunNetStop(), 0u);
    app.Shutdown();
  }
  EXPECT_EQ(RunProgram({BRINDLEWAY_PATH, "-s", "uninstall"}), 0);
}

}  // namespace
