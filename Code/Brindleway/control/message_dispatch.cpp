#include "Brindleway/control/message_dispatch.h"

#include <arpa/inet.h>

#include <algorithm>
#include <new>
#include <string>
#include <string_view>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/common/gui_reports.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/sms_status.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/datapath/ip_comp.h"
#include "Brindleway/datapath/key_block.h"
#include "Brindleway/datapath/tunnel_packets.h"
#include "support/ipv4_text.h"
#include "support/log.h"
#include "support/ui_language.h"
#include "support/wire.h"

namespace brindleway {
namespace {

using platform::net::IpAddrRow;
using platform::net::IpForwardRow;

constexpr uint16_t kChineseSimplified = 2052;

int32_t Signed(uint32_t value) { return static_cast<int32_t>(value); }

// Host-order view of a network-order address.
uint32_t H(uint32_t networkOrder) { return ntohl(networkOrder); }

// A mask whose one bits all lead.
bool IsContiguousMask(uint32_t mask) {
  const uint32_t m = H(mask);
  return m != 0 && (~m & (~m + 1)) == 0;
}

// Addresses no tunnel end may have: none, limited broadcast, multicast,
// loopback, and the broadcast of its own subnet.
bool IsUsableTunnelAddress(uint32_t address, uint32_t mask) {
  const uint32_t a = H(address);
  const uint32_t m = H(mask);
  if (a == 0 || a == 0xFFFFFFFFu) return false;
  if ((a >> 28) == 0xE) return false;
  if ((a >> 24) == 127) return false;
  // /31 and /32 have no broadcast address of their own.
  if ((~m) > 1 && (a | m) == 0xFFFFFFFFu) return false;
  return true;
}

template <typename F>
bool Append(F&& add) {
  try {
    add();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace


bool IsSameSubnet(uint32_t a, uint32_t mask, uint32_t b) { return (H(a) & H(mask)) == (H(b) & H(mask)); }

const IpForwardRow* BestRouteTo(const std::vector<IpForwardRow>& rows, uint32_t gateway, uint32_t tunnelIndex) {
  const IpForwardRow* best = nullptr;
  for (const IpForwardRow& row : rows) {
    if (row.ifIndex == tunnelIndex || !IsSameSubnet(row.dest, row.mask, gateway)) continue;
    if (best == nullptr || H(row.mask) > H(best->mask) ||
        (row.mask == best->mask && row.metric1 < best->metric1)) {
      best = &row;
    }
  }
  return best;
}

MessageDispatch::MessageDispatch(CChannelSession& session, DispatchEnv env) : s_(session), env_(std::move(env)) {}

void MessageDispatch::Attach() {
  s_.SetMessageHandler([this](const uint8_t* bytes, size_t length) { return ProcessReceivedMessage(bytes, length); });
}

int MessageDispatch::ProcessReceivedMessage(const uint8_t* bytes, size_t length) {
  CtrlMessage message;
  if (const int result = message.Load(bytes, length); result != 0) return result;
  if (const int result = message.Parse(); result != 0) return result;
  const uint16_t type = message.GetType();
  const bool awaited = (s_.m_dwResponseFlags & CChannelSession::kResponseAwaited) != 0;

  if ((message.GetFlags() & CTRLMSG_FLAG_RESPONSE) != 0) {
    if (!awaited) {
      LogPrint(LOG_ERR, "Received unexpected response message %d\n", type);
      return VQ_ERR_PROTOCOL_MISMATCH;
    }
    if (type != s_.m_wExpectedResponse) {
      LogPrint(LOG_ERR, "Received message %d, expecting %d\n", type, s_.m_wExpectedResponse);
      return VQ_ERR_PROTOCOL_MISMATCH;
    }
    return ProcessResponseMessage(type, message);
  }
  if (awaited) {
    if (type == CTRLMSG_TYPE_SET_IP) {
      s_.m_dwResponseFlags &= ~CChannelSession::kResponseAwaited;
    } else if (type != CTRLMSG_TYPE_SVR_DISCONN) {
      LogPrint(LOG_ERR, "Error message type: %d\n", type);
      return VQ_ERR_PROTOCOL_MISMATCH;
    }
  }
  return ProcessRequestMessage(type, message);
}

int MessageDispatch::ProcessRequestMessage(uint16_t type, const CtrlMessage& message) {
  switch (type) {
    case CTRLMSG_TYPE_SET_IP:
      s_.m_bSetIpSeen = true;
      return ProcessSetIp(message);
    case CTRLMSG_TYPE_SET_ROUTE:
      return ProcessSetRoute(message);
    case CTRLMSG_TYPE_KEY_DONE:
      return ProcessKeyDone(message);
    case CTRLMSG_TYPE_SVR_DISCONN:
      return ProcessServerDisconnect(message);
    case CTRLMSG_TYPE_HOST_CHECK:
      return ProcessHostCheck(message);
    default:
      return 0;
  }
}

// --- SET_IP ---

int MessageDispatch::ProcessSetIp(const CtrlMessage& message) {
  if (s_.m_iState != NEG_STATE_CLIENT_INFO_DONE) {
    LogPrint(LOG_ERR, "Received SET_IP while in state %d\n", s_.m_iState);
    return VQ_ERR_SET_IP;
  }
  uint32_t status = 0;
  if (message.GetU32(CM_PAYLOAD_STATUS, status) == 0 && status != 0) {
    if (Signed(status) == -11) {
      LogPrint(LOG_ERR, "No IP address\n");
      s_.m_iState = NEG_STATE_FAILED;
      return VQ_ERR_NO_IP_RESOURCE;
    }
    if (Signed(status) == -13) {
      LogPrint(LOG_ERR, "IP Used\n");
      s_.m_iState = NEG_STATE_FAILED;
      return VQ_ERR_IP_USED;
    }
  }
  auto missing = [](const char* line) {
    LogPrint(LOG_ERR, line);
    return VQ_ERR_SET_IP;
  };

  if (message.GetAddress(CM_PAYLOAD_PRIVATE_IPV4, s_.m_dwTunnelAddr) != 0) {
    return missing("Expect client private IP in SET_IP message\n");
  }
  LogPrint(LOG_INFO, "SET IP = %s\n", DottedIPv4(s_.m_dwTunnelAddr));
  s_.m_dwSetIpFlags |= CChannelSession::kSetIpAddress;
  if (message.GetAddress(CM_PAYLOAD_NETMASK, s_.m_dwTunnelMask) != 0) {
    return missing("Expect netmask in SET_IP message\n");
  }
  s_.m_dwSetIpFlags |= CChannelSession::kSetIpNetmask;
  if (message.GetAddress(CM_PAYLOAD_SERVER_PRIVATE_IPV4, s_.m_dwGatewayTunnelAddr) != 0) {
    return missing("Expect server private IP in SET_IP message\n");
  }
  uint16_t port = 0;
  if (message.GetU16(CM_PAYLOAD_UDP_PORT, port) != 0) {
    LogPrint(LOG_WARNING, "Expect server UDP port in SET_IP message\n");
    s_.m_wGatewayUdpPort = kDefaultGatewayUdpPort;
  } else {
    s_.m_wGatewayUdpPort = port;
    s_.m_dwSetIpFlags |= CChannelSession::kSetIpUdpPort;
  }
  DebugTrace(TRACE_SETUP, "tunnel local: %s; tunnel remote: %s; tunnel netmask: %s", DottedIPv4(s_.m_dwTunnelAddr),
             DottedIPv4(s_.m_dwGatewayTunnelAddr), DottedIPv4(s_.m_dwTunnelMask));
  DebugTrace(TRACE_SETUP, "tunnel remote UDP port: %d", s_.m_wGatewayUdpPort);

  if (const int result = CheckTunnelAddress(); result != 0) {
    LogPrint(LOG_ERR, "IP address is not valid, Error = %d\n", result);
    return result;
  }

  const uint8_t* value = nullptr;
  uint16_t length = 0;
  if (message.GetPayload(CM_PAYLOAD_DNS_IPV4, value, length) != 0) return missing("Expect DNS in SET_IP message\n");
  s_.m_dnsList.clear();
  for (uint16_t i = 0; i + 4 <= length; i += 4) {
    uint32_t address = 0;
    std::memcpy(&address, value + i, 4);
    if (const int result = AddDnsServer(address); result != 0) {
      LogPrint(LOG_ERR, "Process SetDns failed!\n");
      return result;
    }
  }
  if (message.GetPayload(CM_PAYLOAD_WINS_IPV4, value, length) != 0) return missing("Expect WINS in SET_IP message\n");
  for (uint16_t i = 0; i + 4 <= length; i += 4) {
    uint32_t address = 0;
    std::memcpy(&address, value + i, 4);
    if (const int result = AppendWinsServer(address); result != 0) {
      LogPrint(LOG_ERR, "Process SetWins failed!\n");
      return result;
    }
  }
  return 0;
}

int MessageDispatch::CheckTunnelAddress() {
  const uint32_t tunnel = s_.m_dwTunnelAddr;
  const uint32_t mask = s_.m_dwTunnelMask;
  // Values no adapter can take are the gateway's mistake, not ours to apply.
  if (!IsContiguousMask(mask) || !IsUsableTunnelAddress(tunnel, mask) ||
      !IsUsableTunnelAddress(s_.m_dwGatewayTunnelAddr, mask)) {
    return VQ_ERR_SET_IP;
  }
  if (!IsSameSubnet(tunnel, mask, s_.m_dwGatewayTunnelAddr)) return VQ_ERR_TUNNEL_NOT_IN_SUBNET;

  uint32_t tunnelIndex = 0;
  if (!env_.network.tunnelIndex || env_.network.tunnelIndex(tunnelIndex) != 0) return VQ_ERR_SET_IP;
  std::vector<IpAddrRow> addresses;
  if (!env_.network.addressTable || env_.network.addressTable(addresses) != 0) {
    LogPrint(LOG_ERR, "Call to GetIpAddrTable failed.\n");
    return VQ_ERR_SET_IP;
  }
  for (const IpAddrRow& row : addresses) {
    if (row.ifIndex == tunnelIndex) continue;
    if ((H(row.addr) & H(row.mask)) == (H(tunnel) & H(mask))) {
      LogPrint(LOG_ERR, "Tunnel interface address conflict with local interface address: %s/%s",
               DottedIPv4(tunnel & mask), DottedIPv4(mask));
      return VQ_ERR_TUNNEL_ADDRESS_CONFLICT;
    }
  }
  return 0;
}

int MessageDispatch::AddDnsServer(uint32_t address) {
  if (std::find(s_.m_dnsList.begin(), s_.m_dnsList.end(), address) != s_.m_dnsList.end()) return 0;
  if (!Append([&] { s_.m_dnsList.push_back(address); })) return VQ_ERR_OUT_OF_MEMORY;
  DebugTrace(TRACE_SETUP, "Set DNS server: %s\n", DottedIPv4(address));
  return 0;
}

int MessageDispatch::AppendWinsServer(uint32_t address) {
  if (!Append([&] { s_.m_winsList.push_back(address); })) return VQ_ERR_OUT_OF_MEMORY;
  DebugTrace(TRACE_SETUP, "Set WINS address: %s\n", DottedIPv4(address));
  return 0;
}

// --- SET_ROUTE ---

int MessageDispatch::ProcessSetRoute(const CtrlMessage& message) {
  if (s_.m_iState != NEG_STATE_CLIENT_INFO_DONE) {
    LogPrint(LOG_ERR, "Received SET_ROUTE while in state %d\n", s_.m_iState);
    return VQ_ERR_SET_ROUTE;
  }
  if (const int result = AddGatewayRoute(); result != 0) return result;
  uint32_t tunnelIndex = 0;
  if (!env_.network.tunnelIndex || env_.network.tunnelIndex(tunnelIndex) != 0) return VQ_ERR_SET_ROUTE;
  DebugTrace(TRACE_SETUP, "Tunnel interface index: %d\n", tunnelIndex);

  const uint8_t* value = nullptr;
  uint16_t length = 0;
  if (message.GetPayload(CM_PAYLOAD_ROUTE_IPV4, value, length) != 0) {
    LogPrint(LOG_ERR, "Expect SET_ROUTE messag\n");
    return VQ_ERR_SET_ROUTE;
  }
  for (uint16_t i = 0; i + 12 <= length; i += 12) {
    RouteRecord route;
    std::memcpy(&route.destination, value + i, 4);
    std::memcpy(&route.mask, value + i + 4, 4);
    route.metric = wire::GetU32BE(value + i + 8);
    route.nextHop = s_.m_dwGatewayTunnelAddr;
    route.ifIndex = tunnelIndex;
    route.type = platform::net::kRouteTypeIndirect;
    route.flag = kRouteToAdd;
    if (!Append([&] { s_.m_routeList.push_back(route); })) {
      LogPrint(LOG_ERR, "Malloc for route table failed\n");
      return VQ_ERR_OUT_OF_MEMORY;
    }
    LogPrint(LOG_DEBUG, "subnet: %s  mask %s gateway: %s metrics: %d\n", DottedIPv4(route.destination),
             DottedIPv4(route.mask), DottedIPv4(route.nextHop), route.metric);
    DebugTrace(TRACE_SETUP, "subnet: %s  mask %s gateway: %s metrics: %d\n", DottedIPv4(route.destination),
               DottedIPv4(route.mask), DottedIPv4(route.nextHop), route.metric);
  }
  return 0;
}

int MessageDispatch::AddGatewayRoute() {
  uint32_t tunnelIndex = 0;
  if (!env_.network.tunnelIndex || env_.network.tunnelIndex(tunnelIndex) != 0) return VQ_ERR_SET_ROUTE;
  const uint32_t gateway = s_.ServerAddress();

  std::vector<IpAddrRow> addresses;
  if (!env_.network.addressTable || env_.network.addressTable(addresses) != 0) {
    LogPrint(LOG_ERR, "Call to GetIpAddrTable failed.\n");
    return VQ_ERR_SET_ROUTE;
  }
  for (const IpAddrRow& row : addresses) {
    // On a local subnet the gateway needs no route of ours.
    if (row.ifIndex != tunnelIndex && IsSameSubnet(row.addr, row.mask, gateway)) return 0;
  }

  std::vector<IpForwardRow> routes;
  if (!env_.network.routeTable) return VQ_ERR_SET_ROUTE;
  if (const uint32_t error = env_.network.routeTable(routes); error != 0) {
    LogPrint(LOG_ERR, "GetIpForwardTable failed [%d]\n", error);
    return VQ_ERR_SET_ROUTE;
  }
  const IpForwardRow* best = BestRouteTo(routes, gateway, tunnelIndex);
  if (best == nullptr || best->nextHop == 0) return 0;
  RouteRecord route;
  route.destination = gateway;
  route.mask = 0xFFFFFFFFu;
  route.nextHop = best->nextHop;
  route.ifIndex = best->ifIndex;
  route.type = best->type;
  route.metric = 1;
  route.flag = kRouteToAdd;
  if (!Append([&] { s_.m_routeList.push_back(route); })) return VQ_ERR_OUT_OF_MEMORY;
  DebugTrace(TRACE_SETUP, "Route entry type: %d\n", route.type);
  return 0;
}

// --- KEY_DONE, SVR_DISCONN, HOST_CHECK ---

int MessageDispatch::ProcessKeyDone(const CtrlMessage& message) {
  if (s_.m_iState != NEG_STATE_CLIENT_INFO_DONE) {
    LogPrint(LOG_ERR, "Received KEY_DONE while in state %d\n", s_.m_iState);
    return VQ_ERR_KEY_DONE;
  }
  uint32_t status = 0;
  if (message.GetU32(CM_PAYLOAD_STATUS, status) != 0) {
    LogPrint(LOG_ERR, "Expect status in KEY_DONE\n");
    return VQ_ERR_KEY_DONE;
  }
  DebugTrace(TRACE_SETUP, "Receive KEY_DONE status %d\n", Signed(status));
  s_.m_iState = status == 0 ? NEG_STATE_KEY_READY : NEG_STATE_FAILED;
  return 0;
}

int MessageDispatch::ProcessServerDisconnect(const CtrlMessage& message) {
  uint32_t status = 0;
  if (message.GetU32(CM_PAYLOAD_STATUS, status) != 0) {
    LogPrint(LOG_ERR, "Expect status in SVR_DISCONN message\n");
    return VQ_ERR_SERVER_DISCONNECT;
  }
  // The same reasons as the gateway's disconnect notice; an unknown one is ignored.
  const int code = DisconnectReasonCode(status);
  return code < 0 ? 0 : code;
}

int MessageDispatch::ProcessHostCheck(const CtrlMessage& message) {
  uint32_t status = 0;
  if (message.GetU32(CM_PAYLOAD_STATUS, status) == 0 && status != 0) {
    ClearAutoLogon();
    if (Signed(status) == -2) {
      s_.m_iState = NEG_STATE_FAILED;
      return VQ_ERR_SERVER_TOO_NEW;
    }
    if (Signed(status) == -99) return ServerText(message);
  }

  const uint8_t* value = nullptr;
  uint16_t length = 0;
  if (message.GetPayload(CM_PAYLOAD_HOST_CHECK_MD5, value, length) == 0 && length == 16) {
    std::copy(value, value + 16, s_.m_hostCheckDigest.begin());
    std::string text;
    for (int i = 0; i < 16; ++i) text += std::to_string(value[i]) + " :";
    DebugTrace(TRACE_SETUP, "Received HOSTCHECK_MD5 ,strMD5=%s\n", text);
    uint32_t cycle = 0;
    if (message.GetU32(CM_PAYLOAD_HOST_CHECK_CYCLE, cycle) == 0) s_.m_dwHostCheckCycle = cycle;
    if (env_.hostCheckDigest) env_.hostCheckDigest(s_.m_hostCheckDigest);
    s_.m_iState = NEG_STATE_HOST_CHECK_DIGEST;
    return 0;
  }

  auto fail = [&] {
    LogPrint(LOG_ERR, "CTRLMSG_TYPE_HOST_CHECK failed\n");
    s_.m_iState = NEG_STATE_FAILED;
    return VQ_ERR_HOST_CHECK_MESSAGE;
  };
  // A piece: 4 bytes the client skips, then script bytes within the total.
  auto takePiece = [&]() -> bool {
    const uint8_t* piece = nullptr;
    uint16_t pieceLength = 0;
    if (message.GetPayload(CM_PAYLOAD_HOST_CHECK_DATA, piece, pieceLength) != 0) return true;
    if (pieceLength < 4) return false;
    const uint32_t bytes = pieceLength - 4u;
    if (bytes > s_.m_dwHostCheckTotal - s_.m_dwHostCheckReceived) return false;
    s_.m_hostCheckScript.insert(s_.m_hostCheckScript.end(), piece + 4, piece + pieceLength);
    s_.m_dwHostCheckReceived += bytes;
    return true;
  };

  uint32_t total = 0;
  if (message.GetU32(CM_PAYLOAD_HOST_CHECK_FILESIZE, total) == 0) {
    // Script bytes only while the script is being fetched, and never more
    // than a script can sensibly be.
    if (!s_.m_bHostCheckDownload || total > kMaxHostCheckScriptBytes) return fail();
    s_.m_dwHostCheckTotal = total;
    s_.m_dwHostCheckReceived = 0;
    s_.m_hostCheckScript.clear();
    s_.m_iState = NEG_STATE_HOST_CHECK_LENGTH;
    LogPrint(LOG_ERR, "Tamblin said: CM_PAYLOAD_HOST_CHECK_FILESIZE = %d\n", total);
    return takePiece() ? 0 : fail();
  }
  if (message.GetPayload(CM_PAYLOAD_HOST_CHECK_DATA, value, length) == 0) {
    if (!s_.m_bHostCheckDownload || (s_.m_iState != NEG_STATE_HOST_CHECK_LENGTH &&
                                     s_.m_iState != NEG_STATE_HOST_CHECK_DATA)) {
      return fail();
    }
    s_.m_iState = NEG_STATE_HOST_CHECK_DATA;
    return takePiece() ? 0 : fail();
  }
  return fail();
}

// --- Responses ---

int MessageDispatch::ProcessResponseMessage(uint16_t type, const CtrlMessage& message) {
  DebugTrace(TRACE_SETUP, "ProcessResponseMessage msg_type[%d]\n", type);
  uint32_t raw = 0;
  const bool hasStatus = message.GetU32(CM_PAYLOAD_STATUS, raw) == 0;
  const int32_t status = Signed(raw);
  auto noStatus = [&](const char* line, int code, bool failState) {
    LogPrint(LOG_ERR, line);
    if (failState) s_.m_iState = NEG_STATE_FAILED;
    return code;
  };

  switch (type) {
    case CTRLMSG_TYPE_AUTH: {
      s_.m_dwResponseFlags &= ~CChannelSession::kResponseAwaited;
      if (!hasStatus) return noStatus("Expect status in auth response\n", VQ_ERR_AUTH_RESPONSE, true);
      if (status == 0) return ProcessLoginResponse(message);
      LogPrint(LOG_ERR, "Authentication failed : %d\n", status);
      s_.m_iState = NEG_STATE_FAILED;
      switch (status) {
        case -2: return VQ_ERR_SERVER_TOO_NEW;
        case -3: return 1006;
        case -4: return 1004;
        case -5: return 1033;
        case -6: return 1007;
        case -9: return 1010;
        case -10: return 1011;
        case -12: return static_cast<int>(VQ_ERR_SESSION_EXPIRED);
        case -21: return 1029;
        case -22: return 1032;
        case -23: return 1033;
        case -99: return ServerText(message);
        default: return VQ_ERR_AUTH_FAILED;
      }
    }
    case CTRLMSG_TYPE_CLIENT_INFO:
      s_.m_dwResponseFlags &= ~CChannelSession::kResponseAwaited;
      if (!hasStatus) return noStatus("Expect status in send_client_info response\n", VQ_ERR_CLIENT_INFO_RESPONSE, false);
      if (status != 0) ClearAutoLogon();
      if (status == -2) return VQ_ERR_SERVER_TOO_NEW;
      if (status == -99) return ServerText(message);
      return ProcessClientInfoAccepted(message);
    case CTRLMSG_TYPE_NEW_KEY:
    case CTRLMSG_TYPE_REKEY:
      s_.m_dwResponseFlags &= ~CChannelSession::kResponseAwaited;
      if (!hasStatus) return noStatus("Expect status in send_new_key response\n", VQ_ERR_KEY_RESPONSE, true);
      if (status != 0) {
        LogPrint(LOG_ERR, "Send new key failed: %d\n", status);
        s_.m_iState = NEG_STATE_KEY_REFUSED;
        return VQ_ERR_NEW_KEY_FAILED;
      }
      return ProcessKeys(type, message);
    case CTRLMSG_TYPE_KEEPALIVE:
      s_.m_dwResponseFlags &= ~CChannelSession::kResponseAwaited;
      if (env_.channelState != nullptr && env_.channelState->load() != CHANNEL_STATE_CONNECTED) return 0;
      if (!hasStatus) return noStatus("Expect status in keepalive response\n", VQ_ERR_KEEPALIVE_RESPONSE, false);
      if (status == 1) {
        s_.m_iState = NEG_STATE_HEARTBEAT_ANSWERED;
        return 0;
      }
      LogPrint(LOG_ERR, "Keep-alive response failed: %d\n", status);
      return VQ_ERR_HEARTBEAT_FAILED;
    case CTRLMSG_TYPE_HOST_CHECK:
      s_.m_dwResponseFlags &= ~CChannelSession::kResponseAwaited;
      if (!hasStatus) return noStatus("Expect status in host check response\n", VQ_ERR_HOST_CHECK_FAILED, true);
      if (status != 0) ClearAutoLogon();
      if (status == -2) return VQ_ERR_SERVER_TOO_NEW;
      if (status == -7) {
        LogPrint(LOG_ERR, "Host check fail , be closed by server !\n");
        return VQ_ERR_HOST_CHECK_FAILED;
      }
      if (status == -99) return ServerText(message);
      s_.m_iState = NEG_STATE_HOST_CHECK_ANSWERED;
      return 0;
    case CTRLMSG_TYPE_CHANGE_PWD_RSP:
      s_.m_dwResponseFlags &= ~CChannelSession::kResponseAwaited;
      if (!hasStatus) return noStatus("Expect status in ChangePassword response\n", VQ_ERR_CHANGE_PWD_RESPONSE, true);
      LogPrint(LOG_ERR, "CTRLMSG_TYPE_CHANGE_PWD_RSP status in ChangePassword response: [%d]\n", status);
      switch (status) {
        case 0:
          s_.m_iState = NEG_STATE_PASSWORD_CHANGED;
          return 0;
        case -3: return 1006;
        case -14: return 1015;
        case -15: return 1016;
        default: return 0;
      }
    case CTRLMSG_TYPE_SMS_AUTH_REQ_RSP:
      s_.m_dwResponseFlags &= ~CChannelSession::kResponseAwaited;
      if (!hasStatus) return noStatus("Expect status in response when need sms auth\n", VQ_ERR_AUTH_RESPONSE, true);
      LogPrint(LOG_ERR, "Process CTRLMSG_TYPE_SMS_AUTH_REQ_RSP...status is[%d]\n", status);
      if (status == 0) {
        s_.m_iState = NEG_STATE_SMS_CODE_SENT;
        return 0;
      }
      return MapSmsStatus(status);
    case CTRLMSG_TYPE_SMS_AUTH_RSP:
      s_.m_dwResponseFlags &= ~CChannelSession::kResponseAwaited;
      if (!hasStatus) return noStatus("Expect status in sms auth response\n", VQ_ERR_AUTH_RESPONSE, true);
      if (status == 0) {
        s_.m_iState = NEG_STATE_AUTHENTICATED;
        return 0;
      }
      LogPrint(LOG_ERR, "CTRLMSG_TYPE_SMS_AUTH_RSP response error [%d]\n", status);
      return MapSmsStatus(status);
    default:
      return 0;
  }
}

int MessageDispatch::ProcessLoginResponse(const CtrlMessage& message) {
  uint32_t allow = 0;
  if (message.GetU32(CM_PAYLOAD_ALLOW_PWD, allow) != 0) {
    LogPrint(LOG_ERR, "Expect status in auth response CM_PAYLOAD_ALLOW_PWD\n");
  } else if (allow != 0 && env_.reports != nullptr) {
    env_.reports->NotifyGuiPasswordResult(VQ_PASSWORD_CHANGE_ALLOWED);
  }

  uint32_t sms = 0;
  if (message.GetU32(CM_PAYLOAD_SMS_AUTH, sms) == 0 && sms == 1) {
    const uint8_t* value = nullptr;
    uint16_t length = 0;
    if (message.GetPayload(CM_PAYLOAD_COOKIE, value, length) == 0) {
      if (length > kNotifyTextLimit + 1) return VQ_ERR_AUTH_RESPONSE;
      NotifyText(message, CM_PAYLOAD_COOKIE, VQ_NOTIFY_CREDENTIAL, 0, kNotifyTextLimit);
    }
    return static_cast<int>(VQ_ERR_SMS_AUTH_NEEDED);
  }

  const uint32_t authType = env_.connInfo != nullptr ? env_.connInfo->Get().auth_type : 0;
  DebugTrace(TRACE_SETUP, "g_conn_info.auth_type = %d!\n", authType);
  if (authType == AUTH_TYPE_USB_KEY_ONLY &&
      !NotifyText(message, CM_PAYLOAD_COOKIE, VQ_NOTIFY_CREDENTIAL, 0, kNotifyTextLimit)) {
    LogPrint(LOG_ERR, "Expect status in login response when get cookie!\n");
  }
  s_.m_iState = NEG_STATE_AUTHENTICATED;
  return 0;
}

int MessageDispatch::ProcessClientInfoAccepted(const CtrlMessage& message) {
  s_.m_dwResponseFlags &= ~(CChannelSession::kClientAddressDiffers | CChannelSession::kServerAddressDiffers);
  uint32_t address = 0;
  if (message.GetAddress(CM_PAYLOAD_CLIENT_IPV4, address) == 0 && address != s_.LocalAddress()) {
    s_.m_dwResponseFlags |= CChannelSession::kClientAddressDiffers;
  }
  if (message.GetAddress(CM_PAYLOAD_SERVER_IPV4, address) == 0 && address != s_.LocalAddress()) {
    s_.m_dwResponseFlags |= CChannelSession::kServerAddressDiffers;
  }
  s_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  s_.m_preferredGateways.clear();

  const uint8_t* value = nullptr;
  uint16_t length = 0;
  bool detect = false;
  if (message.GetPayload(CM_PAYLOAD_PERFE_SRV_IPV4, value, length) != 0) {
    if (message.GetPayload(CM_PAYLOAD_PERFE_SRV_IPV4_DETECT, value, length) != 0) return 0;
    detect = true;
  }
  if (IsGuiProcessingProx()) {
    LogPrint(LOG_DEBUG, " Has Processing Poximity, Not Accept new IP! \n");
    return 0;
  }
  const size_t count = length / 12;
  LogPrint(LOG_DEBUG, "Get CM_PAYLOAD_PERFE_SRV_IPV4 Count: %d\n", count);
  if (count > kMaxPreferredGateways) return 0;
  for (size_t i = 0; i < count; ++i) {
    PreferredGateway entry{};
    std::copy(value + i * 12, value + i * 12 + 12, entry.begin());
    if (!Append([&] { s_.m_preferredGateways.push_back(entry); })) return VQ_ERR_OUT_OF_MEMORY;
    uint32_t ip = 0;
    std::memcpy(&ip, entry.data(), 4);
    LogPrint(LOG_DEBUG, "Receive Prefer IP =%s,TCP Port =%d,Udp Port= %d\n", DottedIPv4(ip),
             wire::GetU32BE(entry.data() + 4), wire::GetU32BE(entry.data() + 8));
  }
  if (detect && !s_.m_preferredGateways.empty() && env_.startProximity) env_.startProximity();
  return 0;
}

int MessageDispatch::ProcessKeys(uint16_t type, const CtrlMessage& message) {
  uint32_t spi = 0;
  if (message.GetAddress(CM_PAYLOAD_SPI, spi) != 0) {
    LogPrint(LOG_ERR, "Can not get peer SPI\n");
    return VQ_ERR_KEY_RESPONSE;
  }
  uint16_t encryption = 0;
  if (message.GetU16(CM_PAYLOAD_ENCRYPT_ALG, encryption) != 0) {
    LogPrint(LOG_ERR, "Can not get encryption algorithm\n");
    return VQ_ERR_KEY_RESPONSE;
  }
  uint16_t hash = 0;
  if (message.GetU16(CM_PAYLOAD_HASH_ALG, hash) != 0) {
    LogPrint(LOG_ERR, "Can not get hash algorithm\n");
    return VQ_ERR_KEY_RESPONSE;
  }
  s_.m_dwGatewaySpi = ntohl(spi);
  LogPrint(LOG_INFO, "Remote SPI = %d", s_.m_dwGatewaySpi);

  if (IsProtocolV2OrLater() && message.GetU32(CM_PAYLOAD_SESSION_ID, s_.m_dwSessionId) != 0) {
    LogPrint(LOG_WARNING, "Get session id failed\n");
  }
  uint16_t cpi = 0;
  if (message.GetU16(CM_PAYLOAD_IPCOMP_CPI, cpi) == 0) {
    TheIpComp().SetPeerCpi(cpi);
    LogPrint(LOG_DEBUG, "Remote CPI = %d\n", cpi);
  } else {
    LogPrint(LOG_ERR, "Can not get remote CPI\n");
  }
  uint16_t algorithm = 0;
  if (message.GetU16(CM_PAYLOAD_IPCOMP_ALG, algorithm) == 0) {
    TheIpComp().SetAlgorithm(algorithm);
    LogPrint(LOG_DEBUG, "CompAlg = %d\n", algorithm);
  } else {
    LogPrint(LOG_ERR, "Can not get CompAlg\n");
  }

  if (DeriveKeyBlock(s_.m_keyMaterial, s_.m_keyBlock) != 0 ||
      esp_sa_setup(s_.m_dwLocalSpi, s_.m_dwGatewaySpi, s_.m_keyBlock, encryption, hash, s_.LocalAddress(),
                   s_.ServerAddress()) != 0) {
    s_.m_iState = NEG_STATE_FAILED;
    return VQ_ERR_KEY_RESPONSE;
  }

  if (type == CTRLMSG_TYPE_NEW_KEY) {
    const uint8_t* value = nullptr;
    uint16_t length = 0;
    if (message.GetPayload(CM_PAYLOAD_PORTAL_TITLE, value, length) == 0) {
      if (length >= 1 && length <= 254) {
        DebugTrace(TRACE_SETUP, "ProcessResponseMessage : Receive URL Title = %s \n",
                   std::string(reinterpret_cast<const char*>(value), length));
      }
      NotifyText(message, CM_PAYLOAD_PORTAL_TITLE, VQ_NOTIFY_URL_TITLE, 1, 254);
      if (message.GetPayload(CM_PAYLOAD_PORTAL_URL, value, length) == 0 && length >= 1 && length <= 254) {
        DebugTrace(TRACE_SETUP, "ProcessResponseMessage : Receive URL  = %s \n",
                   std::string(reinterpret_cast<const char*>(value), length));
      }
      NotifyText(message, CM_PAYLOAD_PORTAL_URL, VQ_NOTIFY_URL, 1, 254);
    }
  }
  s_.m_iState = NEG_STATE_KEY_DONE;
  return 0;
}

int MessageDispatch::ServerText(const CtrlMessage& message) {
  const uint16_t payload =
      GetUILanguage() == kChineseSimplified ? CM_PAYLOAD_MESSAGE_CN : CM_PAYLOAD_MESSAGE_EN;
  NotifyText(message, payload, VQ_NOTIFY_SERVER_TEXT, 1, kNotifyTextLimit);
  return VQ_ERR_SERVER_TEXT;
}

bool MessageDispatch::NotifyText(const CtrlMessage& message, uint16_t payload, uint8_t subCode, size_t minimum,
                                 size_t limit) {
  const uint8_t* value = nullptr;
  uint16_t length = 0;
  if (message.GetPayload(payload, value, length) != 0 || length < minimum || length > limit) return false;
  if (env_.reports != nullptr) {
    env_.reports->NotifyGuiText(subCode, std::string_view(reinterpret_cast<const char*>(value), length));
  }
  return true;
}

bool MessageDispatch::IsGuiProcessingProx() { return env_.reports != nullptr && env_.reports->IsGuiProcessingProx(); }

void MessageDispatch::ClearAutoLogon() {
  if (env_.connInfo != nullptr) env_.connInfo->Update([](conn_info& info) { info.init &= ~CONN_FLAG_AUTO_LOGON; });
}

}  // namespace brindleway
