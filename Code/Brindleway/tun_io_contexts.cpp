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

void ReleaseOutbound(AdapterContext& adapter, SocketContext& socket) {
  adapter.readBuffer.reset();
  socket.writeBuffer.reset();
  socket.writeQueue.Clear();
}

void ReleaseInbound(AdapterContext& adapter, SocketContext& socket) {
  for (BufDescPtr& buffer : socket.readBuffers) buffer.reset();
  adapter.writeBuffer.reset();
  adapter.writeQueue.Clear();
}

}  // namespace brindleway
