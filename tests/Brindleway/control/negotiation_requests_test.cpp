// The negotiation requests against the test gateway on loopback: what each
// one writes, how its wait ends (reached, refused, timed out on time), the
// read step's one-message-per-call framing and the per-session request lock.
// A small stand-in dispatch moves the negotiation state the way the gateway's
// answers would.
#include "Brindleway/control/negotiation_requests.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/ctrl_message.h"
#include "Brindleway/control/tls_context.h"
#include "Brindleway/recording_gui_reports.h"
#include "common/eventually.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "gateway/gateway_codec.h"
#include "gateway/scripted_replies.h"
#include "gateway/tls_gateway.h"
#include "support/log.h"
#include "support/registry_helpers.h"

namespace brindleway {
namespace {

using vqgw::Action;
using vqgw::Bytes;
using vqgw::GatewayOptions;
using vqgw::TlsGateway;

// What the gateway's answers do to the session, reduced to the states and
// flags the requests wait on.
int StandInDispatch(CChannelSession& s, const uint8_t* bytes, size_t length) {
  CtrlMessage m;
  if (const int r = m.Load(bytes, length); r != 0) return r;
  if (const int r = m.Parse(); r != 0) return r;
  uint32_t status = 0;
  m.GetU32(CM_PAYLOAD_STATUS, status);
  const uint16_t type = m.GetType();
  if ((m.GetFlags() & CTRLMSG_FLAG_RESPONSE) != 0) {
    if ((s.m_dwResponseFlags & CChannelSession::kResponseAwaited) == 0 || type != s.m_wExpectedResponse) {
      return VQ_ERR_PROTOCOL_MISMATCH;
    }
    s.m_dwResponseFlags &= ~CChannelSession::kResponseAwaited;
    switch (type) {
      case CTRLMSG_TYPE_AUTH:
        if (status != 0) {
          s.m_iState = NEG_STATE_FAILED;
          return VQ_ERR_AUTH_FAILED;
        }
        m.GetU32(CM_PAYLOAD_SESSION_ID, s.m_dwSessionId);
        s.m_iState = NEG_STATE_AUTHENTICATED;
        return 0;
      case CTRLMSG_TYPE_CLIENT_INFO:
        s.m_iState = NEG_STATE_CLIENT_INFO_DONE;
        return 0;
      case CTRLMSG_TYPE_NEW_KEY:
      case CTRLMSG_TYPE_REKEY:
        s.m_iState = status == 0 ? NEG_STATE_KEY_DONE : NEG_STATE_KEY_REFUSED;
        return status == 0 ? 0 : VQ_ERR_NEW_KEY_FAILED;
      case CTRLMSG_TYPE_KEEPALIVE:
        if (status != 1) return VQ_ERR_HEARTBEAT_FAILED;
        s.m_iState = NEG_STATE_HEARTBEAT_ANSWERED;
        return 0;
      case CTRLMSG_TYPE_CHANGE_PWD_RSP:
        if (status == 0) s.m_iState = NEG_STATE_PASSWORD_CHANGED;
        return 0;
      case CTRLMSG_TYPE_SMS_AUTH_REQ_RSP:
        if (status == 0) s.m_iState = NEG_STATE_SMS_CODE_SENT;
        return 0;
      case CTRLMSG_TYPE_SMS_AUTH_RSP:
        if (status == 0) s.m_iState = NEG_STATE_AUTHENTICATED;
        return 0;
      default:
        return 0;
    }
  }
  const uint8_t* value = nullptr;
  uint16_t valueLength = 0;
  switch (type) {
    case CTRLMSG_TYPE_SET_IP:
      s.m_bSetIpSeen = true;
      return 0;
    case CTRLMSG_TYPE_KEY_DONE:
      s.m_iState = status == 0 ? NEG_STATE_KEY_READY : NEG_STATE_FAILED;
      return 0;
    case CTRLMSG_TYPE_HOST_CHECK:
      if (m.GetPayload(CM_PAYLOAD_HOST_CHECK_MD5, value, valueLength) == 0) {
        s.m_iState = NEG_STATE_HOST_CHECK_DIGEST;
      } else if (m.GetU32(CM_PAYLOAD_HOST_CHECK_FILESIZE, s.m_dwHostCheckTotal) == 0) {
        s.m_dwHostCheckReceived = 0;
        if (m.GetPayload(CM_PAYLOAD_HOST_CHECK_DATA, value, valueLength) == 0)
          s.m_dwHostCheckReceived = valueLength - 4;
        s.m_iState = NEG_STATE_HOST_CHECK_LENGTH;
      } else if (m.GetPayload(CM_PAYLOAD_HOST_CHECK_DATA, value, valueLength) == 0) {
        s.m_dwHostCheckReceived += valueLength - 4u;
        s.m_iState = NEG_STATE_HOST_CHECK_DATA;
      }
      return 0;
    default:
      return 0;
  }
}

constexpr int64_t kShortWaitMs = 300;

class NegotiationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    SetStoredServerCertCheck([](X509*) { return 1; });
    g_btProtocolVersion = 0x10;
  }
  void TearDown() override {
    SetStoredServerCertCheck(nullptr);
    g_btProtocolVersion = 0;
  }

  // A session connected to a gateway that plays script.
  void Connect(std::vector<Action> script) {
    GatewayOptions options;
    options.script = std::move(script);
    gateway_.emplace(std::move(options));
    session_.emplace(reports_);
    session_->SetRequestWaitMs(kShortWaitMs);
    CChannelSession& s = *session_;
    session_->SetMessageHandler([&s](const uint8_t* b, size_t n) { return StandInDispatch(s, b, n); });
    ASSERT_EQ(session_->ConnectChannel("127.0.0.1", gateway_->Port(), 0), 0);
    ASSERT_TRUE(gateway_->WaitConnections(1));
  }
  // The messages the gateway received, once the client has closed.
  std::vector<Bytes> ReceivedAfterClose(size_t connection = 0) {
    session_->CloseChannel();
    EXPECT_TRUE(gateway_->WaitFinished(connection));
    return gateway_->Connections()[connection].received;
  }

  vqtest::TempRoot root_;
  RecordingGuiReports reports_;
  std::optional<TlsGateway> gateway_;
  std::optional<CChannelSession> session_;
};

TEST_F(NegotiationTest, LoginPayloadsAreExactForEachAuthenticationType) {
  const struct {
    uint32_t authType;
    bool productVer;
    const char* hostId;
    bool reconnecting;
    uint16_t secretPayload;
  } cases[] = {
      {AUTH_TYPE_PASSWORD, true, "0123456789abcdef0123456789abcdef", false, CM_PAYLOAD_PASSWORD},
      {AUTH_TYPE_COOKIE, true, "0123456789abcdef0123456789abcdef", true, CM_PAYLOAD_COOKIE},
      {AUTH_TYPE_USB_KEY_ONLY, true, "0123456789abcdef0123456789abcdef", false, CM_PAYLOAD_PASSWORD},
      // Without a product version or a host identifier those payloads are left out.
      {AUTH_TYPE_PASSWORD, false, "", false, CM_PAYLOAD_PASSWORD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "auth type " << c.authType << " productVer " << c.productVer);
    if (c.productVer) {
      ASSERT_EQ(RegWriteProductValue("ProductVer", "5.1.2"), 0);
    } else {
      RegDeleteProductValue("ProductVer");
    }
    Connect(vqgw::AnswerNext(vqgw::LoginReply({.sessionId = 0x0A0B0C0D})));
    session_->m_strHostId = c.hostId;
    session_->m_strHostName = "host-7";
    session_->m_dwSessionId = 0x11223344;
    g_btProtocolVersion = 0;

    EXPECT_EQ(SendLogin(*session_, c.authType, "alice", "s3cret!", c.reconnecting), 0);
    EXPECT_EQ(session_->m_iState, NEG_STATE_AUTHENTICATED);
    EXPECT_EQ(session_->m_dwSessionId, 0x0A0B0C0Du);

    vqgw::Message expected;
    expected.version = 0x10;
    expected.type = vqgw::kMsgAuth;
    expected.AddU16(CM_PAYLOAD_AUTH_TYPE, static_cast<uint16_t>(c.authType));
    expected.AddText(CM_PAYLOAD_USER_NAME, "alice");
    expected.AddText(c.secretPayload, "s3cret!");
    if (c.productVer) expected.AddText(CM_PAYLOAD_PRODUCT_VER, "5.1.2");
    if (*c.hostId != '\0') expected.AddText(CM_PAYLOAD_HOST_ID, c.hostId);
    expected.AddText(CM_PAYLOAD_HOST_NAME, "host-7");
    if (c.reconnecting) expected.AddU32(CM_PAYLOAD_SESSION_ID, 0x11223344);
    const std::vector<Bytes> received = ReceivedAfterClose();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], vqgw::Encode(expected));
  }
  const std::string log = vqtest::ReadLogText();
  EXPECT_NE(log.find("Get product version failed"), std::string::npos);
  EXPECT_NE(log.find("Cannot Get HostID"), std::string::npos);
}

TEST_F(NegotiationTest, InvalidAuthenticationTypeSendsNothing) {
  Connect(vqgw::SilentNext());
  EXPECT_EQ(SendLogin(*session_, 4, "alice", "pw", false), VQ_ERR_AUTH_FAILED);
  EXPECT_TRUE(ReceivedAfterClose().empty());
}

TEST_F(NegotiationTest, RefusedLoginEndsWithTheDispatchCode) {
  Connect(vqgw::AnswerNext(vqgw::LoginReply({.status = vqgw::kStatusBadCredentials})));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SendLogin(*session_, AUTH_TYPE_PASSWORD, "alice", "pw", false), VQ_ERR_AUTH_FAILED);
  EXPECT_LT(vqtest::MsSince(start), kShortWaitMs);
  EXPECT_EQ(session_->m_iState, NEG_STATE_FAILED);
}

TEST_F(NegotiationTest, ResponseOfAnotherTypeEndsTheLogin) {
  Connect(vqgw::AnswerNext(vqgw::ClientInfoReply()));
  EXPECT_EQ(SendLogin(*session_, AUTH_TYPE_PASSWORD, "alice", "pw", false), VQ_ERR_PROTOCOL_MISMATCH);
}

TEST_F(NegotiationTest, EachRequestTimesOutOnTimeAgainstASilentGateway) {
  std::atomic<uint32_t> connected{CHANNEL_STATE_CONNECTED};
  const struct {
    const char* name;
    uint8_t state;
    std::function<int(CChannelSession&)> request;
    int timeoutCode;
  } cases[] = {
      {"login", NEG_STATE_CONNECTED, [](CChannelSession& s) { return SendLogin(s, 1, "u", "p", false); },
       VQ_ERR_LOGIN_TIMEOUT},
      {"client info", NEG_STATE_AUTHENTICATED, [](CChannelSession& s) { return SendClientInfo(s); },
       VQ_ERR_CLIENT_INFO_TIMEOUT},
      {"client parameters", NEG_STATE_CLIENT_INFO_DONE, [](CChannelSession& s) { return WaitClientParameters(s); },
       VQ_ERR_CLIENT_PARAMS_TIMEOUT},
      {"new key", NEG_STATE_KEY_READY, [](CChannelSession& s) { return SendNewKey(s, 0, 1); }, VQ_ERR_NEW_KEY_TIMEOUT},
      {"rekey", NEG_STATE_IDLE, [](CChannelSession& s) { return SendNewKey(s, 1, 1); }, VQ_ERR_NEW_KEY_TIMEOUT},
      {"heart-beat", NEG_STATE_IDLE, [&](CChannelSession& s) { return SendHeartBeat(s, connected); },
       VQ_ERR_HEARTBEAT_TIMEOUT},
      {"sms request", NEG_STATE_CONNECTED, [](CChannelSession& s) { return RequestSmsCode(s); }, VQ_ERR_SMS_TIMEOUT},
      {"sms code", NEG_STATE_CONNECTED, [](CChannelSession& s) { return SendSmsCode(s, "123456"); },
       VQ_ERR_SMS_TIMEOUT},
      {"host-check digest", NEG_STATE_CLIENT_INFO_DONE, [](CChannelSession& s) { return WaitHostCheckDigest(s); }, -1},
      {"host-check answer", NEG_STATE_CLIENT_INFO_DONE, [](CChannelSession& s) { return WaitHostCheckAnswer(s); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Connect(vqgw::SilentNext());
    session_->m_iState = c.state;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.request(*session_), c.timeoutCode);
    const int64_t elapsed = vqtest::MsSince(start);
    EXPECT_GE(elapsed, kShortWaitMs);
    // Far from the 30 s a lost deadline would take; the pause is cut to what is left.
    EXPECT_LT(elapsed, kShortWaitMs + 1000);
  }
}

TEST_F(NegotiationTest, HeartBeatOutsideTheConnectedStateSendsNothing) {
  Connect(vqgw::SilentNext());
  session_->m_iState = NEG_STATE_IDLE;
  std::atomic<uint32_t> reconnecting{CHANNEL_STATE_RECONNECTING};
  EXPECT_EQ(SendHeartBeat(*session_, reconnecting), 0);
  EXPECT_TRUE(ReceivedAfterClose().empty());
}

TEST_F(NegotiationTest, WithoutAConnectionNothingIsWrittenOrRead) {
  CChannelSession idle(reports_);
  idle.SetRequestWaitMs(kShortWaitMs);
  idle.m_iState = NEG_STATE_IDLE;
  std::atomic<uint32_t> connected{CHANNEL_STATE_CONNECTED};
  EXPECT_EQ(SendHeartBeat(idle, connected), VQ_ERR_HEARTBEAT_FAILED);
  idle.m_iState = NEG_STATE_CONNECTED;
  EXPECT_EQ(SendLogin(idle, AUTH_TYPE_PASSWORD, "u", "p", false), VQ_ERR_SEND);
  EXPECT_EQ(SendChannelData(idle, nullptr, 4), -1);
  EXPECT_EQ(idle.ReadChannel(), 0);
  EXPECT_EQ(SendLogout(idle), 0);
}

TEST_F(NegotiationTest, AnsweredHeartBeatReturnsToIdle) {
  Connect(vqgw::AnswerNext(vqgw::HeartBeatReply()));
  session_->m_iState = NEG_STATE_IDLE;
  std::atomic<uint32_t> connected{CHANNEL_STATE_CONNECTED};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SendHeartBeat(*session_, connected), 0);
  // The answer wakes the wait; it does not sit out a whole pause.
  EXPECT_LT(vqtest::MsSince(start), 900);
  EXPECT_EQ(session_->m_iState, NEG_STATE_IDLE);
  const std::vector<Bytes> received = ReceivedAfterClose();
  ASSERT_EQ(received.size(), 1u);
  const auto message = vqgw::Decode(received[0]);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->type, vqgw::kMsgKeepAlive);
  EXPECT_EQ(message->U32(CM_PAYLOAD_KEEPALIVE), 1u);
}

TEST_F(NegotiationTest, KeyExchangeAndRekeyCarryFreshKeysAndTheRekeyTheSessionId) {
  Connect({Action::Read(1), Action::Send(vqgw::KeyReply(vqgw::kMsgNewKey)), Action::Read(1),
           Action::Send(vqgw::KeyReply(vqgw::kMsgRekey))});
  session_->m_iState = NEG_STATE_KEY_READY;
  session_->m_dwSessionId = 0x55667788;
  ASSERT_EQ(SendNewKey(*session_, 0, 0x0102), 0);
  EXPECT_EQ(session_->m_iState, NEG_STATE_IDLE);
  const uint32_t firstSpi = session_->m_dwLocalSpi;
  const std::array<uint8_t, 48> firstKey = session_->m_keyMaterial;

  ASSERT_EQ(SendNewKey(*session_, 1, 0x0304), 0);
  EXPECT_EQ(session_->m_iState, NEG_STATE_IDLE);
  EXPECT_NE(session_->m_dwLocalSpi, firstSpi);
  EXPECT_NE(session_->m_keyMaterial, firstKey);

  const std::vector<Bytes> received = ReceivedAfterClose();
  ASSERT_EQ(received.size(), 2u);
  const uint32_t spis[2] = {firstSpi, session_->m_dwLocalSpi};
  const std::array<uint8_t, 48> keys[2] = {firstKey, session_->m_keyMaterial};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const auto m = vqgw::Decode(received[static_cast<size_t>(i)]);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, i == 0 ? vqgw::kMsgNewKey : vqgw::kMsgRekey);
    std::vector<uint16_t> order;
    for (const auto& p : m->payloads) order.push_back(p.type);
    std::vector<uint16_t> expectedOrder = {CM_PAYLOAD_KEY_FORMAT, CM_PAYLOAD_KEY_MATERIAL, CM_PAYLOAD_SPI,
                                           CM_PAYLOAD_IPCOMP_CPI};
    if (i == 1) expectedOrder.push_back(CM_PAYLOAD_SESSION_ID);
    EXPECT_EQ(order, expectedOrder);
    EXPECT_EQ(m->U16(CM_PAYLOAD_KEY_FORMAT), 3);
    EXPECT_EQ(m->Find(CM_PAYLOAD_KEY_MATERIAL)->value, Bytes(keys[i].begin(), keys[i].end()));
    EXPECT_EQ(m->U32(CM_PAYLOAD_SPI), spis[i]);
    EXPECT_NE(spis[i], 0u);
    EXPECT_LE(spis[i], 0x7FFFFFFFu);
    EXPECT_EQ(m->U16(CM_PAYLOAD_IPCOMP_CPI), i == 0 ? 0x0102 : 0x0304);
    if (i == 1) {
      EXPECT_EQ(m->U32(CM_PAYLOAD_SESSION_ID), 0x55667788u);
    }
  }
}

TEST_F(NegotiationTest, RefusedKeyIsTheDispatchCode) {
  Connect(vqgw::AnswerNext(vqgw::KeyReply(vqgw::kMsgNewKey, -1)));
  session_->m_iState = NEG_STATE_KEY_READY;
  EXPECT_EQ(SendNewKey(*session_, 0, 1), VQ_ERR_NEW_KEY_FAILED);
  EXPECT_EQ(session_->m_iState, NEG_STATE_KEY_REFUSED);
}

TEST_F(NegotiationTest, FullSequenceReachesTheIdleState) {
  Connect({Action::Read(1), Action::Send(vqgw::LoginReply()), Action::Read(1), Action::Send(vqgw::ClientInfoReply()),
           Action::Send(vqgw::KeyDone())});
  ASSERT_EQ(SendLogin(*session_, AUTH_TYPE_PASSWORD, "alice", "pw", false), 0);
  ASSERT_EQ(SendClientInfo(*session_), 0);
  ASSERT_EQ(WaitClientParameters(*session_), 0);
  EXPECT_EQ(session_->m_iState, NEG_STATE_KEY_READY);
  const std::vector<Bytes> received = ReceivedAfterClose();
  ASSERT_EQ(received.size(), 2u);
  const auto info = vqgw::Decode(received[1]);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->type, vqgw::kMsgClientInfo);
  // The addresses as they lie: the gateway sees its own and the client's.
  const vqgw::ConnectionRecord record = gateway_->Connections()[0];
  const Bytes local(reinterpret_cast<const uint8_t*>(&record.peer.sin_addr.s_addr),
                    reinterpret_cast<const uint8_t*>(&record.peer.sin_addr.s_addr) + 4);
  const Bytes server(reinterpret_cast<const uint8_t*>(&record.local.sin_addr.s_addr),
                     reinterpret_cast<const uint8_t*>(&record.local.sin_addr.s_addr) + 4);
  EXPECT_EQ(info->Find(CM_PAYLOAD_CLIENT_IPV4)->value, local);
  EXPECT_EQ(info->Find(CM_PAYLOAD_SERVER_IPV4)->value, server);
}

TEST_F(NegotiationTest, SmsRequestThenCodeAuthenticates) {
  Connect(
      {Action::Read(1), Action::Send(vqgw::SmsRequestReply()), Action::Read(1), Action::Send(vqgw::SmsCodeReply())});
  session_->m_iState = NEG_STATE_AUTHENTICATED;  // any state will do for the request
  ASSERT_EQ(RequestSmsCode(*session_), 0);
  EXPECT_EQ(session_->m_iState, NEG_STATE_CONNECTED);
  ASSERT_EQ(SendSmsCode(*session_, "424242"), 0);
  EXPECT_EQ(session_->m_iState, NEG_STATE_AUTHENTICATED);
  const std::vector<Bytes> received = ReceivedAfterClose();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(vqgw::Decode(received[0])->U32(CM_PAYLOAD_STATUS), 1u);
  EXPECT_EQ(vqgw::Decode(received[1])->Text(CM_PAYLOAD_SMS_CODE), "424242");
}

TEST_F(NegotiationTest, LogoutGoesOnTheDataChannelOnlyForVersion2Gateways) {
  for (const uint8_t version : {uint8_t{0x10}, uint8_t{0x20}}) {
    SCOPED_TRACE(static_cast<int>(version));
    Connect(vqgw::SilentNext());
    g_btProtocolVersion = version;
    Bytes onData;
    EXPECT_EQ(SendLogout(*session_, [&](const uint8_t* b, size_t n) { onData.assign(b, b + n); }), 0);
    const std::vector<Bytes> received = ReceivedAfterClose();
    ASSERT_EQ(received.size(), 1u);
    const auto m = vqgw::Decode(received[0]);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, vqgw::kMsgLogout);
    EXPECT_EQ(m->U16(CM_PAYLOAD_LOGOUT_REASON), 0);
    EXPECT_EQ(onData, version >= 0x20 ? received[0] : Bytes{});
  }
}

TEST_F(NegotiationTest, ReadChannelHandsOutOneMessagePerCall) {
  const Bytes one = vqgw::KeyDone();
  Connect({Action::SendCoalesced({one, one, one}), Action::SendSplit(one, 3), Action::Close(true)});
  std::vector<size_t> lengths;
  session_->SetMessageHandler([&](const uint8_t*, size_t n) {
    lengths.push_back(n);
    return 0;
  });
  int result = 0;
  size_t calls = 0;
  ASSERT_TRUE(vqtest::Eventually([&] {
    const size_t before = lengths.size();
    result = session_->ReadChannel();
    EXPECT_LE(lengths.size(), before + 1);
    ++calls;
    return result != 0;
  }));
  EXPECT_EQ(result, VQ_ERR_SSL_CLOSED);
  EXPECT_EQ(lengths, std::vector<size_t>(4, one.size()));
}

TEST_F(NegotiationTest, SecondRequestWaitsForTheFirstOnTheSameSession) {
  Connect(vqgw::SilentNext());
  std::atomic<uint32_t> connected{CHANNEL_STATE_CONNECTED};
  const auto start = std::chrono::steady_clock::now();
  std::thread login([&] { EXPECT_EQ(SendLogin(*session_, 1, "u", "p", false), VQ_ERR_LOGIN_TIMEOUT); });
  ASSERT_TRUE(vqtest::Eventually([&] { return gateway_->Connections()[0].received.size() == 1; }));
  // Without the lock this returns at once (state 1 is no heart-beat state).
  EXPECT_EQ(SendHeartBeat(*session_, connected), VQ_ERR_HEARTBEAT_FAILED);
  EXPECT_GE(vqtest::MsSince(start), kShortWaitMs);
  login.join();
}

TEST_F(NegotiationTest, ChangePasswordOpensUsesAndClosesItsOwnConnection) {
  GatewayOptions options;
  options.script = vqgw::AnswerNext(vqgw::ChangePasswordReply());
  TlsGateway gateway(std::move(options));
  NewConnectEnv env;
  env.conn.host = "127.0.0.1";
  env.conn.port = gateway.Port();
  std::vector<std::pair<uint32_t, uint32_t>> posted;
  env.postToChannelThread = [&](uint32_t m, uint32_t c) { posted.emplace_back(m, c); };

  CChannelSession own(reports_);
  own.SetRequestWaitMs(kShortWaitMs);
  own.SetMessageHandler([&own](const uint8_t* b, size_t n) { return StandInDispatch(own, b, n); });
  EXPECT_EQ(SendChangePassword(own, "alice", "old", "new", env), 0);
  EXPECT_EQ(own.Ssl(), nullptr);
  ASSERT_TRUE(gateway.WaitFinished(0));
  const vqgw::ConnectionRecord record = gateway.Connections()[0];
  EXPECT_TRUE(record.peerSentCloseNotify);
  ASSERT_EQ(record.received.size(), 1u);
  const auto m = vqgw::Decode(record.received[0]);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->type, CTRLMSG_TYPE_CHANGE_PWD);
  EXPECT_EQ(m->Text(CM_PAYLOAD_USER_NAME), "alice");
  EXPECT_EQ(m->Text(CM_PAYLOAD_PASSWORD), "old");
  EXPECT_EQ(m->Text(CM_PAYLOAD_NEW_PASSWORD), "new");
  EXPECT_TRUE(posted.empty());
}

TEST_F(NegotiationTest, ChangePasswordReturnsTheConnectCodeWithoutWriting) {
  // A port nobody listens on.
  uint16_t closedPort = 0;
  {
    TlsGateway probe{GatewayOptions{}};
    closedPort = probe.Port();
  }
  NewConnectEnv env;
  env.conn.host = "127.0.0.1";
  env.conn.port = closedPort;
  std::vector<std::pair<uint32_t, uint32_t>> posted;
  env.postToChannelThread = [&](uint32_t m, uint32_t c) { posted.emplace_back(m, c); };
  CChannelSession own(reports_);
  EXPECT_EQ(SendChangePassword(own, "alice", "old", "new", env), VQ_ERR_CONNECT);
  // Quiet: no event for the client application, but the channel thread hears of it.
  EXPECT_TRUE(reports_.Events().empty());
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0], std::make_pair(WM_CHANNEL_ERROR, static_cast<uint32_t>(VQ_ERR_CHANNEL_SETUP)));
}

TEST_F(NegotiationTest, HostCheckDigestWaitEndsWhenTheGatewaySkipsTheCheck) {
  vqgw::Message setIp;
  setIp.type = vqgw::kMsgSetIp;
  setIp.AddIPv4(CM_PAYLOAD_PRIVATE_IPV4, 10, 0, 0, 2);
  Connect({Action::Send(vqgw::Encode(setIp))});
  session_->m_iState = NEG_STATE_CLIENT_INFO_DONE;
  EXPECT_EQ(WaitHostCheckDigest(*session_), VQ_ERR_HOST_CHECK_SKIPPED);
  EXPECT_FALSE(session_->m_bSetIpSeen);
}

TEST_F(NegotiationTest, HostCheckScriptIsTakenUpToItsAnnouncedLength) {
  const struct {
    const char* name;
    std::vector<Bytes> pieces;  // the first goes with the length
    uint32_t total;
    bool stored;
    int result;
    uint32_t reported;
    bool storeCalled;
  } cases[] = {
      {"exact", {Bytes(4, 'a'), Bytes(6, 'b')}, 10, true, 0, 1, true},
      {"store fails", {Bytes(10, 'a')}, 10, false, -1, 0, true},
      // Not the script the digest was made for: never stored.
      {"more than announced", {Bytes(4, 'a'), Bytes(8, 'b')}, 10, true, -1, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Action> script = {Action::Send(vqgw::HostCheckDigest()),
                                  Action::Send(vqgw::HostCheckLength(c.total, c.pieces[0]))};
    for (size_t i = 1; i < c.pieces.size(); ++i) script.push_back(Action::Send(vqgw::HostCheckPiece(c.pieces[i])));
    script.push_back(Action::Read(1));
    Connect(script);
    session_->m_iState = NEG_STATE_CLIENT_INFO_DONE;
    ASSERT_EQ(WaitHostCheckDigest(*session_), 0);
    bool storeCalled = false;
    EXPECT_EQ(ReceiveHostCheckScript(*session_,
                                     [&] {
                                       storeCalled = true;
                                       return c.stored;
                                     }),
              c.result);
    const std::vector<Bytes> received = ReceivedAfterClose();
    ASSERT_EQ(received.size(), 1u);
    const auto m = vqgw::Decode(received[0]);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, vqgw::kMsgHostCheck);
    EXPECT_EQ(m->U32(CM_PAYLOAD_HOST_CHECK_DATA), c.reported);
    EXPECT_EQ(storeCalled, c.storeCalled);
  }
}

TEST_F(NegotiationTest, HostCheckScriptThatStopsComingTimesOut) {
  Connect({Action::Send(vqgw::HostCheckLength(100, Bytes(4, 'a'))), Action::Read(1)});
  session_->m_iState = NEG_STATE_HOST_CHECK_DIGEST;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReceiveHostCheckScript(*session_, [] { return true; }), -1);
  EXPECT_LT(vqtest::MsSince(start), 2 * kShortWaitMs + 600);
  // Nothing reported: the gateway still waits for the script to arrive.
  EXPECT_TRUE(ReceivedAfterClose().empty());
}

}  // namespace
}  // namespace brindleway
