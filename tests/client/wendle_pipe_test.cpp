// The web control pipe in-process: each request's reply bytes and what it
// leaves behind (g_conn, the login mode, the open at the tunnel service,
// menu commands run), malformed logins, VQ_START beside an open modal
// dialog, a pipe that cannot be made at first, shutdown with a client
// connected, and callers of another user.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/app/activex_command.h"
#include "client/app/client_constants.h"
#include "client/app/connect_launcher.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/foreign_pipe_server.h"
#include "common/log_reader.h"
#include "common/run_as_user.h"
#include "connect_fixture.h"
#include "platform/paths/paths.h"
#include "platform/ui/dialog.h"
#include "platform/win32/win32_error.h"
#include "support/command_pipe.h"
#include "support/conn_info_codec.h"
#include "support/wire.h"

namespace {

using namespace vqtest;
using Bytes = std::vector<uint8_t>;
namespace pipe = platform::pipe;

// Long enough for a loaded machine; the web control's own 300 ms is its
// business, not a test's.
constexpr int kReplyWaitMs = 10000;

Bytes Cat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}
Bytes Le32(uint32_t v) {
  Bytes b(4);
  wire::PutU32(b.data(), v);
  return b;
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

conn_info Record(uint32_t init = 0) {
  conn_info c;
  c.host = "127.0.0.1";
  c.port = 8443;
  c.auth_type = AUTH_TYPE_PASSWORD;
  c.init = init;
  c.user = "demo";
  c.secret1 = "cookie-1";
  c.secret2 = init == 0 ? "" : "1234";
  return c;
}

Bytes LoginRequest(const conn_info& c) {
  Bytes r(client::kWebLoginRequestSize, 0);
  r[0] = client::VQ_WEB_LOGIN;
  EXPECT_TRUE(EncodeConnInfo(c, r.data() + 1));
  return r;
}

bool Same(const conn_info& a, const conn_info& b) {
  return a.host == b.host && a.port == b.port && a.auth_type == b.auth_type && a.init == b.init &&
         a.user == b.user && a.secret1 == b.secret1 && a.secret2 == b.secret2;
}

// A modal stand-in for the login dialog.
const platform::ui::DialogTemplate& ModalTemplate() {
  static const platform::ui::DialogTemplate templ(client::kLoginDialogTemplates[0], {});
  return templ;
}

class WendlePipe : public ::testing::Test {
 protected:
  WendlePipe()
      : run_({}, 1033, [this](client::ClientHooks& h) {
          h.dialogs[client::kNetworkInfoTemplate] = [this](client::ClientApp&) { run_.log.Add("dialog:119"); };
          h.reopenLoginDialog = [this](client::ClientApp& app) {
            run_.log.Add("login-dialog");
            if (openModal_ && app.Host().FindDialog(ModalTemplate().id) == nullptr) {
              app.Host().OpenDialog(ModalTemplate(), nullptr, std::make_unique<platform::ui::DialogLogic>(),
                                    platform::ui::Modality::Modal);
            }
          };
        }) {}

  void SetUp() override {
    run_.Start();
    service_ = std::make_unique<FakePipeServer>(client::kBrindlewayPipeName, [](const Bytes& r) {
      return std::optional<Bytes>(Bytes{r[0], 0, 0, 0, 0});
    });
    ASSERT_TRUE(Eventually([] { return PipeServed(client::kWendlePipeName); }));
  }

  // One request as the web control sends it; the UI thread runs meanwhile,
  // for the requests that wait for it.
  Bytes Ask(const Bytes& request) {
    std::atomic<bool> done{false};
    uint32_t rc = 1;
    Bytes reply;
    std::thread caller([&] {
      rc = pipe::Transact(client::kWendlePipeName, request, reply, pipe::kMaxMessage, kReplyWaitMs, kReplyWaitMs,
                          ::geteuid());
      done = true;
    });
    EXPECT_TRUE(Eventually([&] {
      run_.host.RunUntilIdle();
      return done.load();
    }));
    caller.join();
    run_.host.RunUntilIdle();
    EXPECT_EQ(rc, 0u);
    return reply;
  }

  size_t Opens() {
    size_t n = 0;
    for (const Bytes& m : service_->Messages()) n += !m.empty() && m[0] == VQ_OPEN_CHANNEL;
    return n;
  }

  bool openModal_ = false;
  ConnectRun run_;
  std::unique_ptr<FakePipeServer> service_;
};

TEST_F(WendlePipe, WebLoginWhileDisconnectedOpensTheChannelWithTheRecord) {
  run_.app.SetSessionState(-12);
  EXPECT_EQ(Ask(LoginRequest(Record())), Cat({1}, Le32(0)));
  conn_info expected = Record();
  expected.init = CONN_FLAG_NEW_SERVER_CERT;
  expected.auth_type = AUTH_TYPE_COOKIE;
  EXPECT_TRUE(Same(run_.app.Conn(), expected));
  EXPECT_EQ(run_.app.GetSessionState(), 0);
  EXPECT_EQ(run_.log.With("profile:"), std::vector<std::string>{"demo@127.0.0.1:8443 mode 0 pin "});
  ASSERT_TRUE(run_.RunConnect());
  ASSERT_EQ(Opens(), 1u);
  for (const Bytes& m : service_->Messages()) {
    if (m[0] != VQ_OPEN_CHANNEL) continue;
    conn_info sent;
    ASSERT_TRUE(DecodeConnInfo(m.data() + 1, m.size() - 1, sent));
    EXPECT_TRUE(Same(sent, expected));
  }
}

TEST_F(WendlePipe, WebLoginTakesItsLoginModeFromInit) {
  struct Case {
    uint32_t init;
    int mode;
    uint32_t authType;
  };
  const Case cases[] = {{0x12, 2, AUTH_TYPE_USB_KEY_ONLY}, {0x02, 1, AUTH_TYPE_COOKIE}, {0x00, 0, AUTH_TYPE_COOKIE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.init);
    run_.log.Clear();
    run_.app.SetChannelStatus(client::kStatusDisconnected);
    EXPECT_EQ(Ask(LoginRequest(Record(c.init))), Cat({1}, Le32(0)));
    EXPECT_EQ(run_.app.GetLoginMode(), c.mode);
    EXPECT_EQ(run_.app.Conn().auth_type, c.authType);
    EXPECT_EQ(run_.app.Conn().init, c.init | CONN_FLAG_NEW_SERVER_CERT);
    EXPECT_EQ(run_.log.With("profile:").size(), 1u);
    ASSERT_TRUE(run_.RunConnect());
  }
  EXPECT_EQ(Opens(), 3u);
}

TEST_F(WendlePipe, WebLoginWhileConnectedChangesNothing) {
  run_.SetConn("gw", 443, "alice", "pw");
  const conn_info before = run_.app.Conn();
  run_.app.SetChannelStatus(client::kStatusConnected);
  run_.app.SetSessionState(-12);
  EXPECT_EQ(Ask(LoginRequest(Record())), Bytes{1});
  EXPECT_TRUE(Same(run_.app.Conn(), before));
  EXPECT_EQ(run_.app.GetSessionState(), -12);
  EXPECT_TRUE(run_.log.With("profile:").empty());
  EXPECT_NE(ReadLogText().find("ProcessActiveXCommand::User has login!"), std::string::npos);
}

TEST_F(WendlePipe, MalformedWebLoginIsRefusedAndChangesNothing) {
  Bytes unterminatedUser = LoginRequest(Record());
  std::fill_n(unterminatedUser.begin() + 1 + 268, conn_info::kUserSize, 'u');
  Bytes unterminatedHost = LoginRequest(Record());
  std::fill_n(unterminatedHost.begin() + 1, conn_info::kHostSize, 'h');
  Bytes shortRecord = LoginRequest(Record());
  shortRecord.resize(client::kWebLoginRequestSize - 1);
  struct Case {
    const char* what;
    Bytes request;
  };
  const Case cases[] = {{"100 bytes", Bytes(100, 1)},
                        {"588 bytes", shortRecord},
                        {"[1] alone", Bytes{1}},
                        {"user without its end", unterminatedUser},
                        {"host without its end", unterminatedHost}};
  run_.SetConn("gw", 443, "alice", "pw");
  const conn_info before = run_.app.Conn();
  run_.app.SetSessionState(-12);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Ask(c.request), (Bytes{1, 0xff, 0xff, 0xff, 0xff}));
  }
  EXPECT_TRUE(Same(run_.app.Conn(), before));
  EXPECT_EQ(run_.app.GetSessionState(), -12);
  EXPECT_TRUE(run_.log.With("profile:").empty());
  EXPECT_EQ(run_.app.Launcher().Running(), 0u);
  EXPECT_EQ(Opens(), 0u);
}

TEST_F(WendlePipe, DisconnectStatusAndQueries) {
  EXPECT_EQ(Ask({client::VQ_WEB_DISCONNECT}), Cat({2}, Le32(0)));
  // The Disconnect command ran: the close went to the service and the
  // login dialog is idle again.
  EXPECT_EQ(run_.log.Count("idle"), 1);
  ASSERT_TRUE(service_->WaitMessages(1));
  const std::vector<Bytes> sent = service_->Messages();
  EXPECT_NE(std::find(sent.begin(), sent.end(), Bytes{VQ_CLOSE_CHANNEL}), sent.end());

  run_.app.SetChannelStatus(client::kStatusConnecting);
  EXPECT_EQ(Ask({client::VQ_WEB_STATUS}), Cat(Cat({3}, Le32(0)), Le32(2)));

  run_.app.SetConnUser("");
  EXPECT_EQ(Ask({6, 3}), Cat({6, 3}, Le32(0)));
  run_.app.SetConnUser("demo");
  EXPECT_EQ(Ask({6, 3}), Cat(Cat({6, 3}, Le32(4)), Text("demo")));

  // Event 1013 from the tunnel service expires the session.
  Bytes reply;
  ASSERT_EQ(pipe::Transact(client::kMarrowlanternPipeName, Cat({7}, Le32(1013)), reply, 16, kReplyWaitMs,
                           kReplyWaitMs),
            0u);
  EXPECT_EQ(Ask({6, 5}), Cat({6, 5}, Le32(static_cast<uint32_t>(-12))));

  // Sub-codes and commands without a meaning get their byte alone.
  EXPECT_EQ(Ask({6}), Bytes{6});
  EXPECT_EQ(Ask({6, 9}), Bytes{6});
  EXPECT_EQ(Ask({9}), Bytes{9});
  EXPECT_EQ(Ask({200, 1, 2}), Bytes{200});
}

TEST_F(WendlePipe, StartRunsConnectOrNetworkInformation) {
  EXPECT_EQ(Ask({client::VQ_START}), Bytes{14});
  EXPECT_EQ(run_.log.Entries(), std::vector<std::string>{"login-dialog"});
  run_.log.Clear();
  run_.app.SetChannelStatus(client::kStatusConnected);
  EXPECT_EQ(Ask({client::VQ_START}), Bytes{14});
  EXPECT_EQ(run_.log.Entries(), std::vector<std::string>{"dialog:119"});
  // A second byte is answered as a query sub-code.
  run_.app.SetSessionState(-12);
  EXPECT_EQ(Ask({14, 5}), Cat({14, 5}, Le32(static_cast<uint32_t>(-12))));
  run_.app.SetConnUser("bob");
  EXPECT_EQ(Ask({14, 3}), Cat(Cat({14, 3}, Le32(3)), Text("bob")));
  EXPECT_EQ(Ask({14, 7}), Bytes{14});
  EXPECT_NE(ReadLogText().find("VQ_START OK"), std::string::npos);
}

TEST_F(WendlePipe, StartWhileAModalDialogIsOpenIsAnsweredAtOnce) {
  openModal_ = true;
  EXPECT_EQ(Ask({client::VQ_START}), Bytes{14});
  ASSERT_NE(run_.host.FindDialog(ModalTemplate().id), nullptr);
  // The dialog stays; the next hand-over is answered beside it.
  EXPECT_EQ(Ask({client::VQ_START, 5}), Cat({14, 5}, Le32(0)));
  EXPECT_NE(run_.host.FindDialog(ModalTemplate().id), nullptr);
  EXPECT_EQ(run_.log.Count("login-dialog"), 2);
}

TEST_F(WendlePipe, OneConnectionCarriesManyRequests) {
  pipe::PipeConnection connection;
  ASSERT_EQ(pipe::Connect(client::kWendlePipeName, connection, kReplyWaitMs, ::geteuid()), 0u);
  for (uint32_t status : {1u, 4u}) {
    run_.app.SetChannelStatus(static_cast<int>(status));
    ASSERT_EQ(connection.Write({client::VQ_WEB_STATUS}), 0u);
    Bytes reply;
    ASSERT_EQ(connection.Read(reply, pipe::kMaxMessage, kReplyWaitMs), 0u);
    EXPECT_EQ(reply, Cat(Cat({3}, Le32(0)), Le32(status)));
  }
}

// A client that stays connected without a word does not keep Exit waiting.
TEST_F(WendlePipe, ShutdownEndsAnIdleClientsThread) {
  pipe::PipeConnection idle;
  ASSERT_EQ(pipe::Connect(client::kWendlePipeName, idle, kReplyWaitMs, ::geteuid()), 0u);
  // Served: its thread runs.
  ASSERT_EQ(idle.Write({client::VQ_WEB_STATUS}), 0u);
  Bytes reply;
  ASSERT_EQ(idle.Read(reply, pipe::kMaxMessage, kReplyWaitMs), 0u);
  run_.app.Shutdown();
  EXPECT_EQ(idle.Read(reply, pipe::kMaxMessage, kReplyWaitMs), 0u);
  EXPECT_TRUE(reply.empty());
  EXPECT_FALSE(PipeFileExists(client::kWendlePipeName));
}

// A name taken by something else: the server keeps trying every 50 ms,
// with one log line, and serves once the name is free.
TEST(WendlePipeCreate, FailedCreateIsRetriedWithOneLogLine) {
  ConnectRun run;
  const std::string path = platform::paths::PipePath(client::kWendlePipeName);
  ASSERT_TRUE(platform::paths::PrepareRunFolders());
  { std::ofstream(path) << "not a socket"; }
  run.Start();
  ASSERT_TRUE(Eventually([] { return ReadLogText().find("CreateNamedPipe failed [183]") != std::string::npos; }));
  const auto start = std::chrono::steady_clock::now();
  while (MsSince(start) < 300) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string log = ReadLogText();
  EXPECT_EQ(log.find("CreateNamedPipe failed [183]"), log.rfind("CreateNamedPipe failed [183]"));
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_TRUE(Eventually([] { return PipeServed(client::kWendlePipeName); }));
  Bytes reply;
  EXPECT_EQ(pipe::Transact(client::kWendlePipeName, {client::VQ_WEB_STATUS}, reply, 64, kReplyWaitMs, kReplyWaitMs,
                           ::geteuid()),
            0u);
  EXPECT_EQ(reply.size(), 9u);
}

// Another local user: the socket is not theirs to open, and were its mode
// widened, the server still refuses them before reading.
TEST(WendlePipeForeign, CallerOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to call as another user";
  ConnectRun run;
  ASSERT_EQ(::chmod(run.root.path().c_str(), 0755), 0);
  // Forked while this process has no other thread yet; the caller waits
  // for a go before each try and tells its result back.
  int go[2], result[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(result), 0);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(go[1]);
    ::close(result[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobodyGid) != 0 || ::setuid(kNobodyUid) != 0) ::_exit(3);
    for (int attempt = 0; attempt < 2; ++attempt) {
      char byte;
      if (::read(go[0], &byte, 1) != 1) ::_exit(4);
      std::vector<uint8_t> reply;
      const uint32_t rc = pipe::Transact(client::kWendlePipeName, {client::VQ_WEB_DISCONNECT}, reply, 64, 2000, 2000);
      // 'd': denied at the socket; 'c': connected, no reply; 'r': a reply.
      const char seen = rc == platform::ERROR_ACCESS_DENIED ? 'd' : (rc == 0 && !reply.empty() ? 'r' : 'c');
      if (::write(result[1], &seen, 1) != 1) ::_exit(5);
    }
    ::_exit(0);
  }
  ::close(go[0]);
  ::close(result[1]);
  run.Start();
  ASSERT_TRUE(Eventually([] { return PipeServed(client::kWendlePipeName); }));
  const std::string path = platform::paths::PipePath(client::kWendlePipeName);
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  char seen = 0;
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  ASSERT_EQ(::read(result[0], &seen, 1), 1);
  EXPECT_EQ(seen, 'd');
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  ASSERT_EQ(::read(result[0], &seen, 1), 1);
  EXPECT_EQ(seen, 'c');
  ::close(go[1]);
  ::close(result[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  run.host.RunUntilIdle();
  // No Disconnect ran.
  EXPECT_EQ(run.log.Count("idle"), 0);
  EXPECT_NE(ReadLogText().find("Web control pipe: user 65534 refused"), std::string::npos);
}

}  // namespace
