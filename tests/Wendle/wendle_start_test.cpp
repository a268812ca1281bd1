// The control starting the client application when it does not run, and
// the checks before a login goes anywhere.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include "Wendle/wendle_ctrl.h"
#include "Wendle/wendle_fixture.h"
#include "Wendle/wendle_page.h"
#include "Wendle/wendle_pipe.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/temp_root.h"
#include "gateway/portal.h"
#include "gateway/tls_gateway.h"
#include "platform/http/cookie_store.h"
#include "platform/paths/paths.h"
#include "support/registry_helpers.h"

namespace {

using Strings = std::vector<std::string>;

class WendleStartTest : public ::testing::Test {
 protected:
  vqtest::WendleRoot env_;
};

TEST_F(WendleStartTest, StartsTheClientWithTheLoginAsWholeArguments) {
  env_.InstallFakeClient();
  struct Case {
    const char* what;
    const char* server;
    const char* port;
    const char* user;
    const char* password;
  };
  const Case cases[] = {
      {"plain values", "10.123.0.1", "443", "alice", "S1"},
      {"blanks, options and quotes stay inside their value", "gw one", "-k 1", "-o", "x -k 1 \"y\" 'z'"},
      {"a line end and non-ASCII text", "gw", "443", "用户", "a\nb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(env_.root().At(std::string(vqtest::kClientHome) + "/bin/run.cwd"));
    vqtest::WendlePage page(env_.UiLogPath());
    ASSERT_EQ(page.ctrl().Init(c.server, c.port, c.user, c.password), 0);
    EXPECT_EQ(page.ctrl().Connect(), 0);
    const std::string home = env_.root().At(vqtest::kClientHome);
    EXPECT_EQ(env_.ClientArgv(),
              (Strings{"-d", "-h", c.server, "-p", c.port, "-u", c.user, "-c", c.password}));
    EXPECT_EQ(env_.ClientCwd(), home);
    EXPECT_TRUE(page.Boxes().empty());
  }
}

TEST_F(WendleStartTest, AMissingProgramShowsTheErrorCodeAndLogsIt) {
  env_.InstallFakeClient();
  std::filesystem::remove(env_.root().At(std::string(vqtest::kClientHome) + "/bin/Marrowlantern"));
  vqtest::WendlePage page(env_.UiLogPath());
  ASSERT_EQ(page.ctrl().Init("10.123.0.1", "443", "alice", "S1"), 0);
  EXPECT_EQ(page.ctrl().Connect(), -1);
  EXPECT_EQ(page.Boxes(), Strings{"CreateProcess failed (2).\n"});
  // The text's own line feed stays before the line end.
  EXPECT_NE(env_.WendleLogText().find("): CreateProcess failed ......\n\r\n"), std::string::npos)
      << env_.WendleLogText();
}

TEST_F(WendleStartTest, MissingOrOversizedValuesStartAndSendNothing) {
  env_.InstallFakeClient();
  const std::string s255(255, 's'), s256(256, 's'), u63(63, 'u'), u64(64, 'u'), p127(127, 'p'), p128(128, 'p');
  // A character of two ANSI (UTF-8) bytes counts twice.
  const std::string user32Wide = std::string(62, 'u') + "é";
  struct Case {
    const char* what;
    std::string server, port, user, password;
    bool valid;
  };
  const Case cases[] = {
      {"no server", "", "443", "alice", "S1", false},
      {"no port", "gw", "", "alice", "S1", false},
      {"no user", "gw", "443", "", "S1", false},
      {"no session id", "gw", "443", "alice", "", false},
      {"a 256-byte server", s256, "443", "alice", "S1", false},
      {"a 64-byte user", "gw", "443", u64, "S1", false},
      {"a 63-character user of 64 bytes", "gw", "443", user32Wide, "S1", false},
      {"a 128-byte session id", "gw", "443", "alice", p128, false},
      {"every value at its longest", s255, "443", u63, p127, true},
  };
  for (bool running : {false, true}) {
    std::optional<vqtest::FakePipeServer> server;
    if (running) {
      env_.HoldClientLock();
      server.emplace(WENDLE_PIPE_NAME, [](const std::vector<uint8_t>&) {
        return std::vector<uint8_t>{VQ_WEB_LOGIN, 0, 0, 0, 0};
      });
    }
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(running ? "running: " : "not running: ") + c.what);
      std::filesystem::remove(env_.root().At(std::string(vqtest::kClientHome) + "/bin/run.cwd"));
      const size_t sent = server ? server->Messages().size() : 0;
      vqtest::WendlePage page(env_.UiLogPath() + std::to_string(running) + c.what);
      ASSERT_EQ(page.ctrl().Init(c.server, c.port, c.user, c.password), 0);
      EXPECT_EQ(page.ctrl().Connect(), c.valid ? 0 : -1);
      if (c.valid) {
        EXPECT_TRUE(page.Boxes().empty());
      } else {
        EXPECT_EQ(page.Boxes(), Strings{"Invalid parameters"});
      }
      const bool started = !env_.ClientArgv(c.valid && !running).empty();
      EXPECT_EQ(started, c.valid && !running);
      if (server) {
        EXPECT_EQ(server->Messages().size(), sent + (c.valid ? 1 : 0));
      }
    }
  }
}

// Without the client the portal's installer is fetched with the page's
// session and started; Init has to see the client on a later call, so
// Connect stays refused until then.
TEST_F(WendleStartTest, WithoutTheClientInitFetchesTheInstallerAndConnectIsRefused) {
  const std::string record = env_.root().At("/installer-record.txt");
  ::setenv("VQ_TEST_INSTALLER_RECORD", record.c_str(), 1);
  ::setenv("VQ_ELEVATE", "", 1);
  platform::http::CookieStore::Process().Clear();
  auto portal = std::make_shared<vqgw::Portal>(vqgw::PortalOptions{.sessionUser = "alice", .sessionId = "S1"});
  portal->AddRoute("/qimbo.exe", vqgw::PortalRoute{[](const vqgw::PortalRequest&) {
                     return vqgw::PortalReply::Body(vqtest::ReadFileBytes(RECORDING_INSTALLER_PATH));
                   }});
  vqgw::TlsGateway gateway{vqgw::GatewayOptions{.portal = portal}};
  const std::string port = std::to_string(gateway.Port());
  {
    SCOPED_TRACE("the portal refuses the session");
    vqtest::WendlePage page(env_.UiLogPath() + "refused");
    EXPECT_EQ(page.ctrl().IsClientInstalled(), 0);
    EXPECT_EQ(page.ctrl().Init("127.0.0.1", port, "alice", "not the session"), -1);
    EXPECT_EQ(page.ctrl().Connect(), -1);
    const Strings boxes = page.Boxes();
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(boxes[boxes.size() - 2], "Download the client failed");
    EXPECT_EQ(boxes.back(), "The control hasn't been initialized");
    EXPECT_FALSE(std::filesystem::exists(record));
  }
  {
    SCOPED_TRACE("the installer is fetched and started");
    vqtest::WendlePage page(env_.UiLogPath() + "fetched");
    EXPECT_EQ(page.ctrl().Init("127.0.0.1", port, "alice", "S1"), 0);
    EXPECT_EQ(page.ctrl().Connect(), -1);
    EXPECT_EQ(page.Boxes(), Strings{"The control hasn't been initialized"});
    ASSERT_TRUE(vqtest::Eventually([&] { return std::filesystem::exists(record); }));
    const std::string installer = platform::paths::UserTempDir() + "/qimbo.exe";
    const std::string started = vqtest::ReadFileBytes(record);
    EXPECT_EQ(started.substr(0, started.find("session")), "arg=" + installer + "\narg=/WebInstall\n");
  }
  ::unsetenv("VQ_TEST_INSTALLER_RECORD");
  ::unsetenv("VQ_ELEVATE");
}

TEST_F(WendleStartTest, AHomeGoneBeforeConnectIsReported) {
  env_.InstallFakeClient();
  vqtest::WendlePage page(env_.UiLogPath());
  EXPECT_EQ(page.ctrl().IsClientInstalled(), 1);
  ASSERT_EQ(page.ctrl().Init("10.123.0.1", "443", "alice", "S1"), 0);
  ASSERT_EQ(RegDeleteProductValue("QIMBO_HOME"), 0);
  EXPECT_EQ(page.ctrl().Connect(), -1);
  EXPECT_EQ(page.Boxes(), Strings{"Can't find Marrowlantern home directory"});
  EXPECT_FALSE(env_.ClientRan());
}

}  // namespace
