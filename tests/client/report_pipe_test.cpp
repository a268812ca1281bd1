// The report pipe in-process: reports sent with the tunnel service's own
// senders, the reply bytes and what each report leaves behind (flags,
// boxes, posted menu and dialog work), the order of reports from one
// sender, a transaction inside a burst, and a sender of another user.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Brindleway/common/gui_reports.h"
#include "client/app/client_constants.h"
#include "client/app/connect_launcher.h"
#include "client/app/report_dispatcher.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/foreign_pipe_server.h"
#include "common/log_reader.h"
#include "common/run_as_user.h"
#include "connect_fixture.h"
#include "platform/ui/win32_ui.h"
#include "platform/win32/win32_error.h"
#include "support/wire.h"

namespace {

using namespace vqtest;
using Bytes = std::vector<uint8_t>;

Bytes Report(std::initializer_list<uint8_t> head, const std::string& text = "") {
  Bytes m(head);
  m.insert(m.end(), text.begin(), text.end());
  return m;
}

Bytes Event(uint32_t code) {
  Bytes m{7, 0, 0, 0, 0};
  wire::PutU32(&m[1], code);
  return m;
}

Bytes U32Reply(uint8_t type, uint8_t sub, uint32_t value) {
  Bytes r{type, sub, 0, 0, 0, 0};
  wire::PutU32(&r[2], value);
  return r;
}

class ReportPipe : public ::testing::Test {
 protected:
  explicit ReportPipe(uint16_t language = 1033) : run_({}, language) {}
  void SetUp() override { run_.Start(); }

  // One report and its reply, through the service's transaction sender;
  // then the UI thread's share of the work.
  Bytes Send(const Bytes& request) {
    Bytes reply;
    EXPECT_EQ(brindleway::TransactGuiPipe(request, reply, brindleway::kGuiMessageSize, brindleway::kGuiReplyTimeoutMs),
              0u);
    run_.host.RunUntilIdle();
    return reply;
  }

  client::ReportState& State() { return run_.app.Reports(); }

  ConnectRun run_;
};

TEST_F(ReportPipe, PreferredGatewayIsAnsweredByTheList) {
  Bytes offer{6, 1, 10, 0, 0, 1, 0xBB, 0x01, 0, 0};
  run_.answers.proxIpKnown = false;
  EXPECT_EQ(Send(offer), U32Reply(6, 1, 1));
  run_.answers.proxIpKnown = true;
  EXPECT_EQ(Send(offer), Bytes{6});
  uint32_t address, port;
  std::memcpy(&address, &offer[2], 4);
  std::memcpy(&port, &offer[6], 4);
  const std::string entry = std::to_string(address) + ":" + std::to_string(port);
  EXPECT_EQ(run_.log.With("prefer:"), (std::vector<std::string>{entry, entry}));
  // Once a switch is done no address is taken.
  State().proxSwitchDone = true;
  run_.answers.proxIpKnown = false;
  EXPECT_EQ(Send(offer), Bytes{6});
  EXPECT_EQ(run_.log.With("prefer:").size(), 2u);
}

TEST_F(ReportPipe, ShortReportsGetTheirTypeAndNothingElse) {
  const Bytes cases[] = {{7}, {7, 13, 0, 0}, {6}, {6, 1, 10, 0, 0}, {8, 18}, {10, 1, 0}};
  run_.answers.proxIpKnown = false;
  for (const Bytes& c : cases) {
    SCOPED_TRACE(c.size());
    EXPECT_EQ(Send(c), Bytes{c[0]});
  }
  EXPECT_TRUE(run_.log.Entries().empty());
  EXPECT_TRUE(run_.BoxTexts().empty());
}

TEST_F(ReportPipe, QueryProxAnswersFromProfileAndSwitch) {
  struct Case {
    const char* what;
    int pending;
    bool running;
    bool done;
    uint32_t answer;
  };
  const Case cases[] = {
      {"nothing pending", -1, false, false, 0}, {"profile without detection", 0, false, false, 1},
      {"profile with detection", 1, false, false, 0}, {"switch running", 1, true, false, 1},
      {"switch done", -1, false, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    run_.answers.pendingProximity = c.pending;
    State().processProxIp = c.running;
    State().proxSwitchDone = c.done;
    EXPECT_EQ(Send({6, 4}), U32Reply(6, 4, c.answer));
  }
}

TEST_F(ReportPipe, PortalUrlUpTo258Bytes) {
  const std::string url258 = "https://gw/" + std::string(258 - 11, 'u');
  EXPECT_EQ(Send(Report({6, 6}, url258)), Bytes{6});
  EXPECT_EQ(State().PortalUrl(), url258);
  EXPECT_TRUE(State().urlPending);
  State().urlPending = false;
  EXPECT_EQ(Send(Report({6, 6}, url258 + "x")), Bytes{6});
  EXPECT_EQ(State().PortalUrl(), url258);
  EXPECT_FALSE(State().urlPending);
  EXPECT_NE(ReadLogText().find("URL length invalid"), std::string::npos);
}

TEST_F(ReportPipe, UrlTitleUpTo128BytesBecomesThePortalItem) {
  const std::string title = "en=$Portal&zh=$" + std::string(128 - 2 - 15, 'z');
  ASSERT_EQ(title.size(), 126u);
  EXPECT_EQ(Send(Report({6, 7}, title)), Bytes{6});
  EXPECT_EQ(run_.log.With("portal:"), std::vector<std::string>{"Portal"});
  EXPECT_TRUE(State().portalItemInserted);
  EXPECT_EQ(Send(Report({6, 7}, title + "z")), Bytes{6});
  EXPECT_EQ(run_.log.With("portal:").size(), 1u);
  EXPECT_NE(ReadLogText().find("URLTitle length invalid"), std::string::npos);
  // Without a Chinese part marker no item.
  EXPECT_EQ(Send(Report({6, 7}, "en=$Portal&")), Bytes{6});
  EXPECT_EQ(run_.log.With("portal:").size(), 1u);
  EXPECT_FALSE(State().portalItemInserted);
}

TEST(ReportPipeTitle, ParseUrlTitleCases) {
  struct Case {
    const char* what;
    std::string text;
    int result;
    std::string english;
    std::string chinese;
  };
  const Case cases[] = {
      {"both parts", "en=$Portal&zh=$\xE9\x97\xA8\xE6\x88\xB7", 0, "Portal", "\xE9\x97\xA8\xE6\x88\xB7"},
      {"no en=$", "Portal&zh=$x", -1, "", ""},
      {"no &", "en=$Portal zh=$x", -1, "", ""},
      {"no zh=$", "en=$Portal&", -1, "", ""},
      {"empty Chinese part", "en=$Portal&zh=$", 0, "Portal", ""},
      {"empty English part", "en=$&zh=$x", 0, "", "x"},
      {"127-byte English", "en=$" + std::string(127, 'e') + "&zh=$x", 0, std::string(127, 'e'), "x"},
      {"128-byte English", "en=$" + std::string(128, 'e') + "&zh=$x", 0, "", "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    client::ReportState::PortalTitles titles{"old", "old"};
    EXPECT_EQ(client::ParseUrlTitle(c.text, titles), c.result);
    EXPECT_EQ(titles.english, c.english);
    EXPECT_EQ(titles.chinese, c.chinese);
  }
}

class ReportPipeChinese : public ReportPipe {
 protected:
  ReportPipeChinese() : ReportPipe(2052) {}
};

TEST_F(ReportPipeChinese, PortalItemTakesTheChineseTitle) {
  EXPECT_EQ(Send(Report({6, 7}, "en=$Portal&zh=$\xE9\x97\xA8\xE6\x88\xB7")), Bytes{6});
  EXPECT_EQ(run_.log.With("portal:"), std::vector<std::string>{"\xE9\x97\xA8\xE6\x88\xB7"});
}

TEST_F(ReportPipe, ServerTextIsShownAsAnError) {
  const std::string text = "Passwort l\xC3\xA4uft ab";
  EXPECT_EQ(Send(Report({6, 10}, text)), Bytes{6});
  ASSERT_EQ(run_.host.PendingBoxes().size(), 1u);
  EXPECT_EQ(run_.host.PendingBoxes()[0].text.text, text);
  EXPECT_TRUE(run_.host.PendingBoxes()[0].flags & platform::ui::MB_ICONERROR);
  // An empty text and one too long show nothing.
  EXPECT_EQ(Send(Report({6, 10})), Bytes{6});
  EXPECT_EQ(Send(Report({6, 10}, std::string(259, 't'))), Bytes{6});
  EXPECT_EQ(run_.host.PendingBoxes().size(), 1u);
}

TEST_F(ReportPipe, CredentialUpTo255BytesAndTheFlagOnlyWithIt) {
  run_.SetConn("gw", 443);
  const std::string cookie255(255, 'k');
  EXPECT_EQ(Send(Report({6, 11}, cookie255 + "x")), Bytes{6});
  EXPECT_FALSE(State().useCredential);
  EXPECT_EQ(State().GatewayCredential(), "");
  EXPECT_EQ(Send(Report({6, 11}, cookie255)), Bytes{6});
  EXPECT_TRUE(State().useCredential);
  EXPECT_EQ(State().GatewayCredential(), cookie255);
  // A USB-key-only login keeps the cookie without using it.
  State().ClearForConnect();
  conn_info conn = run_.app.Conn();
  conn.auth_type = AUTH_TYPE_USB_KEY_ONLY;
  run_.app.SetConn(conn);
  EXPECT_EQ(Send(Report({6, 11}, "c")), Bytes{6});
  EXPECT_FALSE(State().useCredential);
  EXPECT_EQ(State().GatewayCredential(), "c");
}

TEST_F(ReportPipe, HostCheckFailureShowsItsBalloon) {
  EXPECT_EQ(Send({6, 2}), Bytes{6});
  EXPECT_TRUE(State().hostCheckBalloon);
  EXPECT_EQ(run_.host.TrayIconId(), client::kHostCheckTrayIcon);
}

TEST_F(ReportPipe, ConnectedSavesTheProfileOpensTheUrlAndSetsTheGate) {
  run_.app.SetLoginMode(1);
  Send(Report({6, 6}, "https://gw/portal"));
  State().processProxIp = true;
  State().proxListTried = true;
  EXPECT_EQ(Send(Event(13)), Bytes{7});
  EXPECT_EQ(run_.log.Entries(),
            (std::vector<std::string>{"gate", "switch-event", "save", "url:https://gw/portal"}));
  EXPECT_FALSE(State().processProxIp);
  EXPECT_TRUE(State().proxSwitchDone);
  EXPECT_FALSE(State().proxListTried);
  EXPECT_EQ(run_.app.GetUsbKeyValue(), 1);
  // Without a URL nothing opens.
  run_.log.Clear();
  State().urlPending = false;
  Send(Event(13));
  EXPECT_TRUE(run_.log.With("url:").empty());
}

TEST_F(ReportPipe, EventTable) {
  struct Case {
    const char* what;
    uint32_t code;
    std::vector<std::string> hooks;
    std::vector<std::string> boxes;
  };
  const Case cases[] = {
      {"107 is only logged", 107, {}, {}},
      {"120 hides the login", 120, {"hide"}, {}},
      {"1013 shows nothing", 1013, {}, {}},
      {"1014 sets the gate, no box", 1014, {"gate", "free", "idle"}, {}},
      {"1003 box and gate", 1003, {"gate", "free", "idle"},
       {"Incompatible with current server,please upgrade client software"}},
      {"4 box only", 4, {"free", "idle"}, {"Connect to the server error"}},
      {"-1 no box", 0xFFFFFFFF, {"free", "idle"}, {}},
      {"4015 no box", 4015, {"free", "idle"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    run_.log.Clear();
    const size_t boxes = run_.host.PendingBoxes().size();
    EXPECT_EQ(Send(Event(c.code)), Bytes{7});
    // The hooks in the order they ran (the gate at once, the rest posted).
    EXPECT_EQ(run_.log.Entries(), c.hooks);
    std::vector<std::string> shown;
    for (size_t i = boxes; i < run_.host.PendingBoxes().size(); ++i) shown.push_back(run_.host.PendingBoxes()[i].text.text);
    EXPECT_EQ(shown, c.boxes);
  }
  EXPECT_TRUE(State().loginHidden);
  EXPECT_EQ(run_.app.GetSessionState(), -12);
  const std::string log = ReadLogText();
  EXPECT_NE(log.find("Receive Prefer server ip reconnect!"), std::string::npos);
  EXPECT_NE(log.find("Connect ended with code -1"), std::string::npos);
}

TEST_F(ReportPipe, CertificateQuestionAnsweredNoDisconnects) {
  auto service = std::make_unique<FakePipeServer>(client::kBrindlewayPipeName, [](const Bytes& r) {
    return std::optional<Bytes>(Bytes{r[0], 0, 0, 0, 0});
  });
  for (uint32_t code : {1008u, 1009u}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(Send(Event(code)), Bytes{7});
    ASSERT_EQ(run_.host.PendingBoxes().size(), 1u);
    const auto& box = run_.host.PendingBoxes()[0];
    EXPECT_EQ(box.text.stringId, code);
    EXPECT_EQ(box.flags & platform::ui::MB_TYPEMASK, platform::ui::MB_YESNO);
    const size_t before = service->Messages().size();
    EXPECT_TRUE(run_.host.AnswerBox(box.serial, code == 1008 ? platform::ui::IDNO : platform::ui::IDYES));
    run_.host.RunUntilIdle();
    const auto messages = service->Messages();
    if (code == 1008) {
      // Disconnect: the close, then the auto-logon flag cleared.
      ASSERT_EQ(messages.size(), before + 2);
      EXPECT_EQ(messages[before], Bytes{VQ_CLOSE_CHANNEL});
    } else {
      EXPECT_EQ(messages.size(), before);
    }
  }
}

TEST_F(ReportPipe, Event45RetriesTheConnectOnceThenShowsItsText) {
  auto service = std::make_unique<FakePipeServer>(client::kBrindlewayPipeName, [](const Bytes& r) {
    return std::optional<Bytes>(Bytes{r[0], 0, 0, 0, 0});
  });
  run_.SetConn("127.0.0.1", 443);
  EXPECT_EQ(Send(Event(45)), Bytes{7});
  ASSERT_TRUE(run_.RunConnect());
  EXPECT_EQ(run_.log.Count("update:2"), 1);
  EXPECT_TRUE(run_.BoxTexts().empty());
  EXPECT_EQ(Send(Event(45)), Bytes{7});
  ASSERT_TRUE(run_.RunConnect());
  EXPECT_EQ(run_.log.Count("update:2"), 1);
  EXPECT_EQ(run_.BoxTexts(), std::vector<std::string>{"Set tunnel interface route error"});
  size_t opens = 0;
  for (const Bytes& m : service->Messages()) opens += m[0] == VQ_OPEN_CHANNEL;
  EXPECT_EQ(opens, 1u);
}

TEST_F(ReportPipe, ErrorDuringASwitchOnlyTellsTheSwitch) {
  State().processProxIp = true;
  Send(Event(4));
  EXPECT_EQ(run_.log.Entries(), std::vector<std::string>{"switch-event"});
  EXPECT_TRUE(run_.BoxTexts().empty());
  // The stored list is tried once, then the error is shown.
  State().processProxIp = false;
  run_.answers.storedPreferList = true;
  run_.log.Clear();
  Send(Event(4));
  EXPECT_EQ(run_.log.Entries(), std::vector<std::string>{"switch"});
  EXPECT_TRUE(State().processProxIp);
  EXPECT_TRUE(State().proxListTried);
  State().processProxIp = false;
  run_.log.Clear();
  Send(Event(4));
  EXPECT_EQ(run_.log.Entries(), (std::vector<std::string>{"free", "idle"}));
  EXPECT_EQ(run_.BoxTexts(), std::vector<std::string>{"Connect to the server error"});
  EXPECT_FALSE(State().proxListTried);
}

TEST_F(ReportPipe, PasswordAndSmsReports) {
  Bytes allowed{8, 18, 0, 0, 0};
  EXPECT_EQ(Send(allowed), Bytes{8});
  EXPECT_EQ(Send(allowed), Bytes{8});
  EXPECT_EQ(run_.log.Count("change-password-item"), 1);
  EXPECT_TRUE(State().changePasswordItemInserted);
  EXPECT_EQ(Send({8, 16, 0, 0, 0}), Bytes{8});
  EXPECT_EQ(Send({10, 3, 0, 0, 0}), Bytes{10});
  EXPECT_EQ(run_.log.With("password:"), std::vector<std::string>{"16"});
  EXPECT_EQ(run_.log.With("sms:"), std::vector<std::string>{"3"});
  // Types without a meaning here.
  EXPECT_EQ(Send({9, 1, 2, 3, 4}), Bytes{9});
  EXPECT_EQ(Send({11, 1}), Bytes{11});
  EXPECT_EQ(Send({6, 99}), Bytes{6});
}

TEST_F(ReportPipe, ReportsOfOneSenderAreHandledInTheirOrder) {
  std::vector<std::string> urls;
  for (int i = 0; i < 200; ++i) {
    const std::string url = "https://gw/" + std::to_string(i);
    urls.push_back(url);
    EXPECT_EQ(brindleway::NotifyGuiSub(VQ_NOTIFY_URL, reinterpret_cast<const uint8_t*>(url.data()),
                                       url.size()),
              0);
    EXPECT_EQ(brindleway::NotifyGuiEvent(13), 0);
  }
  // The transaction comes after them all.
  Send({9});
  ASSERT_TRUE(Eventually([&] {
    run_.host.RunUntilIdle();
    return run_.log.With("url:").size() >= urls.size();
  }));
  EXPECT_EQ(run_.log.With("url:"), urls);
}

TEST_F(ReportPipe, TransactionInsideABurstIsAnsweredInTime) {
  std::atomic<int> sent{0};
  std::thread burst([&] {
    for (int i = 0; i < 300; ++i) {
      brindleway::NotifyGuiEvent(107);
      ++sent;
    }
  });
  while (sent < 100) std::this_thread::yield();
  std::vector<uint8_t> reply;
  EXPECT_EQ(brindleway::TransactGuiSub(VQ_NOTIFY_QUERY_PROX, nullptr, 0, reply), 0u);
  EXPECT_EQ(reply, U32Reply(6, 4, 0));
  burst.join();
}

// A report of another local user: refused before it is read.
TEST(ReportPipeForeign, SenderOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
  ConnectRun run;
  ASSERT_EQ(::chmod(run.root.path().c_str(), 0755), 0);
  // The sender is forked while this process has no other thread yet; it
  // waits for the go before it sends.
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(go[1]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobodyGid) != 0 || ::setuid(kNobodyUid) != 0) ::_exit(3);
    char byte;
    if (::read(go[0], &byte, 1) != 1) ::_exit(4);
    const std::string url = "https://elsewhere/";
    std::vector<uint8_t> message{6, 6};
    message.insert(message.end(), url.begin(), url.end());
    // The server may close a refused connection before the write lands:
    // a broken pipe still means the sender reached the pipe.
    for (const uint32_t sent : {brindleway::SendGuiMessage(message), brindleway::SendGuiMessage({7, 13, 0, 0, 0})}) {
      if (sent != 0 && sent != platform::ERROR_BROKEN_PIPE) ::_exit(sent < 250 ? static_cast<int>(sent) : 250);
    }
    ::_exit(0);
  }
  ::close(go[0]);
  run.Start();
  // The server thread listens a moment after the start.
  ASSERT_TRUE(vqtest::Eventually([] { return vqtest::PipeServed(brindleway::kReportPipeName); }));
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  ::close(go[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);  // it reached the pipe (else the Win32 code)
  // The client's own reports still go through; the foreign ones did nothing.
  std::vector<uint8_t> reply;
  EXPECT_EQ(brindleway::TransactGuiPipe({9}, reply, 16, 500), 0u);
  EXPECT_EQ(reply, Bytes{9});
  run.host.RunUntilIdle();
  EXPECT_TRUE(run.log.Entries().empty());
  EXPECT_FALSE(run.app.Reports().urlPending);
  EXPECT_NE(ReadLogText().find("Report from user 65534 refused"), std::string::npos);
}

}  // namespace
