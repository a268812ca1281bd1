// The control starting the client application when it does not run, and
// the checks before a login goes anywhere.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "Wendle/wendle_ctrl.h"
#include "Wendle/wendle_fixture.h"
#include "Wendle/wendle_page.h"
#include "Wendle/wendle_pipe.h"
#include "common/fake_pipe_server.h"
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

TEST_F(WendleStartTest, WithoutTheClientInitFailsAndConnectIsRefused) {
  vqtest::WendlePage page(env_.UiLogPath());
  EXPECT_EQ(page.ctrl().IsClientInstalled(), 0);
  EXPECT_EQ(page.ctrl().Init("10.123.0.1", "443", "alice", "S1"), -1);
  EXPECT_EQ(page.ctrl().Connect(), -1);
  EXPECT_EQ(page.Boxes(), (Strings{"Download the client failed", "The control hasn't been initialized"}));
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
