// The I/O loop's two contexts: the adapter side and the socket side, each
// with its read buffers, its write buffer and the queue that feeds it.
//
// The loop runs its two directions on two threads (tun_io_loop.h): the
// outbound one uses the adapter's read side and the socket's write side,
// the inbound one the socket's read side and the adapter's write side.
// Nothing else is touched by both but the fields set before they start.
//
// "Pending" is readiness here: a read is pending once the device or socket
// had nothing to give (the loop then waits for it to become readable), a
// write once it could take nothing more (the loop waits for writable and
// then writes the same buffer again).
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <memory>

#include "Brindleway/common/constants.h"
#include "Brindleway/datapath/data_path_context.h"
#include "Brindleway/datapath/inbound_pipeline.h"
#include "Brindleway/datapath/outbound_pipeline.h"
#include "Brindleway/datapath/packet_buffer_pool.h"
#include "Brindleway/datapath/packet_buffer_stock.h"
#include "Brindleway/datapath/packet_queue.h"
#include "Brindleway/datapath/udp_batch.h"
#include "Brindleway/datapath/udp_coalesced_receive.h"
#include "platform/tun/tun.h"

namespace brindleway {

// Each direction's fields on cache lines of their own.
inline constexpr size_t kTunIoLine = 64;

struct AdapterContext {
  platform::tun::Device* device = nullptr;
  // Network order; with the prefix length, for the broadcast test.
  uint32_t ownAddress = 0;
  int prefixLength = 32;
  // 0: nothing is fragmented.
  uint32_t mtu = 0;

  // Outbound. Bytes read so far; a datagram split over two reads is joined
  // here.
  alignas(kTunIoLine) BufDescPtr readBuffer;
  bool readPending = false;

  // Inbound. The packet being written; it stays until the device took it.
  alignas(kTunIoLine) BufDescPtr writeBuffer;
  bool writePending = false;
  // Decrypted packets and fragments on their way to the adapter.
  PacketQueue writeQueue;
  // The buffers of packets written, for the socket's next receives.
  PacketBufferStock spareBuffers{kTunIoQueueLimit};

  bool HasWriteWork() const { return writeBuffer != nullptr || !writeQueue.Empty(); }
};

struct SocketContext {
  DataPathContext* path = nullptr;
  int socket = -1;
  // Where the data goes, and the only sender whose datagrams are taken.
  sockaddr_in destination{};

  // Inbound. The buffers of the next receive, kept between calls.
  alignas(kTunIoLine) std::array<BufDescPtr, kTunIoOpsPerPass> readBuffers;
  bool readPending = false;
  // Where the socket coalesces datagrams, their messages land here and are
  // cut into readBuffers' kind of buffers; null: one datagram per buffer.
  std::unique_ptr<CoalescedReceiveArea> receiveArea;
  // The crypto workers between the receives and the adapter queue (not
  // owned); null: each datagram is decapsulated on the inbound thread.
  InboundPipeline* inboundPipeline = nullptr;

  // Outbound. The datagram the socket could not take yet; it goes first.
  alignas(kTunIoLine) BufDescPtr writeBuffer;
  bool writePending = false;
  // Encapsulated datagrams on their way to the gateway.
  PacketQueue writeQueue;
  // The buffers of datagrams sent, for the adapter's next reads.
  PacketBufferStock sentBuffers{kTunIoQueueLimit};
  UdpSendState sendState;
  // The crypto workers between the adapter reads and writeQueue (not
  // owned); null: each packet is encapsulated on the outbound thread.
  OutboundPipeline* outboundPipeline = nullptr;

  bool HasWriteWork() const { return writeBuffer != nullptr || !writeQueue.Empty(); }
};

AdapterContext MakeAdapterContext(const DataPathContext& ctx);
// Turns on receive coalescing on the data socket, and makes the receive
// area, where the kernel agrees: the socket coalesces only for a reader
// that cuts its messages.
SocketContext MakeSocketContext(DataPathContext& ctx);

// Every buffer one direction holds goes back to the pool.
void ReleaseOutbound(AdapterContext& adapter, SocketContext& socket);
void ReleaseInbound(AdapterContext& adapter, SocketContext& socket);

}  // namespace brindleway
