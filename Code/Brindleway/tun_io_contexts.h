// The I/O loop's two contexts: the adapter side and the socket side, each
// with its read buffer, its write buffer and the queue that feeds it. Only
// the I/O loop thread touches them.
//
// "Pending" is readiness here: a read is pending once the device or socket
// had nothing to give (the loop then waits for it to become readable), a
// write once it could take nothing more (the loop waits for writable and
// then writes the same buffer again).
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "Brindleway/data_path_context.h"
#include "Brindleway/packet_buffer_pool.h"
#include "Brindleway/packet_queue.h"
#include "platform/tun/tun.h"

namespace brindleway {

struct AdapterContext {
  platform::tun::Device* device = nullptr;
  // Network order; with the prefix length, for the broadcast test.
  uint32_t ownAddress = 0;
  int prefixLength = 32;
  // 0: nothing is fragmented.
  uint32_t mtu = 0;

  // Bytes read so far; a datagram split over two reads is joined here.
  BufDescPtr readBuffer;
  bool readPending = false;
  // The packet being written; it stays until the device took it.
  BufDescPtr writeBuffer;
  bool writePending = false;
  // Decrypted packets and fragments on their way to the adapter.
  PacketQueue writeQueue;

  bool HasWriteWork() const { return writeBuffer != nullptr || !writeQueue.Empty(); }
};

struct SocketContext {
  DataPathContext* path = nullptr;
  int socket = -1;
  // Where the data goes, and the only sender whose datagrams are taken.
  sockaddr_in destination{};

  BufDescPtr readBuffer;
  bool readPending = false;
  BufDescPtr writeBuffer;
  bool writePending = false;
  // Encapsulated datagrams on their way to the gateway.
  PacketQueue writeQueue;

  bool HasWriteWork() const { return writeBuffer != nullptr || !writeQueue.Empty(); }
};

// The number of leading one bits of a netmask in network order.
int NetmaskPrefixLength(uint32_t netmask);

AdapterContext MakeAdapterContext(const DataPathContext& ctx);
SocketContext MakeSocketContext(DataPathContext& ctx);

}  // namespace brindleway
