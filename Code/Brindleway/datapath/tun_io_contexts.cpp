#include "Brindleway/tun_io_contexts.h"

#include "Brindleway/message_dispatch.h"

namespace brindleway {

AdapterContext MakeAdapterContext(const DataPathContext& ctx) {
  AdapterContext adapter;
  adapter.device = ctx.adapter;
  adapter.ownAddress = ctx.tunnelAddress;
  adapter.prefixLength = MaskPrefixLength(ctx.tunnelMask);
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
