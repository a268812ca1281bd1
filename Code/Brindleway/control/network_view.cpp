// The system's side of the tunnel address check and the gateway route.
#include "Brindleway/control/message_dispatch.h"
#include "platform/net/ip_helper.h"
#include "support/net_adapter.h"

namespace brindleway {

NetworkView SystemNetworkView() {
  return NetworkView{
      [](uint32_t& index) { return GetTunAdapterIndex(index); },
      [](std::vector<platform::net::IpAddrRow>& rows) { return platform::net::GetIpAddrTable(rows); },
      [](std::vector<platform::net::IpForwardRow>& rows) { return platform::net::GetIpForwardTable(rows, true); },
  };
}

}  // namespace brindleway
