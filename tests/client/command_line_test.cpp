// The command line the web control starts the client with, in-process under
// the headless host: argv -> g_conn, the flags, the window, the connect.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client_fixture.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "platform/sync/instance_lock.h"
#include "support/command_pipe.h"
#include "support/text_convert.h"

namespace {

using namespace vqtest;

struct Case {
  const char* name;
  std::vector<std::string> args;
  bool window;
  int connects;
  uint32_t authType;
  uint32_t init;
  std::string host = "";
  std::string user = "";
  std::string secret1 = "";
  std::string secret2 = "";
  uint32_t port = 0;
};

const std::string k63(63, 'u');
const std::string k64(64, 'u');
const std::string k255(255, 'h');
const std::string k256(256, 'h');
const std::string k127(127, 's');
const std::string k128(128, 's');

const Case kCases[] = {
    {"web start connects", {"-d", "-h", "gw", "-p", "443", "-u", "u", "-c", "c"}, true, 1, 2, 0x01, "gw", "u", "c", "",
     443},
    {"no auto-connect", {"-d", "-q", "-h", "gw", "-p", "443", "-u", "u", "-c", "c"}, true, 0, 2, 0, "gw", "u", "c", "",
     443},
    {"options without -d end at once", {"-h", "gw"}, false, 0, 0, 0, "gw"},
    {"last secret decides: cookie", {"-s", "a", "-c", "b"}, false, 0, 2, 0, "", "", "b"},
    {"last secret decides: password", {"-c", "b", "-s", "a"}, false, 0, 1, 0, "", "", "a"},
    {"USB key only", {"-o", "1"}, false, 0, 3, 0x12, "", "", "", "1"},
    {"USB key PIN", {"-k", "1"}, false, 0, 0, 0x02, "", "", "", "1"},
    {"web connect flag", {"-w"}, false, 0, 0, 0x04},
    {"user without a value is skipped", {"-h", "gw", "-u"}, false, 0, 0, 0, "gw"},
    {"a password that looks like an option", {"-s", "-reverse"}, false, 0, 1, 0, "", "", "-reverse"},
    {"attached values and grouped flags", {"-hgw", "-p443", "-dq", "-sp"}, true, 0, 1, 0, "gw", "", "p", "", 443},
    {"63-byte user taken", {"-u", k63}, false, 0, 0, 0, "", k63},
    {"64-byte user refused", {"-u", k64, "-h", "gw"}, false, 0, 0, 0, "gw"},
    {"255-byte host taken", {"-h", k255}, false, 0, 0, 0, k255},
    {"256-byte host refused", {"-h", k256, "-u", "u"}, false, 0, 0, 0, "", "u"},
    {"127-byte password taken", {"-s", k127}, false, 0, 1, 0, "", "", k127},
    {"128-byte password refused", {"-s", k128}, false, 0, 0, 0},
    {"128-byte PIN refused", {"-o", k128}, false, 0, 0, 0},
    {"port as _wtoi reads it", {"-p", "12ab"}, false, 0, 0, 0, "", "", "", "", 12},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class CommandLineTest : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLineTest, FillsTheRecordAndFlags) {
  const Case& c = GetParam();
  ClientRun run;
  std::vector<std::string> args{"Marrowlantern"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  Argv argv(args);
  const bool window = run.app.Start(argv.argc(), argv.argv());
  run.host.RunUntilIdle();
  EXPECT_EQ(window, c.window);
  EXPECT_EQ(run.app.Window() != nullptr, c.window);
  EXPECT_EQ(run.counts.connect.load(), c.connects);
  const conn_info conn = run.app.Conn();
  EXPECT_EQ(conn.auth_type, c.authType);
  EXPECT_EQ(conn.init, c.init);
  EXPECT_EQ(conn.host, c.host);
  EXPECT_EQ(conn.user, c.user);
  EXPECT_EQ(conn.secret1, c.secret1);
  EXPECT_EQ(conn.secret2, c.secret2);
  EXPECT_EQ(conn.port, c.port);
  if (!window) {
    run.app.Shutdown();
    EXPECT_FALSE(platform::InstanceLock::IsHeld(client::kInstanceMutexName));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLineTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

TEST(CommandLine, TooLongValueIsLoggedByOption) {
  ClientRun run;
  Argv argv({"Marrowlantern", "-u", k64});
  run.app.Start(argv.argc(), argv.argv());
  EXPECT_NE(ReadLogText().find("Option -u refused"), std::string::npos) << ReadLogText();
}

TEST(CommandLine, ChineseUserTakesItsGbkBytes) {
  ASSERT_TRUE(SetCodePage(CodePage::Ansi, "CP936"));
  ClientRun run;
  Argv argv({"Marrowlantern", "-u", "\xE5\xBC\xA0\xE4\xB8\x89"});  // 张三 in UTF-8
  run.app.Start(argv.argc(), argv.argv());
  const std::string user = run.app.GetConnUser();
  SetCodePage(CodePage::Ansi, "UTF-8");
  EXPECT_EQ(user, "\xD5\xC5\xC8\xFD");  // 张三 in GBK
}

TEST(CommandLine, SecretsAreWipedFromTheArguments) {
  ClientRun run;
  Argv argv({"Marrowlantern", "-h", "gw", "-s", "secret", "-ksecretpin", "-o", "pin2", "-c", "cookie"});
  run.app.Start(argv.argc(), argv.argv());
  EXPECT_EQ(run.app.Conn().secret1, "cookie");
  char** v = argv.argv();
  EXPECT_STREQ(v[2], "gw");
  EXPECT_STREQ(v[4], "");
  EXPECT_STREQ(v[5], "-k");
  EXPECT_STREQ(v[7], "");
  EXPECT_STREQ(v[9], "");
}

TEST(ClientStart, WithoutOptionsTheWindowOpensTheLogin) {
  ClientRun run;
  Argv argv({"Marrowlantern"});
  ASSERT_TRUE(run.app.Start(argv.argc(), argv.argv()));
  run.host.RunUntilIdle();
  EXPECT_EQ(run.counts.loginDialog.load(), 1);
  EXPECT_EQ(run.counts.connect.load(), 0);
  EXPECT_EQ(run.host.TrayIconId(), client::kTrayIconDisconnected);
  EXPECT_EQ(run.host.TrayTip(), "Tarnwickgate Marrowlantern - Disconnected");
  ASSERT_NE(run.host.TrayMenu(), nullptr);
  EXPECT_FALSE(run.host.TrayMenu()->IsGrayed(client::ID_CONNECT));
  EXPECT_TRUE(run.host.TrayMenu()->IsGrayed(client::ID_DISCONNECT));
  EXPECT_TRUE(platform::InstanceLock::IsHeld(client::kInstanceMutexName));
  EXPECT_NE(ReadLogText().find("Marrowlantern started"), std::string::npos);
}

// Requests to the tunnel service's command pipe with byte 0 command.
size_t CountOf(FakePipeServer& service, uint8_t command) {
  size_t n = 0;
  for (const auto& m : service.Messages()) n += m[0] == command;
  return n;
}

TEST(ClientStart, TheStatusTimerPollsEverySecond) {
  ClientRun run;
  FakePipeServer service(client::kBrindlewayPipeName, [](const FakePipeServer::Bytes& r) {
    return std::optional<FakePipeServer::Bytes>(FakePipeServer::Bytes{r[0], 0, 0, 0, 0});
  });
  Argv argv({"Marrowlantern", "-d", "-q"});
  ASSERT_TRUE(run.app.Start(argv.argc(), argv.argv()));
  run.host.Advance(3500);
  EXPECT_EQ(CountOf(service, VQ_INQUERY), 3u);
}

TEST(ClientStart, ExitDisconnectsRemovesTheTrayAndEndsTheLoop) {
  ClientRun run;
  FakePipeServer service(client::kBrindlewayPipeName, [](const FakePipeServer::Bytes& r) {
    return std::optional<FakePipeServer::Bytes>(FakePipeServer::Bytes{r[0], 0, 0, 0, 0});
  });
  Argv argv({"Marrowlantern", "-d", "-q"});
  ASSERT_TRUE(run.app.Start(argv.argc(), argv.argv()));
  run.host.RunUntilIdle();
  ASSERT_TRUE(run.host.ChooseTrayCommand(client::ID_EXIT));
  EXPECT_EQ(run.host.Run(), 0);  // returns at once: the window asked to quit
  EXPECT_EQ(run.host.TrayMenu(), nullptr);
  run.host.Advance(3000);
  EXPECT_EQ(service.Messages(), std::vector<FakePipeServer::Bytes>{{VQ_CLOSE_CHANNEL}});  // no poll after Exit
  run.app.Shutdown();
  EXPECT_FALSE(platform::InstanceLock::IsHeld(client::kInstanceMutexName));
}

TEST(ClientStart, ShutdownJoinsTheThreadsItStarted) {
  ClientRun run;
  Argv argv({"Marrowlantern", "-d", "-q"});
  ASSERT_TRUE(run.app.Start(argv.argc(), argv.argv()));
  std::atomic<bool> ended{false};
  run.app.Threads().Start([&ended](const platform::Event& stop) {
    stop.Wait();
    ended = true;
  });
  run.app.Shutdown();
  EXPECT_TRUE(ended);
}

}  // namespace
