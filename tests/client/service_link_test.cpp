// The client's side of the tunnel service's command pipe against a fake
// service (FakePipeServer with a script per command) and against the real
// Brindleway: request bytes, reply checks, the status block, the bounded
// busy wait, and the service's start when a connect finds it absent.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "client/app/client_constants.h"
#include "client/app/service_link.h"
#include "client/app/service_transaction.h"
#include "client_fixture.h"
#include "common/child_process.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "platform/service/service.h"
#include "platform/win32/win32_error.h"
#include "support/command_pipe.h"
#include "support/wire.h"

namespace {

using namespace vqtest;
using Bytes = FakePipeServer::Bytes;
namespace svc = platform::service;

// The service manager's side of a start: how often it was asked, and what
// it says.
struct FakeStarts {
  std::atomic<int> starts{0};
  uint32_t startResult = 0;
  std::vector<uint32_t> sleeps;
};

class StartOnlyManager final : public svc::ServiceManager {
 public:
  explicit StartOnlyManager(FakeStarts& f) : f_(f) {}
  uint32_t CreateService(const svc::ServiceConfig&) override { return 0; }
  uint32_t OpenService(const std::string&) override { return 0; }
  uint32_t DeleteService(const std::string&) override { return 0; }
  uint32_t QueryServiceConfig(const std::string&, svc::ServiceConfig&) override { return 0; }
  uint32_t ChangeStartType(const std::string&, uint32_t) override { return 0; }
  uint32_t StartService(const std::string&) override {
    ++f_.starts;
    return f_.startResult;
  }
  uint32_t ControlService(const std::string&, uint32_t, svc::ServiceStatus&) override { return 0; }
  uint32_t QueryServiceStatus(const std::string&, svc::ServiceStatus& out) override {
    out = svc::ServiceStatus{};
    out.currentState = svc::SERVICE_RUNNING;
    return 0;
  }

 private:
  FakeStarts& f_;
};

client::ClientApp::Settings WithFakeStarts(FakeStarts& f) {
  client::ClientApp::Settings settings;
  settings.link.openManager = [&f](uint32_t&) { return std::make_unique<StartOnlyManager>(f); };
  settings.link.sleep = [&f](uint32_t ms) { f.sleeps.push_back(ms); };
  settings.link.managerSleep = [](uint32_t) {};
  return settings;
}

Bytes Result(uint8_t command, uint32_t result) {
  Bytes reply{command, 0, 0, 0, 0};
  wire::PutU32(&reply[1], result);
  return reply;
}

FakePipeServer::Script Answer(Bytes reply) {
  return [reply](const Bytes&) { return std::optional<Bytes>(reply); };
}

// A status reply with a distinct value in every field.
Bytes FullStatus(uint32_t result = 0, uint32_t state = 4) {
  Bytes r(kInqueryReplySize, 0);
  r[0] = VQ_INQUERY;
  wire::PutU32(&r[1], result);
  wire::PutU32(&r[5], 0x0A7B0001);
  wire::PutU32(&r[9], 0x0A7B0002);
  wire::PutU32(&r[13], 13);
  wire::PutU32(&r[17], 17);
  wire::PutU32(&r[21], 2100);
  wire::PutU32(&r[25], 2500);
  wire::PutF64(&r[29], 1234.5625);
  wire::PutU32(&r[37], state);
  wire::PutU16(&r[41], 12);
  wire::PutU16(&r[43], 2);
  wire::PutU16(&r[45], 1);
  wire::PutU16(&r[47], 47);
  wire::PutU32(&r[49], 49);
  wire::PutU32(&r[53], 53);
  wire::PutU32(&r[57], 57);
  wire::PutU32(&r[61], 61);
  return r;
}

class ClientServiceLink : public ::testing::Test {
 protected:
  ClientServiceLink() : run_(WithFakeStarts(starts_)) {}
  void SetUp() override { service_ = std::make_unique<FakePipeServer>(client::kBrindlewayPipeName); }

  client::ServiceLink& link() { return run_.app.Link(); }
  // The string entries of the boxes shown so far.
  std::vector<uint32_t> Boxes() {
    run_.host.RunUntilIdle();
    std::vector<uint32_t> ids;
    for (const auto& box : run_.host.PendingBoxes()) ids.push_back(box.text.stringId);
    return ids;
  }

  FakeStarts starts_;
  ClientRun run_;
  std::unique_ptr<FakePipeServer> service_;
};

conn_info Record() {
  conn_info c;
  c.host = "gw";
  c.port = 443;
  c.auth_type = AUTH_TYPE_COOKIE;
  c.init = CONN_FLAG_NEW_SERVER_CERT;
  c.user = "u";
  c.secret1 = "c";
  return c;
}

TEST_F(ClientServiceLink, RequestBytesPerSender) {
  service_->SetScript([](const Bytes& r) { return std::optional<Bytes>(Result(r[0], 0)); });
  struct Case {
    const char* what;
    std::function<void(client::ServiceLink&)> send;
    Bytes expected;
  };
  const std::string p127(127, 'p');
  const Case cases[] = {
      {"disconnect", [](client::ServiceLink& l) { l.SendDisconnectCommand(); }, {VQ_CLOSE_CHANNEL}},
      {"status", [](client::ServiceLink& l) { l.SendInqueryCommand(); }, {VQ_INQUERY}},
      {"auto logon on", [](client::ServiceLink& l) { l.SendAutoLogonFlag(true); }, {4, 1, 0}},
      {"auto logon off", [](client::ServiceLink& l) { l.SendAutoLogonFlag(false); }, {4, 0, 0}},
      {"options' auto logon", [](client::ServiceLink& l) { l.ApplyAutoLogonFlag(true); }, {4, 1, 0}},
      {"trace mask", [](client::ServiceLink& l) { l.SendTraceMaskCommand(0x12345678); }, {5, 0x78, 0x56, 0x34, 0x12}},
  };
  for (const Case& c : cases) {
    const size_t before = service_->Messages().size();
    c.send(link());
    const auto messages = service_->Messages();
    ASSERT_EQ(messages.size(), before + 1) << c.what;
    EXPECT_EQ(messages.back(), c.expected) << c.what;
  }
}

TEST_F(ClientServiceLink, ConnectSendsTheRecord) {
  service_->SetCommandScript(VQ_OPEN_CHANNEL, Answer(Result(VQ_OPEN_CHANNEL, 0)));
  EXPECT_EQ(link().SendConnectCommand(Record()), 0);
  const Bytes m = service_->Messages().at(0);
  ASSERT_EQ(m.size(), 589u);
  EXPECT_EQ(m[0], VQ_OPEN_CHANNEL);
  EXPECT_STREQ(reinterpret_cast<const char*>(&m[1]), "gw");
  EXPECT_EQ(wire::GetU32(&m[257]), 443u);
  EXPECT_EQ(wire::GetU32(&m[261]), AUTH_TYPE_COOKIE);
  EXPECT_EQ(wire::GetU32(&m[265]), CONN_FLAG_NEW_SERVER_CERT);
  EXPECT_STREQ(reinterpret_cast<const char*>(&m[269]), "u");
  EXPECT_STREQ(reinterpret_cast<const char*>(&m[333]), "c");
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(ClientServiceLink, PasswordsOf127BytesGoAnd128AreRefused) {
  service_->SetCommandScript(VQ_CHANGE_PASSWORD, Answer(Result(VQ_CHANGE_PASSWORD, 0)));
  run_.app.SetConnUser("u");
  const std::string p127(127, 'p'), p128(128, 'p');
  EXPECT_EQ(link().SendChangePasswordCommand("old", p127), 0);
  const Bytes m = service_->Messages().at(0);
  ASSERT_EQ(m.size(), 321u);
  EXPECT_EQ(m[0], VQ_CHANGE_PASSWORD);
  EXPECT_STREQ(reinterpret_cast<const char*>(&m[1]), "u");
  EXPECT_STREQ(reinterpret_cast<const char*>(&m[65]), "old");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m[193])), p127);
  EXPECT_EQ(link().SendChangePasswordCommand("old", p128), 87);
  EXPECT_EQ(link().SendChangePasswordCommand(p128, "new"), 87);
  EXPECT_EQ(service_->Messages().size(), 1u);  // nothing sent for those
}

TEST_F(ClientServiceLink, SmsCodesBelow4095CharactersGoWithTheirNul) {
  service_->SetCommandScript(VQ_SMS_AUTH, Answer(Result(VQ_SMS_AUTH, 0)));
  service_->SetCommandScript(VQ_SMS_AUTH_REQ, Answer(Result(VQ_SMS_AUTH_REQ, 0)));
  const std::string longest(4094, '7'), tooLong(4095, '7');
  EXPECT_EQ(link().SendSmsAuthCode(longest), 0);
  EXPECT_EQ(link().SendSmsAuthCode(tooLong), -3);
  EXPECT_EQ(link().SendSmsAuthRequest(), 0);
  const auto sent = service_->Messages();
  ASSERT_EQ(sent.size(), 2u) << "nothing sent for the code that is too long";
  EXPECT_EQ(sent[0].size(), 4096u);
  EXPECT_EQ(sent[0][0], VQ_SMS_AUTH);
  EXPECT_EQ(sent[0].back(), 0);
  EXPECT_EQ(sent[1], Bytes{VQ_SMS_AUTH_REQ});
}

TEST_F(ClientServiceLink, WrongRepliesShowTheirBox) {
  struct Case {
    const char* what;
    uint8_t command;
    std::optional<Bytes> reply;
    int delayMs;
    int expected;
    uint32_t box;
  };
  const Case cases[] = {
      {"connect echo mismatch", VQ_OPEN_CHANNEL, Result(VQ_CLOSE_CHANNEL, 0), 0, -1, client::IDS_ERROR_COMMAND},
      {"connect refused record", VQ_OPEN_CHANNEL, Result(VQ_OPEN_CHANNEL, 87), 0, -1, client::IDS_ERROR_COMMAND},
      {"connect empty reply", VQ_OPEN_CHANNEL, Bytes{}, 0, -1, client::IDS_ERROR_COMMAND},
      {"connect late reply", VQ_OPEN_CHANNEL, Result(VQ_OPEN_CHANNEL, 0), 600, 997, client::IDS_CANNOT_CONNECT_SERVICE},
      {"password echo mismatch", VQ_CHANGE_PASSWORD, Result(VQ_OPEN_CHANNEL, 0), 0, -1, client::IDS_ERROR_COMMAND},
      {"password refused", VQ_CHANGE_PASSWORD, Result(VQ_CHANGE_PASSWORD, 87), 0, -1, client::IDS_ERROR_COMMAND},
  };
  for (const Case& c : cases) {
    service_ = nullptr;
    service_ = std::make_unique<FakePipeServer>(client::kBrindlewayPipeName);
    service_->SetCommandScript(c.command, Answer(*c.reply));
    service_->SetReplyDelay(c.command, c.delayMs);
    const size_t boxes = Boxes().size();
    const int result = c.command == VQ_OPEN_CHANNEL ? link().SendConnectCommand(Record())
                                                    : link().SendChangePasswordCommand("a", "b");
    EXPECT_EQ(result, c.expected) << c.what;
    const auto shown = Boxes();
    ASSERT_EQ(shown.size(), boxes + 1) << c.what;
    EXPECT_EQ(shown.back(), c.box) << c.what;
  }
}

TEST_F(ClientServiceLink, FullStatusFillsEveryAccessor) {
  service_->SetCommandScript(VQ_INQUERY, Answer(FullStatus()));
  ASSERT_EQ(link().SendInqueryCommand(), 0);
  const client::StatusBlock& s = link().Status();
  EXPECT_EQ(s.GetStatusGatewayAddress(), 0x0A7B0001u);
  EXPECT_EQ(s.GetStatusLocalAddress(), 0x0A7B0002u);
  EXPECT_EQ(s.GetStatusPacketsReceived(), 13u);
  EXPECT_EQ(s.GetStatusPacketsSent(), 17u);
  EXPECT_EQ(s.GetStatusBytesReceived(), 2100u);
  EXPECT_EQ(s.GetStatusBytesSent(), 2500u);
  EXPECT_EQ(s.GetStatusConnectedTime(), 1234.5625);
  EXPECT_EQ(run_.app.GetChannelStatus(), 4);
  EXPECT_EQ(s.GetStatusCipherId(), 12);
  EXPECT_EQ(s.GetStatusHashId(), 2);
  EXPECT_EQ(s.GetStatusProtocolId(), 1);
  EXPECT_EQ(s.GetStatusCompression(), 47);
  EXPECT_EQ(s.GetStatusCompressionCounter(0), 49u);
  EXPECT_EQ(s.GetStatusCompressionCounter(1), 53u);
  EXPECT_EQ(s.GetStatusCompressionCounter(2), 57u);
  EXPECT_EQ(s.GetStatusCompressionCounter(3), 61u);
}

TEST_F(ClientServiceLink, ShortStatusRepliesChangeNothing) {
  service_->SetCommandScript(VQ_INQUERY, Answer(FullStatus()));
  ASSERT_EQ(link().SendInqueryCommand(), 0);
  for (size_t length : {size_t{1}, size_t{64}}) {
    Bytes shortReply = FullStatus(0, 2);
    shortReply.resize(length);
    service_->SetCommandScript(VQ_INQUERY, Answer(shortReply));
    EXPECT_EQ(link().SendInqueryCommand(), -1) << length;
    EXPECT_EQ(run_.app.GetChannelStatus(), 4) << length;
    EXPECT_EQ(link().Status().GetStatusGatewayAddress(), 0x0A7B0001u) << length;
  }
  EXPECT_NE(ReadLogText().find("VQ_INQUERY Error command, iRet = 64"), std::string::npos);
}

TEST_F(ClientServiceLink, FailedStatusClearsAddressesPacketsAndTime) {
  service_->SetCommandScript(VQ_INQUERY, Answer(FullStatus()));
  ASSERT_EQ(link().SendInqueryCommand(), 0);
  service_->SetCommandScript(VQ_INQUERY, Answer(FullStatus(5)));
  EXPECT_EQ(link().SendInqueryCommand(), -1);
  const client::StatusBlock& s = link().Status();
  EXPECT_EQ(s.GetStatusGatewayAddress(), 0u);
  EXPECT_EQ(s.GetStatusLocalAddress(), 0u);
  EXPECT_EQ(s.GetStatusPacketsReceived(), 0u);
  EXPECT_EQ(s.GetStatusPacketsSent(), 0u);
  EXPECT_EQ(s.GetStatusConnectedTime(), 0.0);
  EXPECT_EQ(s.GetStatusBytesReceived(), 2100u);
  EXPECT_EQ(s.GetStatusBytesSent(), 2500u);
  EXPECT_EQ(s.GetStatusCipherId(), 12);
  EXPECT_EQ(run_.app.GetChannelStatus(), 1);

  // A late reply counts as a failed transaction.
  service_->SetCommandScript(VQ_INQUERY, Answer(FullStatus()));
  ASSERT_EQ(link().SendInqueryCommand(), 0);
  service_->SetReplyDelay(VQ_INQUERY, 600);
  EXPECT_EQ(link().SendInqueryCommand(), 997);
  EXPECT_EQ(s.GetStatusGatewayAddress(), 0u);
  EXPECT_EQ(run_.app.GetChannelStatus(), 1);
}

TEST_F(ClientServiceLink, BusyPipeGivesUpWithin600Ms) {
  service_ = nullptr;
  // A server that never accepts: its queue fills.
  platform::pipe::PipeServer stalled;
  ASSERT_EQ(stalled.Create(client::kBrindlewayPipeName, 0600), 0u);
  std::vector<platform::pipe::PipeConnection> queued;
  for (int i = 0; i < 1000; ++i) {
    platform::pipe::PipeConnection c;
    if (platform::pipe::Connect(client::kBrindlewayPipeName, c, 0) != 0) break;
    queued.push_back(std::move(c));
  }
  const auto start = std::chrono::steady_clock::now();
  std::vector<uint8_t> reply;
  EXPECT_EQ(client::TransactWithBrindleway({VQ_INQUERY}, reply), platform::ERROR_PIPE_BUSY);
  EXPECT_LT(MsSince(start), 600);
  EXPECT_EQ(link().SendInqueryCommand(), static_cast<int>(platform::ERROR_PIPE_BUSY));
}

TEST_F(ClientServiceLink, AbsentServiceStartedSevenTimesThenBox) {
  service_ = nullptr;  // the service starts but never serves its pipe
  EXPECT_EQ(link().SendConnectCommand(Record()), static_cast<int>(platform::ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(starts_.starts.load(), client::kServiceStartTries);
  EXPECT_EQ(starts_.sleeps, std::vector<uint32_t>(6, 1000));
  EXPECT_EQ(Boxes(), std::vector<uint32_t>{client::IDS_CANNOT_CONNECT_SERVICE});
}

TEST_F(ClientServiceLink, RefusedStartEndsTheTriesAtOnce) {
  service_ = nullptr;
  starts_.startResult = platform::ERROR_ACCESS_DENIED;
  EXPECT_EQ(link().SendConnectCommand(Record()), static_cast<int>(platform::ERROR_ACCESS_DENIED));
  EXPECT_EQ(starts_.starts.load(), 1);
  EXPECT_TRUE(starts_.sleeps.empty());
  EXPECT_EQ(Boxes(), std::vector<uint32_t>{client::IDS_CANNOT_CONNECT_SERVICE});
}

// The real service layer and the real tunnel service.
TEST(ClientServiceLinkReal, NoServiceAtAllIsOneTryAndBox) {
  ClientRun run;
  EXPECT_EQ(run.app.Link().SendConnectCommand(Record()), static_cast<int>(platform::ERROR_SERVICE_DOES_NOT_EXIST));
  run.host.RunUntilIdle();
  ASSERT_EQ(run.host.PendingBoxes().size(), 1u);
  EXPECT_EQ(run.host.PendingBoxes()[0].text.stringId, client::IDS_CANNOT_CONNECT_SERVICE);
}

TEST(ClientServiceLinkReal, ConsoleServiceAnswersTheStatus) {
  ClientRun run;
  ChildProcess service({BRINDLEWAY_PATH});
  ASSERT_TRUE(Eventually([&run] { return run.app.Link().SendInqueryCommand() == 0; }));
  EXPECT_EQ(run.app.GetChannelStatus(), 1);
  EXPECT_EQ(run.app.Link().Status().GetStatusGatewayAddress(), 0u);
  run.app.Link().SendTraceMaskCommand(2);
  ASSERT_EQ(run.app.Link().SendInqueryCommand(), 0);
  EXPECT_TRUE(Eventually([] { return ReadLogText().find("Receive keep-alive message from GUI") != std::string::npos; }));
  // An open to a port nobody listens on is still an accepted open.
  conn_info c = Record();
  c.host = "127.0.0.1";
  c.port = 9;
  EXPECT_EQ(run.app.Link().SendConnectCommand(c), 0);
  run.host.RunUntilIdle();
  EXPECT_TRUE(run.host.PendingBoxes().empty());
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(20000), 0);
}

TEST(ClientServiceLinkReal, StoppedServiceIsStartedThroughTheSupervisor) {
  ClientRun run;
  ASSERT_EQ(RunProgram({BRINDLEWAY_PATH, "-s", "install"}), 0);
  EXPECT_EQ(run.app.Link().SendConnectCommand(Record()), 0);
  run.host.RunUntilIdle();
  EXPECT_TRUE(run.host.PendingBoxes().empty());
  EXPECT_EQ(run.app.Link().RunNetStop(), 0u);
  EXPECT_EQ(RunProgram({BRINDLEWAY_PATH, "-s", "uninstall"}), 0);
}

}  // namespace
