// The control against a client application played on its pipe: what each
// method sends, and what it makes of each reply.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <optional>
#include <thread>

#include "Wendle/wendle_ctrl.h"
#include "Wendle/wendle_fixture.h"
#include "Wendle/wendle_page.h"
#include "Wendle/wendle_pipe.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/foreign_pipe_server.h"
#include "common/run_as_user.h"
#include "platform/paths/paths.h"
#include "support/conn_info_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;
using vqtest::FakePipeServer;

Bytes Le32(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
          static_cast<uint8_t>(u >> 24)};
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class WendlePipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.InstallFakeClient();
    env_.HoldClientLock();
  }
  // The page after a successful Init.
  vqtest::WendlePage& Page() {
    if (!page_) {
      page_.emplace(env_.UiLogPath());
      EXPECT_EQ(page_->ctrl().Init("10.123.0.1", "443", "alice", "S1"), 0);
    }
    return *page_;
  }
  FakePipeServer& Server(FakePipeServer::Script script) {
    server_.emplace(WENDLE_PIPE_NAME, std::move(script));
    return *server_;
  }

  vqtest::WendleRoot env_;
  std::optional<vqtest::WendlePage> page_;
  std::optional<FakePipeServer> server_;
};

TEST_F(WendlePipeTest, LoginCarriesTheRecordAndThePortsLeadingDigits) {
  struct Case {
    const char* port;
    uint32_t value;
  };
  for (const Case c : {Case{"443", 443}, Case{"443abc", 443}, Case{"abc", 0}}) {
    SCOPED_TRACE(c.port);
    auto& server = Server([](const Bytes&) { return Cat({VQ_WEB_LOGIN}, Le32(0)); });
    vqtest::WendlePage page(env_.UiLogPath());
    ASSERT_EQ(page.ctrl().Init("10.123.0.1", c.port, "alice", "S1"), 0);
    EXPECT_EQ(page.ctrl().Connect(), 0);
    const auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    ASSERT_EQ(messages[0].size(), 589u);
    EXPECT_EQ(messages[0][0], VQ_WEB_LOGIN);
    conn_info info;
    ASSERT_TRUE(DecodeConnInfo(messages[0].data() + 1, 588, info));
    EXPECT_EQ(info.host, "10.123.0.1");
    EXPECT_EQ(info.port, c.value);
    EXPECT_EQ(info.auth_type, 0u);
    EXPECT_EQ(info.init, 0u);
    EXPECT_EQ(info.user, "alice");
    EXPECT_EQ(info.secret1, "S1");
    EXPECT_EQ(info.secret2, "");
    EXPECT_FALSE(env_.ClientRan());
  }
}

TEST_F(WendlePipeTest, LoginResultComesFromTheReply) {
  struct Case {
    const char* what;
    Bytes reply;
    int result;
  };
  const Case cases[] = {
      {"the client's result", Cat({VQ_WEB_LOGIN}, Le32(7)), 7},
      {"a negative result", Cat({VQ_WEB_LOGIN}, Le32(-1)), -1},
      {"the one-byte refusal of a logged-in client", {VQ_WEB_LOGIN}, 0},
      {"a result cut short", {VQ_WEB_LOGIN, 7, 0}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Server([&](const Bytes&) { return c.reply; });
    EXPECT_EQ(Page().ctrl().Connect(), c.result);
  }
  EXPECT_EQ(env_.WendleLogText().find("SendAndRecv"), std::string::npos);
}

TEST_F(WendlePipeTest, WrongEchoFailsWithTheLogLine) {
  Server([](const Bytes&) { return Cat({VQ_WEB_STATUS}, Le32(0)); });
  EXPECT_EQ(Page().ctrl().Connect(), -1);
  const std::string log = env_.WendleLogText();
  EXPECT_NE(log.find(" MsgLog wendle_ctrl.cpp("), std::string::npos) << log;
  EXPECT_NE(log.find("): ConnectCommand::SendAndRecv error ...\r\n"), std::string::npos) << log;
}

TEST_F(WendlePipeTest, NoServerOrNoAnswerFailsWithoutTheLogLine) {
  EXPECT_EQ(Page().ctrl().Connect(), -1);
  EXPECT_EQ(Page().ctrl().GetConnStat(), -1);

  // A client that never answers: the reply wait, not the busy wait, ends it.
  Server([](const Bytes&) { return std::nullopt; });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Page().ctrl().Connect(), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(Page().ctrl().IsSessionExpire(), -1);
  EXPECT_EQ(env_.WendleLogText().find("SendAndRecv"), std::string::npos);
}

TEST_F(WendlePipeTest, TheLoginGoesToNoOtherUsersPipe) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: serves the pipe as another user";
  ::chmod(env_.root().path().c_str(), 0755);
  ASSERT_TRUE(platform::paths::PrepareRunFolders());
  Page();
  vqtest::ForeignPipeServer foreign(vqtest::kNobodyUid, WENDLE_PIPE_NAME, 3000);
  EXPECT_TRUE(foreign.Listening());
  EXPECT_EQ(Page().ctrl().Connect(), -1);
  EXPECT_EQ(foreign.Result(), vqtest::kForeignGotNothing);
}

TEST_F(WendlePipeTest, AReplyLargerThanTheBufferFails) {
  platform::pipe::PipeServer server;
  ASSERT_EQ(server.Create(WENDLE_PIPE_NAME, 0600), 0u);
  platform::Event stop(platform::Event::Reset::Manual);
  std::thread peer([&] {
    platform::pipe::PipeConnection c;
    if (server.Accept(c, stop) != 0) return;
    Bytes request;
    c.Read(request);
    Bytes reply(5000, 0);
    reply[0] = VQ_WEB_STATUS;
    ::send(c.Fd(), reply.data(), reply.size(), MSG_NOSIGNAL);
    c.Read(request, platform::pipe::kMaxMessage, 2000);
  });
  vqtest::WendlePage page(env_.UiLogPath());
  EXPECT_EQ(page.ctrl().GetConnStat(), -1);
  stop.Set();
  peer.join();
}

TEST_F(WendlePipeTest, StatusSessionAndDisconnect) {
  struct Case {
    const char* what;
    uint8_t command;
    Bytes reply;
    int status;  // GetConnStat or IsSessionExpire
  };
  const Case cases[] = {
      {"status", VQ_WEB_STATUS, Cat(Cat({VQ_WEB_STATUS}, Le32(0)), Le32(4)), 4},
      {"status: low 16 bits", VQ_WEB_STATUS, Cat(Cat({VQ_WEB_STATUS}, Le32(0)), Le32(0x10002)), 2},
      {"status of 8 bytes", VQ_WEB_STATUS, Cat({VQ_WEB_STATUS}, Le32(0)), -1},
      {"status with a wrong echo", VQ_WEB_STATUS, Cat(Cat({VQ_WEB_LOGIN}, Le32(0)), Le32(4)), -1},
      {"session ended", VQ_WEB_QUERY, Cat({VQ_WEB_QUERY, VQ_QUERY_SESSION_STATE}, Le32(-12)), -12},
      {"session alive", VQ_WEB_QUERY, Cat({VQ_WEB_QUERY, VQ_QUERY_SESSION_STATE}, Le32(0)), 0},
      {"session of 5 bytes", VQ_WEB_QUERY, {VQ_WEB_QUERY, VQ_QUERY_SESSION_STATE, 0, 0, 0}, -1},
      {"session answered as the user", VQ_WEB_QUERY, Cat({VQ_WEB_QUERY, VQ_QUERY_USER_NAME}, Le32(0)), -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto& server = Server([&](const Bytes&) { return c.reply; });
    vqtest::WendlePage page(env_.UiLogPath());
    const int got = c.command == VQ_WEB_STATUS ? page.ctrl().GetConnStat() : page.ctrl().IsSessionExpire();
    EXPECT_EQ(got, c.status);
    const Bytes expected = c.command == VQ_WEB_STATUS ? Bytes{VQ_WEB_STATUS}
                                                       : Bytes{VQ_WEB_QUERY, VQ_QUERY_SESSION_STATE};
    EXPECT_EQ(server.Messages(), std::vector<Bytes>{expected});
  }
  auto& server = Server([](const Bytes&) { return Cat({VQ_WEB_DISCONNECT}, Le32(0)); });
  vqtest::WendlePage page(env_.UiLogPath());
  page.ctrl().Disconnect();
  EXPECT_EQ(server.Messages(), std::vector<Bytes>{{VQ_WEB_DISCONNECT}});
}

TEST_F(WendlePipeTest, UserExistComparesTheWholeNameWithCase) {
  auto reply = [](int32_t n, const std::string& name) {
    Bytes b = Cat({VQ_WEB_QUERY, VQ_QUERY_USER_NAME}, Le32(n));
    b.insert(b.end(), name.begin(), name.end());
    return b;
  };
  struct Case {
    const char* what;
    Bytes reply;
    const char* asked;
    int result;
  };
  const std::string name259(259, 'a');
  const Case cases[] = {
      {"same user", reply(5, "alice"), "alice", 0},
      {"case differs", reply(5, "Alice"), "alice", 1},
      {"a prefix", reply(3, "ali"), "alice", 1},
      {"no user", reply(0, ""), "alice", 1},
      {"259 bytes", reply(259, name259), name259.c_str(), 0},
      {"260 bytes", reply(260, std::string(260, 'a')), "alice", -1},
      {"negative length", reply(-1, ""), "alice", -1},
      {"fewer bytes than the length", reply(9, "alice"), "alice", -1},
      {"wrong sub-code", Cat({VQ_WEB_QUERY, VQ_QUERY_SESSION_STATE}, Le32(0)), "alice", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto& server = Server([&](const Bytes&) { return c.reply; });
    vqtest::WendlePage page(env_.UiLogPath());
    EXPECT_EQ(page.ctrl().UserExist(c.asked), c.result);
    EXPECT_EQ(server.Messages(), (std::vector<Bytes>{{VQ_WEB_QUERY, VQ_QUERY_USER_NAME}}));
  }
}

}  // namespace
