// The command pipe's requests: what each one changes, what it posts to the
// channel thread and what it answers, byte for byte; malformed requests
// change nothing; whole messages up to the pipe's limit over a real pipe.
#include "Brindleway/service/gui_command.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstring>
#include <thread>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/status_session.h"
#include "common/temp_root.h"
#include "platform/pipe/pipe.h"
#include "support/conn_info_codec.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;

struct Posted {
  uint32_t message;
  std::any data;
};

class GuiCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { LogInit(nullptr); }
  void TearDown() override { g_dwDebugTraceMask = 0; }

  Bytes Run(const Bytes& request) {
    Bytes reply;
    ProcessGuiCommand(request, reply, target_);
    return reply;
  }
  static Bytes Ok(uint8_t command) { return {command, 0, 0, 0, 0}; }
  static Bytes Refused(uint8_t command) { return {command, 87, 0, 0, 0}; }

  vqtest::TempRoot root_;
  ChannelContext ctx_;
  StatusSession session_;
  std::vector<Posted> posted_;
  GuiCommandTarget target_{ctx_, session_, [this](uint32_t m, uintptr_t, std::any d) {
                             posted_.push_back({m, std::move(d)});
                             return true;
                           }};
};

Bytes OpenRequest(const conn_info& info) {
  Bytes request(1 + conn_info::kWireSize);
  request[0] = VQ_OPEN_CHANNEL;
  EXPECT_TRUE(EncodeConnInfo(info, request.data() + 1));
  return request;
}

TEST_F(GuiCommandTest, OpenPostsTheRecordWithoutCommittingIt) {
  conn_info running;
  running.host = "running.example";
  ctx_.connInfo.Set(running);
  conn_info info;
  info.host = "gw.example";
  info.port = 4433;
  info.auth_type = 1;
  EXPECT_EQ(Run(OpenRequest(info)), Ok(VQ_OPEN_CHANNEL));
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_EQ(posted_[0].message, WM_CHANNEL_OPEN);
  EXPECT_EQ(std::any_cast<conn_info>(posted_[0].data).host, "gw.example");
  EXPECT_EQ(std::any_cast<conn_info>(posted_[0].data).port, 4433u);
  // The running channel's record stays until the channel thread accepts.
  EXPECT_EQ(ctx_.connInfo.Get().host, "running.example");
}

TEST_F(GuiCommandTest, MalformedRequestsChangeNothing) {
  conn_info running;
  running.host = "running.example";
  running.init = CONN_FLAG_AUTO_LOGON;
  ctx_.connInfo.Set(running);

  Bytes unterminatedHost = OpenRequest(running);
  std::memset(unterminatedHost.data() + 1, 'h', 256);
  Bytes unterminatedPassword(1 + 320, 0);
  unterminatedPassword[0] = VQ_CHANGE_PASSWORD;
  std::memset(unterminatedPassword.data() + 1 + 192, 'p', 128);
  struct Case {
    const char* name;
    Bytes request;
    Bytes reply;
  };
  const Case cases[] = {
      {"open, one byte short", Bytes(conn_info::kWireSize, VQ_OPEN_CHANNEL), Refused(VQ_OPEN_CHANNEL)},
      {"open, command byte only", {VQ_OPEN_CHANNEL}, Refused(VQ_OPEN_CHANNEL)},
      {"open, unterminated host", unterminatedHost, Refused(VQ_OPEN_CHANNEL)},
      {"auto logon without its value", {VQ_SET_AUTO_LOGON, 1}, Refused(VQ_SET_AUTO_LOGON)},
      {"trace mask short", {VQ_SET_TRACE_MASK, 7, 0, 0}, Refused(VQ_SET_TRACE_MASK)},
      {"password record short", {VQ_CHANGE_PASSWORD, 'a'}, Refused(VQ_CHANGE_PASSWORD)},
      {"password unterminated", unterminatedPassword, Refused(VQ_CHANGE_PASSWORD)},
      {"unknown command", {0x42, 1, 2, 3}, {0x42}},
      {"command 0", {0}, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Run(c.request), c.reply);
  }
  EXPECT_TRUE(posted_.empty());
  EXPECT_EQ(ctx_.connInfo.Get().host, "running.example");
  EXPECT_EQ(ctx_.connInfo.Get().init, CONN_FLAG_AUTO_LOGON);
  EXPECT_EQ(g_dwDebugTraceMask.load(), 0u);
}

TEST_F(GuiCommandTest, AutoLogonTouchesOnlyItsFlag) {
  conn_info info;
  info.init = CONN_FLAG_NEW_SERVER_CERT | CONN_FLAG_USB_KEY | CONN_FLAG_USB_KEY_ONLY;
  ctx_.connInfo.Set(info);
  EXPECT_EQ(Run({VQ_SET_AUTO_LOGON, 2, 0}), Ok(VQ_SET_AUTO_LOGON));
  EXPECT_EQ(ctx_.connInfo.Get().init, info.init | CONN_FLAG_AUTO_LOGON);
  EXPECT_EQ(Run({VQ_SET_AUTO_LOGON, 0, 1}), Ok(VQ_SET_AUTO_LOGON));  // 0x0100 is not zero
  EXPECT_EQ(ctx_.connInfo.Get().init, info.init | CONN_FLAG_AUTO_LOGON);
  EXPECT_EQ(Run({VQ_SET_AUTO_LOGON, 0, 0}), Ok(VQ_SET_AUTO_LOGON));
  EXPECT_EQ(ctx_.connInfo.Get().init, info.init);
}

TEST_F(GuiCommandTest, TraceMaskTakesEffect) {
  EXPECT_EQ(Run({VQ_SET_TRACE_MASK, 0x02, 0, 0, 0}), Ok(VQ_SET_TRACE_MASK));
  EXPECT_EQ(g_dwDebugTraceMask.load(), 2u);
  ctx_.guiWatchdogCount = 3;
  Run({VQ_INQUERY});
  EXPECT_EQ(ctx_.guiWatchdogCount.load(), 10);
  const std::string log = vqtest::ReadFileBytes(LogFilePath());
  // The timing line is written in UTF-16LE: look for its first letters.
  EXPECT_NE(log.find(std::string("R\0e\0c\0e\0i\0v\0e\0 \0k\0e\0e\0p\0", 24)), std::string::npos);
}

TEST_F(GuiCommandTest, IdleStatusReplyAndEveryOffset) {
  const Bytes idle = Run({VQ_INQUERY});
  Bytes expected(65, 0);
  expected[0] = VQ_INQUERY;
  expected[37] = 1;  // channel state idle
  EXPECT_EQ(idle, expected);

  ChannelStatus& s = session_.status;
  s.gatewayAddress = 0x0100A8C0;  // 192.168.0.1 as the socket layer holds it
  s.localAddress = 0x0200000A;
  s.packetsReceived = 0x11121314;
  s.packetsSent = 0x21222324;
  s.bytesReceived = 0x31323334;
  s.bytesSent = 0x41424344;
  s.connectedSeconds = 1.5;
  s.cipherId = 0x5152;
  s.hashId = 0x6162;
  s.protocolId = 5;
  s.compression0 = 0x7172;
  s.compression[0] = 0x81828384;
  s.compression[1] = 0x91929394;
  s.compression[2] = 0xA1A2A3A4;
  s.compression[3] = 0xB1B2B3B4;
  ctx_.channelState = CHANNEL_STATE_CONNECTED;
  const Bytes r = Run({VQ_INQUERY});
  ASSERT_EQ(r.size(), 65u);
  const Bytes head{3, 0, 0, 0, 0, 0xC0, 0xA8, 0x00, 0x01, 0x0A, 0x00, 0x00, 0x02,
                   0x14, 0x13, 0x12, 0x11, 0x24, 0x23, 0x22, 0x21, 0x34, 0x33, 0x32, 0x31, 0x44, 0x43, 0x42, 0x41};
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 29), head);
  EXPECT_EQ(wire::GetF64(&r[29]), 1.5);
  const Bytes tail{4, 0, 0, 0, 0x52, 0x51, 0x62, 0x61, 5, 0, 0x72, 0x71, 0x84, 0x83, 0x82, 0x81,
                   0x94, 0x93, 0x92, 0x91, 0xA4, 0xA3, 0xA2, 0xA1, 0xB4, 0xB3, 0xB2, 0xB1};
  EXPECT_EQ(Bytes(r.begin() + 37, r.end()), tail);
}

TEST_F(GuiCommandTest, CloseZeroesTheRecordAndRequestsArePosted) {
  conn_info info;
  info.host = "gw.example";
  ctx_.connInfo.Set(info);
  EXPECT_EQ(Run({VQ_CLOSE_CHANNEL}), Ok(VQ_CLOSE_CHANNEL));
  EXPECT_TRUE(ctx_.connInfo.Get().host.empty());

  Bytes password(1 + 320, 0);
  password[0] = VQ_CHANGE_PASSWORD;
  EncodeChangePwdInfo({"bob", "old", "new"}, password.data() + 1);
  EXPECT_EQ(Run(password), Ok(VQ_CHANGE_PASSWORD));

  Bytes sms{VQ_SMS_AUTH, '1', '2', '3', 0, '9'};
  EXPECT_EQ(Run(sms), Ok(VQ_SMS_AUTH));
  Bytes longSms(4096, '7');
  longSms[0] = VQ_SMS_AUTH;  // 4095 digits, no terminator: bounded by the message
  EXPECT_EQ(Run(longSms), Ok(VQ_SMS_AUTH));
  EXPECT_EQ(Run({VQ_SMS_AUTH_REQ}), Ok(VQ_SMS_AUTH_REQ));

  ASSERT_EQ(posted_.size(), 5u);
  EXPECT_EQ(posted_[0].message, WM_CHANNEL_CLOSE);
  EXPECT_EQ(posted_[1].message, WM_CHANNEL_NEW_PASSWORD);
  EXPECT_EQ(std::any_cast<change_pwd_info>(posted_[1].data).old_password, "old");
  EXPECT_EQ(posted_[2].message, WM_CHANNEL_SMS_AUTH);
  EXPECT_EQ(std::any_cast<std::string>(posted_[2].data), "123");
  EXPECT_EQ(std::any_cast<std::string>(posted_[3].data), std::string(4095, '7'));
  EXPECT_EQ(posted_[4].message, WM_CHANNEL_SMS_AUTH_REQ);
}

TEST_F(GuiCommandTest, OverTheRealPipeWholeMessagesUpToTheLimit) {
  platform::pipe::PipeServer server;
  ASSERT_EQ(server.Create("\\\\.\\pipe\\GuiCommandTest", 0600), 0u);
  platform::Event stop(platform::Event::Reset::Manual);
  std::thread serving([&] {
    for (int i = 0; i < 2; ++i) {
      platform::pipe::PipeConnection connection;
      if (server.Accept(connection, stop) != 0) return;
      GuiCommandThread(std::move(connection), stop, target_);
    }
  });

  platform::pipe::PipeConnection client;
  ASSERT_EQ(platform::pipe::Connect("\\\\.\\pipe\\GuiCommandTest", client, 2000), 0u);
  Bytes reply;
  // 4096 bytes: read whole, answered.
  Bytes full(4096, 0x42);
  ASSERT_EQ(client.Write(full), 0u);
  ASSERT_EQ(client.Read(reply, 4096, 2000), 0u);
  EXPECT_EQ(reply, Bytes{0x42});
  // Several requests on one connection.
  ASSERT_EQ(client.Write(Bytes{VQ_INQUERY}), 0u);
  ASSERT_EQ(client.Read(reply, 4096, 2000), 0u);
  EXPECT_EQ(reply.size(), 65u);
  client.Close();

  // 4097 bytes: refused by the writer before it reaches the pipe; a raw
  // oversize datagram drops the connection.
  platform::pipe::PipeConnection second;
  ASSERT_EQ(platform::pipe::Connect("\\\\.\\pipe\\GuiCommandTest", second, 2000), 0u);
  Bytes oversize(4097, VQ_INQUERY);
  EXPECT_NE(second.Write(oversize), 0u);
  ASSERT_EQ(::send(second.Fd(), oversize.data(), oversize.size(), MSG_NOSIGNAL), 4097);
  EXPECT_EQ(second.Read(reply, 4096, 2000), 0u);
  EXPECT_TRUE(reply.empty());  // the server closed its end without answering
  serving.join();
}

}  // namespace
}  // namespace brindleway
