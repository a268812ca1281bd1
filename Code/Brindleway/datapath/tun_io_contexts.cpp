#include "Brindleway/datapath/tun_io_contexts.h"

#include "platform/net/ipv4_prefix.h"

namespace brindleway {

AdapterContext MakeAdapterContext(const DataPathContext& ctx) {
  AdapterContext adapter;
  adapter.device = ctx.adapter;
  adapter.ownAddress = ctx.tunnelAddress;
  adapter.prefixLength = platform::net::MaskPrefixLength(ctx.tunnelMask);
  adapter.mtu = ctx.mtu;
  return adapter;
}

SocketContext MakeSocketContext(DataPathContext& ctx) {
  SocketContext socket;
  socket.path = &ctx;
  socket.socket = ctx.udpSocket;
  socket.destination = ctx.GatewayDataAddress();
  if (ctx.udpSocket >= 0 && EnableReceiveCoalescing(ctx.udpSocket)) {
    socket.receiveArea = std::make_unique<CoalescedReceiveArea>();
  }
  return socket;
}

void ReleaseOutbound(AdapterContext& adapter, SocketContext& socket) {
  if (socket.outboundPipeline != nullptr) socket.outboundPipeline->Stop();
  adapter.readBuffer.reset();
  socket.writeBuffer.reset();
  socket.writeQueue.Clear();
  socket.sentBuffers.Clear();
}

void ReleaseInbound(AdapterContext& adapter, SocketContext& socket) {
  if (socket.inboundPipeline != nullptr) socket.inboundPipeline->Stop();
  for (BufDescPtr& buffer : socket.readBuffers) buffer.reset();
  adapter.writeBuffer.reset();
  adapter.writeQueue.Clear();
  adapter.spareBuffers.Clear();
}

}  // namespace brindleway
