// The dispatch of received control messages, fed with messages built by the
// test gateway's own codec; the system's tables come from a fixed view.
#include "Brindleway/control/message_dispatch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "Brindleway/common/gui_reports.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/datapath/ip_comp.h"
#include "Brindleway/fixed_network.h"
#include "Brindleway/protocol_version_scope.h"
#include "Brindleway/recording_gui_reports.h"
#include "gateway/gateway_codec.h"

namespace brindleway {
namespace {

using platform::net::IpAddrRow;
using platform::net::IpForwardRow;

// A payload no handler reads (host name).
constexpr uint16_t kFiller = 97;

class DispatchTest : public ::testing::Test {
 protected:
  DispatchTest() : version_(0x10) {
    session_.SetChannelAddresses(Ip("192.168.1.10"), Ip("203.0.113.5"));
    DispatchEnv env;
    env.reports = &reports_;
    env.connInfo = &connInfo_;
    env.channelState = &channelState_;
    env.network = network_.View();
    env.startProximity = [this] { ++proximityStarts_; };
    dispatch_.emplace(session_, std::move(env));
  }

  int Feed(const vqgw::Message& message) {
    const vqgw::Bytes bytes = vqgw::Encode(message);
    return dispatch_->ProcessReceivedMessage(bytes.data(), bytes.size());
  }
  // A response of type with an optional status, as awaited.
  int Respond(uint16_t type, std::optional<int32_t> status, vqgw::Message extra = {}) {
    extra.flags = vqgw::kFlagResponse;
    extra.type = type;
    if (status) extra.payloads.insert(extra.payloads.begin(), {4, U32Bytes(static_cast<uint32_t>(*status))});
    // A message without any payload is the codec's error, not the handler's.
    if (extra.payloads.empty()) extra.AddText(kFiller, "gw");
    session_.m_dwResponseFlags |= CChannelSession::kResponseAwaited;
    session_.m_wExpectedResponse = type;
    return Feed(extra);
  }
  static vqgw::Bytes U32Bytes(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
  }
  static vqgw::Message SetIp() {
    vqgw::Message m;
    m.type = 3;
    m.AddIPv4(7, 10, 9, 0, 2).AddIPv4(11, 255, 255, 255, 0).AddIPv4(8, 10, 9, 0, 1).AddU16(9, 4501);
    m.Add(17, {8, 8, 8, 8, 1, 1, 1, 1}).Add(18, {10, 9, 0, 53});
    return m;
  }
  static vqgw::Message Without(vqgw::Message m, uint16_t payload) {
    std::erase_if(m.payloads, [&](const vqgw::Payload& p) { return p.type == payload; });
    return m;
  }
  static vqgw::Message With(vqgw::Message m, uint16_t payload, vqgw::Bytes value) {
    m = Without(std::move(m), payload);
    m.Add(payload, std::move(value));
    return m;
  }

  ProtocolVersionScope version_;
  RecordingGuiReports reports_;
  ConnInfoSlot connInfo_;
  std::atomic<uint32_t> channelState_{CHANNEL_STATE_CONNECTED};
  FixedNetwork network_;
  CChannelSession session_{reports_};
  std::optional<MessageDispatch> dispatch_;
  int proximityStarts_ = 0;
};

TEST(BestRouteTo, LongestMaskThenLowestMetricThenFirst) {
  const uint32_t gw = Ip("198.51.100.7");
  std::vector<IpForwardRow> rows{
      {Ip("0.0.0.0"), Ip("0.0.0.0"), Ip("192.168.1.1"), 2, 4, 2, 1},
      {Ip("198.51.100.0"), Ip("255.255.255.0"), Ip("192.168.1.2"), 2, 4, 2, 50},
      {Ip("198.51.100.0"), Ip("255.255.255.0"), Ip("192.168.1.3"), 3, 4, 2, 10},
      {Ip("198.51.100.0"), Ip("255.255.255.0"), Ip("192.168.1.4"), 3, 4, 2, 10},
      // The adapter's own routes never lead to the gateway.
      {Ip("198.51.100.7"), Ip("255.255.255.255"), Ip("10.9.0.1"), kTunIndex, 4, 3, 1},
  };
  const IpForwardRow* best = BestRouteTo(rows, gw, kTunIndex);
  ASSERT_NE(best, nullptr);
  EXPECT_EQ(best->nextHop, Ip("192.168.1.3"));
  rows.resize(1);
  EXPECT_EQ(BestRouteTo(rows, gw, kTunIndex)->nextHop, Ip("192.168.1.1"));
  EXPECT_EQ(BestRouteTo({}, gw, kTunIndex), nullptr);
}

// Whether a message is the awaited response, an allowed message, or an error.
TEST_F(DispatchTest, AwaitedResponseTable) {
  const struct {
    const char* name;
    uint32_t flags;
    uint16_t expected;
    uint8_t incomingFlags;
    uint16_t incoming;
    int result;
  } cases[] = {
      {"response, none awaited", 0, 2, vqgw::kFlagResponse, 2, 10},
      {"response of another type", 1, 2, vqgw::kFlagResponse, 1, 10},
      {"address bits are no await", CChannelSession::kClientAddressDiffers | CChannelSession::kServerAddressDiffers,
       9, vqgw::kFlagResponse, 9, 10},
      {"SET_ROUTE while awaited", 1, 2, 0, 4, 10},
      {"KEY_DONE while awaited", 1, 2, 0, 6, 10},
      {"SET_IP while awaited goes to its handler", 1, 2, 0, 3, 72},
      {"SVR_DISCONN while awaited goes to its handler", 1, 2, 0, 8, 77},
      {"awaited heart-beat answer", 1, 9, vqgw::kFlagResponse, 9, 0},
      {"unknown gateway message ignored", 0, 0, 0, 99, 0},
  };
  for (const auto& c : cases) {
    session_.m_iState = NEG_STATE_IDLE;
    session_.m_dwResponseFlags = c.flags;
    session_.m_wExpectedResponse = c.expected;
    vqgw::Message m;
    m.flags = c.incomingFlags;
    m.type = c.incoming;
    m.AddU32(4, c.incoming == 8 ? 2 : 1);
    EXPECT_EQ(Feed(m), c.result) << c.name;
  }
}

TEST_F(DispatchTest, SetIpWhileAwaitedEndsTheWait) {
  session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  session_.m_dwResponseFlags = CChannelSession::kResponseAwaited;
  EXPECT_EQ(Feed(SetIp()), 0);
  EXPECT_EQ(session_.m_dwResponseFlags & CChannelSession::kResponseAwaited, 0u);
  EXPECT_TRUE(session_.m_bSetIpSeen);
}

TEST_F(DispatchTest, SetIpStoresWhatTheGatewayAssigned) {
  session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  vqgw::Message m = SetIp();
  m.Add(17, {8, 8, 8, 8, 1, 1, 1, 1, 8, 8, 8, 8});  // a second DNS payload is not read
  ASSERT_EQ(Feed(m), 0);
  EXPECT_EQ(session_.m_dwTunnelAddr, Ip("10.9.0.2"));
  EXPECT_EQ(session_.m_dwGatewayTunnelAddr, Ip("10.9.0.1"));
  EXPECT_EQ(session_.m_dwTunnelMask, Ip("255.255.255.0"));
  EXPECT_EQ(session_.m_wGatewayUdpPort, 4501);
  EXPECT_EQ(session_.m_dwSetIpFlags, 0x13u);
  EXPECT_EQ(session_.m_dnsList, (std::vector<uint32_t>{Ip("8.8.8.8"), Ip("1.1.1.1")}));
  EXPECT_EQ(session_.m_winsList, (std::vector<uint32_t>{Ip("10.9.0.53")}));
  EXPECT_EQ(session_.m_iState, NEG_STATE_CLIENT_INFO_DONE);
}

TEST_F(DispatchTest, SetIpMatrix) {
  const struct {
    const char* name;
    vqgw::Message message;
    int result;
  } cases[] = {
      {"no tunnel address", Without(SetIp(), 7), 72},
      {"no netmask", Without(SetIp(), 11), 72},
      {"no gateway tunnel address", Without(SetIp(), 8), 72},
      {"no DNS", Without(SetIp(), 17), 72},
      {"no WINS", Without(SetIp(), 18), 72},
      {"no port", Without(SetIp(), 9), 0},
      {"empty DNS", With(SetIp(), 17, {}), 0},
      {"status -11", With(SetIp(), 4, U32Bytes(static_cast<uint32_t>(-11))), 1020},
      {"status -13", With(SetIp(), 4, U32Bytes(static_cast<uint32_t>(-13))), 1021},
      {"other status passed over", With(SetIp(), 4, U32Bytes(5)), 0},
      {"gateway outside the mask", With(SetIp(), 8, {10, 9, 1, 1}), 103},
      {"same subnet as the LAN", With(With(SetIp(), 7, {192, 168, 1, 50}), 8, {192, 168, 1, 51}), 104},
      {"zero mask", With(SetIp(), 11, {0, 0, 0, 0}), 72},
      {"non-contiguous mask", With(SetIp(), 11, {255, 0, 255, 0}), 72},
      {"tunnel address 0", With(With(SetIp(), 7, {0, 0, 0, 0}), 11, {0, 0, 0, 0}), 72},
      {"multicast tunnel address", With(With(SetIp(), 7, {224, 0, 0, 2}), 8, {224, 0, 0, 1}), 72},
      {"loopback gateway address", With(With(SetIp(), 7, {127, 0, 0, 2}), 8, {127, 0, 0, 1}), 72},
      {"subnet broadcast", With(SetIp(), 7, {10, 9, 0, 255}), 72},
      {"limited broadcast", With(With(SetIp(), 7, {255, 255, 255, 255}), 11, {255, 255, 255, 255}), 72},
      {"short address payload", With(SetIp(), 7, {10, 9, 0}), 72},
  };
  for (const auto& c : cases) {
    session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
    session_.m_dwResponseFlags = 0;
    session_.m_dnsList.clear();
    EXPECT_EQ(Feed(c.message), c.result) << c.name;
  }
  EXPECT_TRUE(session_.m_dnsList.empty());  // the last good case had DNS; "empty DNS" left none
}

TEST_F(DispatchTest, SetIpDefaultsAndDuplicates) {
  session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  ASSERT_EQ(Feed(With(Without(SetIp(), 9), 17, {8, 8, 8, 8, 8, 8, 8, 8, 9, 9, 9, 9, 1})), 0);
  EXPECT_EQ(session_.m_wGatewayUdpPort, 4500);
  EXPECT_EQ(session_.m_dwSetIpFlags & CChannelSession::kSetIpUdpPort, 0u);
  // The duplicate is skipped; the odd trailing byte is no address.
  EXPECT_EQ(session_.m_dnsList, (std::vector<uint32_t>{Ip("8.8.8.8"), Ip("9.9.9.9")}));

  session_.m_iState = NEG_STATE_AUTHENTICATED;
  EXPECT_EQ(Feed(SetIp()), 72);
  network_.adapterThere = false;
  session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  EXPECT_EQ(Feed(SetIp()), 72);
}

TEST_F(DispatchTest, SetRouteAddsGatewayRoutesAndGatewayHostRoute) {
  session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  session_.m_dwGatewayTunnelAddr = Ip("10.9.0.1");
  vqgw::Message m;
  m.type = 4;
  vqgw::Bytes routes{172, 16, 0, 0, 255, 240, 0, 0, 0, 0, 0, 5, 10, 20, 0, 0, 255, 255, 0, 0, 0, 0, 1, 0,
                     1, 2, 3, 4, 5, 6};  // 30 bytes: two routes and 6 left over
  m.Add(19, routes);
  ASSERT_EQ(Feed(m), 0);
  // The gateway 203.0.113.5 is reached by the default route via 192.168.1.1.
  ASSERT_EQ(session_.m_routeList.size(), 3u);
  const RouteRecord& host = session_.m_routeList[0];
  EXPECT_EQ(host.destination, Ip("203.0.113.5"));
  EXPECT_EQ(host.mask, Ip("255.255.255.255"));
  EXPECT_EQ(host.nextHop, Ip("192.168.1.1"));
  EXPECT_EQ(host.ifIndex, kLanIndex);
  EXPECT_EQ(host.metric, 1u);
  const RouteRecord& first = session_.m_routeList[1];
  EXPECT_EQ(first.destination, Ip("172.16.0.0"));
  EXPECT_EQ(first.mask, Ip("255.240.0.0"));
  EXPECT_EQ(first.metric, 5u);
  EXPECT_EQ(first.nextHop, Ip("10.9.0.1"));
  EXPECT_EQ(first.ifIndex, kTunIndex);
  EXPECT_EQ(first.type, platform::net::kRouteTypeIndirect);
  EXPECT_EQ(first.flag, kRouteToAdd);
  EXPECT_EQ(session_.m_routeList[2].metric, 256u);
}

TEST_F(DispatchTest, SetRouteGatewayOnLocalSubnetNeedsNoHostRoute) {
  session_.SetChannelAddresses(Ip("192.168.1.10"), Ip("192.168.1.77"));
  session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  vqgw::Message m;
  m.type = 4;
  m.Add(19, {});
  ASSERT_EQ(Feed(m), 0);
  EXPECT_TRUE(session_.m_routeList.empty());
}

TEST_F(DispatchTest, SetRouteFailures) {
  vqgw::Message m;
  m.type = 4;
  m.Add(19, {});
  session_.m_iState = NEG_STATE_KEY_READY;
  EXPECT_EQ(Feed(m), 73);
  session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  EXPECT_EQ(Feed(Without(m, 19).AddText(kFiller, "gw")), 73);
  network_.routeError = 5;
  EXPECT_EQ(Feed(m), 73);
}

TEST_F(DispatchTest, KeyDoneAndServerDisconnect) {
  vqgw::Message done;
  done.type = 6;
  done.AddText(kFiller, "gw");
  session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  EXPECT_EQ(Feed(done), 74);
  done.AddU32(4, 0);
  session_.m_iState = NEG_STATE_AUTHENTICATED;
  EXPECT_EQ(Feed(done), 74);
  session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  EXPECT_EQ(Feed(done), 0);
  EXPECT_EQ(session_.m_iState, NEG_STATE_KEY_READY);
  session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  EXPECT_EQ(Feed(With(done, 4, U32Bytes(3))), 0);
  EXPECT_EQ(session_.m_iState, NEG_STATE_FAILED);

  const std::pair<int32_t, int> disconnects[] = {{1, 76}, {6, 76}, {7, 76}, {8, 76}, {2, 77}, {3, 78},
                                                 {4, 79}, {5, 80}, {9, 1002}, {0, 0},  {10, 0}, {-1, 0}};
  for (const auto& [status, code] : disconnects) {
    vqgw::Message m;
    m.type = 8;
    m.AddU32(4, static_cast<uint32_t>(status));
    EXPECT_EQ(Feed(m), code) << status;
  }
  vqgw::Message bare;
  bare.type = 8;
  bare.AddText(kFiller, "gw");
  EXPECT_EQ(Feed(bare), 76);
}

// Every response type with its status values: the code and the state.
TEST_F(DispatchTest, ResponseTable) {
  constexpr int kSame = -1;
  const struct {
    uint16_t type;
    std::optional<int32_t> status;
    int code;
    int state;  // after, starting from 3 (so "unchanged" shows)
  } cases[] = {
      {1, std::nullopt, 82, 10}, {1, -2, 1003, 10},  {1, -3, 1006, 10},  {1, -4, 1004, 10},  {1, -5, 1033, 10},
      {1, -6, 1007, 10},         {1, -9, 1010, 10},  {1, -10, 1011, 10}, {1, -12, 1013, 10}, {1, -21, 1029, 10},
      {1, -22, 1032, 10},        {1, -23, 1033, 10}, {1, -99, 1014, 10}, {1, -7, 11, 10},    {1, 0, 0, 2},
      {2, std::nullopt, 83, kSame}, {2, -2, 1003, kSame}, {2, -99, 1014, kSame}, {2, 0, 0, 4}, {2, 7, 0, 4},
      {5, std::nullopt, 84, 10}, {5, 1, 31, 3},      {10, -1, 31, 3},
      {9, std::nullopt, 85, kSame}, {9, 1, 0, 8},    {9, 0, 51, kSame},
      {11, std::nullopt, 1012, 10}, {11, -2, 1003, kSame}, {11, -7, 1012, kSame}, {11, -99, 1014, kSame},
      {11, 0, 0, 14},            {11, 3, 0, 14},
      {14, std::nullopt, 17, 10}, {14, 0, 0, 16},    {14, -3, 1006, kSame}, {14, -14, 1015, kSame},
      {14, -15, 1016, kSame},    {14, -1, 0, kSame},
      {16, std::nullopt, 82, 10}, {16, 0, 0, 17},    {16, -16, 1028, kSame}, {16, -17, 1024, kSame},
      {16, -18, 1027, kSame},    {16, -19, 1026, kSame}, {16, -20, 1025, kSame}, {16, -77, 1027, kSame},
      {18, std::nullopt, 82, 10}, {18, 0, 0, 2},     {18, -16, 1028, kSame},
      {12, 0, 0, kSame},
  };
  for (const auto& c : cases) {
    session_.m_iState = NEG_STATE_KEY_REFUSED;
    EXPECT_EQ(Respond(c.type, c.status), c.code) << "type " << c.type << " status " << c.status.value_or(12345);
    EXPECT_EQ(session_.m_iState, c.state == kSame ? NEG_STATE_KEY_REFUSED : c.state)
        << "type " << c.type << " status " << c.status.value_or(12345);
    EXPECT_EQ(session_.m_dwResponseFlags & CChannelSession::kResponseAwaited, c.type == 12 ? 1u : 0u);
    session_.m_dwResponseFlags = 0;
  }
}

TEST_F(DispatchTest, RefusalsClearAutoLogon) {
  for (uint16_t type : {2, 11}) {
    connInfo_.Update([](conn_info& info) { info.init = CONN_FLAG_AUTO_LOGON | CONN_FLAG_USB_KEY; });
    EXPECT_EQ(Respond(type, -2), 1003);
    EXPECT_EQ(connInfo_.Get().init, CONN_FLAG_USB_KEY) << type;
  }
}

TEST_F(DispatchTest, HeartBeatAnswerCountsOnlyWhileConnected) {
  channelState_ = CHANNEL_STATE_RECONNECTING;
  session_.m_iState = NEG_STATE_IDLE;
  EXPECT_EQ(Respond(9, 0), 0);
  EXPECT_EQ(session_.m_iState, NEG_STATE_IDLE);
}

TEST_F(DispatchTest, GatewayTextIsSentOnlyWhenItFits) {
  vqgw::Message shortText;
  shortText.AddText(53, "Account locked").AddText(54, "zh text");
  EXPECT_EQ(Respond(1, -99, shortText), 1014);
  vqgw::Message longText;
  longText.AddText(53, std::string(300, 'x'));
  EXPECT_EQ(Respond(1, -99, longText), 1014);
  EXPECT_EQ(Respond(1, -99), 1014);
  const auto texts = reports_.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], std::make_pair(VQ_NOTIFY_SERVER_TEXT, std::string("Account locked")));
}

TEST_F(DispatchTest, GatewayTextFollowsTheChineseUiLanguage) {
  const char* saved = std::getenv("LC_ALL");
  const std::string keep = saved != nullptr ? saved : "";
  setenv("LC_ALL", "zh_CN.UTF-8", 1);
  vqgw::Message m;
  m.AddText(53, "english").AddText(54, "chinese");
  EXPECT_EQ(Respond(2, -99, m), 1014);
  if (saved != nullptr) {
    setenv("LC_ALL", keep.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
  ASSERT_EQ(reports_.Texts().size(), 1u);
  EXPECT_EQ(reports_.Texts()[0].second, "chinese");
}

TEST_F(DispatchTest, LoginSuccessReportsPasswordChangeAndCookie) {
  connInfo_.Update([](conn_info& info) { info.auth_type = AUTH_TYPE_USB_KEY_ONLY; });
  vqgw::Message m;
  m.AddU32(132, 1).AddText(82, "cookie=abc");
  EXPECT_EQ(Respond(1, 0, m), 0);
  EXPECT_EQ(session_.m_iState, NEG_STATE_AUTHENTICATED);
  EXPECT_EQ(reports_.PasswordResults(), std::vector<uint32_t>{18});
  ASSERT_EQ(reports_.Texts().size(), 1u);
  EXPECT_EQ(reports_.Texts()[0], std::make_pair(VQ_NOTIFY_CREDENTIAL, std::string("cookie=abc")));

  // With a password login the cookie is not the client application's business.
  connInfo_.Update([](conn_info& info) { info.auth_type = AUTH_TYPE_PASSWORD; });
  EXPECT_EQ(Respond(1, 0, m), 0);
  EXPECT_EQ(reports_.Texts().size(), 1u);
}

TEST_F(DispatchTest, LoginAskingForSms) {
  session_.m_iState = NEG_STATE_CONNECTED;
  vqgw::Message m;
  m.AddU32(133, 1).AddText(82, "+00 *** 12");
  EXPECT_EQ(Respond(1, 0, m), 26);
  EXPECT_EQ(session_.m_iState, NEG_STATE_CONNECTED);
  EXPECT_EQ(reports_.Texts().size(), 1u);
  vqgw::Message tooLong;
  tooLong.AddU32(133, 1).AddText(82, std::string(261, 'p'));
  EXPECT_EQ(Respond(1, 0, tooLong), 82);
  vqgw::Message none;
  none.AddU32(133, 1);
  EXPECT_EQ(Respond(1, 0, none), 26);
  EXPECT_EQ(reports_.Texts().size(), 1u);
}

vqgw::Bytes Gateways(int n, uint8_t firstOctet = 198) {
  vqgw::Bytes bytes;
  for (int i = 0; i < n; ++i) {
    const vqgw::Bytes entry{firstOctet, 51, 100, static_cast<uint8_t>(i + 1), 0, 0, 1, 187, 0, 0, 17, 148};
    bytes.insert(bytes.end(), entry.begin(), entry.end());
  }
  return bytes;
}

TEST_F(DispatchTest, ClientInfoPreferredGateways) {
  vqgw::Message two;
  two.Add(21, Gateways(2));
  EXPECT_EQ(Respond(2, 0, two), 0);
  EXPECT_EQ(session_.m_iState, NEG_STATE_CLIENT_INFO_DONE);
  ASSERT_EQ(session_.m_preferredGateways.size(), 2u);
  EXPECT_EQ(session_.m_preferredGateways[1][3], 2);
  EXPECT_EQ(proximityStarts_, 1);

  vqgw::Message listOnly;
  listOnly.Add(20, Gateways(4)).Add(21, Gateways(1));
  EXPECT_EQ(Respond(2, 0, listOnly), 0);
  EXPECT_EQ(session_.m_preferredGateways.size(), 4u);
  EXPECT_EQ(proximityStarts_, 1);

  vqgw::Message five;
  five.Add(20, Gateways(5));
  EXPECT_EQ(Respond(2, 0, five), 0);
  EXPECT_TRUE(session_.m_preferredGateways.empty());

  reports_.SetProcessingProx(true);
  EXPECT_EQ(Respond(2, 0, two), 0);
  EXPECT_TRUE(session_.m_preferredGateways.empty());
  EXPECT_EQ(proximityStarts_, 1);
}

TEST_F(DispatchTest, ClientInfoNotesAddressesTheGatewaySaw) {
  vqgw::Message m;
  m.AddIPv4(5, 100, 64, 0, 9).AddIPv4(6, 192, 168, 1, 10);
  session_.m_dwResponseFlags = CChannelSession::kServerAddressDiffers;
  EXPECT_EQ(Respond(2, 0, m), 0);
  EXPECT_EQ(session_.m_dwResponseFlags, CChannelSession::kClientAddressDiffers);
}

vqgw::Message KeyPayloads() {
  vqgw::Message m;
  m.Add(48, {0, 0, 0x12, 0x34}).AddU16(49, 12).AddU16(50, 2).AddU32(51, 0x0A0B0C0D).AddU16(128, 0x2222).AddU16(129, 2);
  return m;
}

TEST_F(DispatchTest, KeyResponseSetsUpTheSecurityAssociations) {
  session_.m_dwLocalSpi = 0x4321;
  session_.m_keyMaterial.fill(0x5A);
  vqgw::Message m = KeyPayloads();
  m.AddText(131, "Portal").AddText(130, "https://portal.example/");
  ASSERT_EQ(Respond(5, 0, m), 0);
  EXPECT_EQ(session_.m_iState, NEG_STATE_KEY_DONE);
  EXPECT_EQ(session_.m_dwGatewaySpi, 0x1234u);
  EXPECT_EQ(session_.m_dwSessionId, 0u);  // version 1: no session identifier
  EXPECT_EQ(esp_cipher_id(), 12);
  EXPECT_EQ(esp_hash_id(), 2);
  EXPECT_EQ(TheIpComp().GetPeerCpi(), 0x2222);
  EXPECT_NE(session_.m_keyBlock, (std::array<uint8_t, KEY_BLOCK_LENGTH>{}));
  const auto texts = reports_.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], std::make_pair(VQ_NOTIFY_URL_TITLE, std::string("Portal")));
  EXPECT_EQ(texts[1], std::make_pair(VQ_NOTIFY_URL, std::string("https://portal.example/")));
  esp_sa_cleanup();
}

TEST_F(DispatchTest, KeyResponseVariants) {
  {
    // A rekey never sends the URL; version 2 takes the session identifier.
    ProtocolVersionScope v2(0x20);
    vqgw::Message m = KeyPayloads();
    m.version = 0x20;
    m.AddText(131, "Portal").AddText(130, "https://portal.example/");
    ASSERT_EQ(Respond(10, 0, m), 0);
    EXPECT_EQ(session_.m_dwSessionId, 0x0A0B0C0Du);
    EXPECT_TRUE(reports_.Texts().empty());
  }
  vqgw::Message urlOnly = KeyPayloads();
  urlOnly.AddText(130, "https://portal.example/");
  ASSERT_EQ(Respond(5, 0, urlOnly), 0);
  EXPECT_TRUE(reports_.Texts().empty());

  for (uint16_t required : {48, 49, 50}) {
    session_.m_iState = NEG_STATE_KEY_READY;
    EXPECT_EQ(Respond(5, 0, Without(KeyPayloads(), required)), 84) << required;
    EXPECT_EQ(session_.m_iState, NEG_STATE_KEY_READY);
  }
  // CPI and compression are optional.
  EXPECT_EQ(Respond(5, 0, Without(Without(KeyPayloads(), 128), 129)), 0);
  esp_sa_cleanup();
}

vqgw::Message HostCheck() {
  vqgw::Message m;
  m.type = 11;
  return m;
}

TEST_F(DispatchTest, HostCheckDigestAndScript) {
  std::array<uint8_t, 16> seen{};
  DispatchEnv env;
  env.network = network_.View();
  env.hostCheckDigest = [&](const std::array<uint8_t, 16>& d) { seen = d; };
  MessageDispatch dispatch(session_, std::move(env));
  auto feed = [&](const vqgw::Message& m) {
    const vqgw::Bytes b = vqgw::Encode(m);
    return dispatch.ProcessReceivedMessage(b.data(), b.size());
  };

  vqgw::Bytes digest(16);
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<uint8_t>(i * 3);
  vqgw::Message m = HostCheck();
  m.Add(112, digest).AddU32(117, 15);
  ASSERT_EQ(feed(m), 0);
  EXPECT_EQ(session_.m_iState, NEG_STATE_HOST_CHECK_DIGEST);
  EXPECT_EQ(session_.m_dwHostCheckCycle, 15u);
  EXPECT_EQ(seen[5], 15);

  vqgw::Message length = HostCheck();
  length.AddU32(113, 10).Add(114, {0, 0, 0, 0, 'a', 'b', 'c', 'd'});
  // Script bytes are taken only while the script is being fetched.
  EXPECT_EQ(feed(length), 101);
  session_.m_bHostCheckDownload = true;
  ASSERT_EQ(feed(length), 0);
  EXPECT_EQ(session_.m_iState, NEG_STATE_HOST_CHECK_LENGTH);
  vqgw::Message piece = HostCheck();
  piece.Add(114, {9, 9, 9, 9, 'e', 'f', 'g', 'h', 'i', 'j'});
  ASSERT_EQ(feed(piece), 0);
  EXPECT_EQ(session_.m_iState, NEG_STATE_HOST_CHECK_DATA);
  EXPECT_EQ(std::string(session_.m_hostCheckScript.begin(), session_.m_hostCheckScript.end()), "abcdefghij");
  EXPECT_EQ(session_.m_dwHostCheckReceived, 10u);
}

TEST_F(DispatchTest, HostCheckRefusesHostileScriptMessages) {
  session_.m_bHostCheckDownload = true;
  const struct {
    const char* name;
    vqgw::Message message;
    int state;  // before
  } cases[] = {
      {"announced size beyond the cap", HostCheck().AddU32(113, (16u << 20) + 1), NEG_STATE_HOST_CHECK_DIGEST},
      {"piece shorter than its 4-byte lead", HostCheck().Add(114, {1, 2, 3}), NEG_STATE_HOST_CHECK_LENGTH},
      {"piece beyond the total", HostCheck().Add(114, vqgw::Bytes(4 + 11, 'x')), NEG_STATE_HOST_CHECK_LENGTH},
      {"piece before any length", HostCheck().Add(114, vqgw::Bytes(8, 'x')), NEG_STATE_HOST_CHECK_DIGEST},
      {"nothing known", HostCheck().AddU32(117, 5), NEG_STATE_HOST_CHECK_DIGEST},
      {"short digest", HostCheck().Add(112, vqgw::Bytes(15, 1)), NEG_STATE_HOST_CHECK_DIGEST},
  };
  for (const auto& c : cases) {
    session_.m_iState = static_cast<uint8_t>(c.state);
    session_.m_dwHostCheckTotal = 10;
    session_.m_dwHostCheckReceived = 0;
    EXPECT_EQ(Feed(c.message), 101) << c.name;
    EXPECT_EQ(session_.m_iState, NEG_STATE_FAILED) << c.name;
  }
  EXPECT_LE(session_.m_hostCheckScript.size(), 10u);

  connInfo_.Update([](conn_info& info) { info.init = CONN_FLAG_AUTO_LOGON; });
  EXPECT_EQ(Feed(HostCheck().AddU32(4, static_cast<uint32_t>(-2))), 1003);
  EXPECT_EQ(connInfo_.Get().init, 0u);
  EXPECT_EQ(Feed(HostCheck().AddU32(4, static_cast<uint32_t>(-99)).AddText(53, "Host check refused")), 1014);
}

TEST_F(DispatchTest, HostileMessagesAreCodecErrors) {
  vqgw::Bytes good = vqgw::Encode(SetIp());
  vqgw::Bytes truncated(good.begin(), good.end() - 3);
  EXPECT_EQ(dispatch_->ProcessReceivedMessage(truncated.data(), truncated.size()), 75);
  vqgw::Bytes otherVersion = good;
  otherVersion[0] = 0x20;
  EXPECT_EQ(dispatch_->ProcessReceivedMessage(otherVersion.data(), otherVersion.size()), 4010);
  vqgw::Message login;
  login.version = 0x30;
  login.flags = vqgw::kFlagResponse;
  login.type = 1;
  login.AddU32(4, 0);
  session_.m_dwResponseFlags = CChannelSession::kResponseAwaited;
  session_.m_wExpectedResponse = 1;
  EXPECT_EQ(Feed(login), 1003);
  vqgw::Message unknown;
  unknown.flags = vqgw::kFlagResponse;
  unknown.type = 2;
  unknown.AddU32(4, 0).AddU32(999, 1);
  session_.m_dwResponseFlags = CChannelSession::kResponseAwaited;
  session_.m_wExpectedResponse = 2;
  EXPECT_EQ(Feed(unknown), 86);
}

}  // namespace
}  // namespace brindleway
