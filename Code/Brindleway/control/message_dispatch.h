// Every control message the session reads comes here:
//   1. load and parse it (codec errors are the result);
//   2. a response: it must be the one awaited (bit 0 of the response flags,
//      the expected type), else 10; its handler turns the status into the
//      negotiation state and a code;
//   3. a message from the gateway: while a response is awaited only SET_IP
//      (which ends that wait) and SVR_DISCONN pass, else 10; then SET_IP,
//      SET_ROUTE, KEY_DONE, SVR_DISCONN or HOST_CHECK store what the
//      gateway assigns in the session.
// A nonzero result ends the request that is reading (negotiation_requests.h).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "Brindleway/common/channel_context.h"
#include "Brindleway/common/channel_ops.h"
#include "Brindleway/control/control_channel.h"
#include "Brindleway/control/ctrl_message.h"
#include "platform/net/ip_helper.h"

namespace brindleway {

// What the tunnel checks and the gateway route read of the system.
struct NetworkView {
  // The virtual adapter's interface index; 0 or -1.
  std::function<int(uint32_t& index)> tunnelIndex;
  // 0 or a Win32 code.
  std::function<uint32_t(std::vector<platform::net::IpAddrRow>&)> addressTable;
  std::function<uint32_t(std::vector<platform::net::IpForwardRow>&)> routeTable;
};
// The adapter from the registry, the tables from the system.
NetworkView SystemNetworkView();

// What the handlers reach outside the session.
struct DispatchEnv {
  GuiReports* reports = nullptr;
  // CONN_FLAG_AUTO_LOGON is cleared here when the gateway refuses; the
  // authentication type is read from it.
  ConnInfoSlot* connInfo = nullptr;
  // The service's channel state: heart-beat answers count only while 4.
  const std::atomic<uint32_t>* channelState = nullptr;
  NetworkView network = SystemNetworkView();
  // The host check takes the gateway's script digest and cycle.
  std::function<void(const std::array<uint8_t, 16>& digest)> hostCheckDigest;
  // Starts the proximity detection over the preferred gateways.
  std::function<void()> startProximity;
};

class MessageDispatch {
 public:
  // The dispatch must outlive every read of the session after Attach.
  MessageDispatch(CChannelSession& session, DispatchEnv env);
  MessageDispatch(const MessageDispatch&) = delete;
  MessageDispatch& operator=(const MessageDispatch&) = delete;

  // Makes this the session's message handler.
  void Attach();

  int ProcessReceivedMessage(const uint8_t* bytes, size_t length);
  int ProcessRequestMessage(uint16_t type, const CtrlMessage& message);
  int ProcessResponseMessage(uint16_t type, const CtrlMessage& message);
  int ProcessSetIp(const CtrlMessage& message);
  int ProcessSetRoute(const CtrlMessage& message);
  int ProcessKeyDone(const CtrlMessage& message);
  int ProcessServerDisconnect(const CtrlMessage& message);
  int ProcessHostCheck(const CtrlMessage& message);
  // 0, 72 (no adapter, tables unreadable, unusable values), 103, 104.
  int CheckTunnelAddress();
  // 0, 61, 73.
  int AddGatewayRoute();
  // 0 or 61.
  int AddDnsServer(uint32_t address);
  int AppendWinsServer(uint32_t address);
  bool IsGuiProcessingProx();

 private:
  int ProcessLoginResponse(const CtrlMessage& message);
  int ProcessClientInfoAccepted(const CtrlMessage& message);
  int ProcessKeys(uint16_t type, const CtrlMessage& message);
  // The gateway's own text (status -99): notified when it fits; 1014.
  int ServerText(const CtrlMessage& message);
  // A text payload of 0..limit bytes to the client application; false
  // when missing or longer.
  bool NotifyText(const CtrlMessage& message, uint16_t payload, uint8_t subCode, size_t minimum, size_t limit);
  void ClearAutoLogon();

  CChannelSession& s_;
  DispatchEnv env_;
};

// a and b in one subnet of mask; all three in network order.
bool IsSameSubnet(uint32_t a, uint32_t mask, uint32_t b);
// The route of another interface than tunnelIndex that leads to gateway:
// longest mask, then lowest metric, then the first found. Null when none.
const platform::net::IpForwardRow* BestRouteTo(const std::vector<platform::net::IpForwardRow>& rows,
                                               uint32_t gateway, uint32_t tunnelIndex);

}  // namespace brindleway
