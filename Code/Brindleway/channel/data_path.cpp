#include "Brindleway/channel/data_path.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <ctime>

#include "Brindleway/adapter/adapter_address.h"
#include "Brindleway/adapter/dhcp_client.h"
#include "Brindleway/adapter/session_name_servers.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/negotiation_requests.h"
#include "Brindleway/datapath/udp_side.h"
#include "platform/net/ip_helper.h"
#include "support/log.h"

namespace brindleway {

DataPath::DataPath(ChannelContext& ctx, PostToChannelThread post, platform::Clock& clock)
    : ctx_(ctx),
      post_(std::move(post)),
      clock_(clock),
      threads_(ctx.tunIoStop, ctx.tunKeepAliveStop),
      routes_(lock_) {}

DataPath::~DataPath() { threads_.Stop(); }

int DataPath::StartTunnel(CChannelSession& session) {
  if (session.m_iState != NEG_STATE_IDLE) {
    LogPrint(LOG_ERR, "Invalid status\n");
    return VQ_ERR_TUNNEL_INTERFACE;
  }
  tun_ = CreateTunDevice(session.m_dwTunnelAddr, session.m_dwGatewayTunnelAddr, session.m_dwTunnelMask);
  if (!tun_) return VQ_ERR_TUNNEL_INTERFACE;

  socket_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!socket_.valid()) {
    LogPrint(LOG_ERR, "Create socket error [0x%x]\n", static_cast<unsigned>(errno));
    Release(session);
    return VQ_ERR_TUNNEL_SOCKET;
  }
  const int on = 1;
  ::setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const int receiveBuffer = kDataSocketReceiveBuffer;
  // Past the system's limit where the service may (it runs with the right
  // to), else as far as that limit lets.
  if (::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0 &&
      ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0) {
    LogPrint(LOG_ERR, "setsockopt SO_RCVBUF error: %ld\n", static_cast<long>(errno));
  }
  sockaddr_in any{};
  any.sin_family = AF_INET;
  if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    LogPrint(LOG_ERR, "Socket bind error [0x%x]\n", static_cast<unsigned>(errno));
    Release(session);
    return VQ_ERR_TUNNEL_BIND;
  }
  // An unconnected UDP socket here never turns an ICMP port-unreachable
  // into a receive error, so there is nothing to switch off.

  context_ = std::make_unique<DataPathContext>();
  context_->adapter = tun_->device.get();
  context_->udpSocket = socket_.get();
  context_->localAddress = session.LocalAddress();
  context_->gatewayAddress = session.ServerAddress();
  context_->tunnelAddress = session.m_dwTunnelAddr;
  context_->tunnelMask = session.m_dwTunnelMask;
  context_->gatewayUdpPort = session.m_wGatewayUdpPort;
  context_->mtu = TunMtu();
  context_->clock = &clock_;
  context_->post = post_;

  platform::net::IpForwardRow best;
  if (platform::net::GetBestRoute(session.ServerAddress(), best) == 0) routes_.KeepGatewayRoute(best);

  uint32_t dhcpStartType = 0;
  uint32_t dhcpState = 0;
  const bool dhcpStarted = EnsureDhcpClientRunning(dhcpStartType, dhcpState);

  if (routes_.InstallRoutes(session.m_routeList, tun_.get()) != 0) {
    if (dhcpStarted) RestoreDhcpClientStatus(dhcpStartType, dhcpState);
    Release(session);
    return VQ_ERR_TUNNEL_ROUTE;
  }
  LogPrint(LOG_INFO, "Add routes OK\n");
  AddDnsServers(lock_, session.m_dnsList, tun_.get());
  ChangeChannelDNSPri(0);
  AddWinsServers(lock_, session.m_winsList, tun_.get());

  threads_.Start(*context_);
  if (dhcpStarted) RestoreDhcpClientStatus(dhcpStartType, dhcpState);
  session.SetConnectTime(std::time(nullptr));
  return 0;
}

void DataPath::StopTunnel(CChannelSession& session) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  session.m_iState = NEG_STATE_NONE;
  // Nothing may use the socket or the adapter once they go.
  threads_.Stop();
  const sockaddr_in gateway = context_ ? context_->GatewayDataAddress() : sockaddr_in{};
  const int udp = socket_.get();
  SendLogout(session, [&](const uint8_t*, size_t) {
    if (udp >= 0) send_logout(udp, gateway);
  });
  session.CloseChannel();
  if (IsProtocolV2OrLater()) session.ClearReportedAddresses();
  Release(session);
  ctx_.channelState = CHANNEL_STATE_IDLE;
}

void DataPath::Release(CChannelSession& session) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  socket_.reset();
  session.SetConnectTime(0);
  if (tun_) {
    ChangeChannelDNSPri(1);
    ClearWinsServers(lock_, session.m_winsList, tun_.get());
  }
  routes_.DeleteRoutes(session.m_routeList);
  if (tun_) {
    CloseTunDevice(std::move(tun_));
    LogPrint(LOG_INFO, "Release tunnel interface OK\n");
  }
  context_.reset();
}

}  // namespace brindleway
