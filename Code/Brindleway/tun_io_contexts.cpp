#include "Brindleway/tun_io_contexts.h"

#include <arpa/inet.h>

#include <bit>

namespace brindleway {

int NetmaskPrefixLength(uint32_t netmask) { return std::countl_one(ntohl(netmask)); }

AdapterContext MakeAdapterContext(const DataPathContext& ctx) {
  AdapterContext adapter;
  adapter.device = ctx.adapter;
  adapter.ownAddress = ctx.tunnelAddress;
  adapter.prefixLength = NetmaskPrefixLength(ctx.tunnelMask);
  adapter.mtu = ctx.mtu;
  return adapter;
}

SocketContext MakeSocketContext(DataPathContext& ctx) {
  SocketContext socket;
  socket.path = &ctx;
  socket.socket = ctx.udpSocket;
  socket.destination = ctx.GatewayDataAddress();
  return socket;
}

}  // namespace brindleway
