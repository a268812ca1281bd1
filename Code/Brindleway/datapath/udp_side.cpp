#include "Brindleway/datapath/udp_side.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/datapath/device_path.h"
#include "Brindleway/datapath/esp_packet.h"
#include "Brindleway/datapath/ip_comp.h"
#include "Brindleway/datapath/tunnel_packets.h"
#include "Brindleway/datapath/udp_batch.h"
#include "Brindleway/datapath/udp_coalesced_receive.h"
#include "support/log.h"

namespace brindleway {
namespace {

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_family == AF_INET && a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// One datagram without waiting: 0, EAGAIN (the socket can't take it now)
// or another errno.
int SendDatagram(int socket, const uint8_t* data, size_t length, const sockaddr_in& to) {
  for (;;) {
    const ssize_t sent =
        ::sendto(socket, data, length, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent >= 0) return 0;
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? EAGAIN : errno;
  }
}

std::string LocalTimeText() {
  const std::time_t now = std::time(nullptr);
  char text[32] = {};
  return ::ctime_r(&now, text) != nullptr ? std::string(text) : std::string("\n");
}

using PacketBuilder = int (*)(uint8_t* buffer, uint32_t& length);

// A control packet built, encapsulated and sent; successLine gets the time.
int SendControlPacket(int socket, const sockaddr_in& gateway, PacketBuilder build, const char* successLine) {
  if (socket < 0) return -1;
  BufDescPtr packet = buf_desc_alloc(1);
  if (packet == nullptr) return -1;
  uint32_t length = packet->dwCapacity;
  if (build(packet->pData, length) != 0) return -1;
  packet->dwLength = length;
  if (esp_encap(packet.get()) != 0) return -1;  // never sent unencrypted
  if (const int error = SendDatagram(socket, packet->pData, packet->dwLength, gateway); error != 0) {
    LogPrint(LOG_ERR, "Error occured at WSASend(), %d\n", error);
    return -1;
  }
  LogPrint(LOG_INFO, successLine, LocalTimeText());
  return 0;
}

// What no gateway sends is dropped; the tunnel stays up.
bool FromGateway(const SocketContext& socket, const sockaddr_in& sender) {
  if (SameAddress(sender, socket.destination)) return true;
  if ((g_dwDebugTraceMask.load(std::memory_order_relaxed) & TRACE_PACKETS) != 0) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
    DebugTrace(TRACE_PACKETS, "Drop datagram from %s:%d\n", std::string(text), ntohs(sender.sin_port));
  }
  return false;
}

// One datagram per buffer, received straight into readBuffers.
int ReadDatagrams(SocketContext& socket, AdapterContext& adapter) {
  buf_desc* buffers[kTunIoOpsPerPass];
  size_t count = 0;
  for (BufDescPtr& buffer : socket.readBuffers) {
    if (buffer == nullptr) buffer = adapter.spareBuffers.Take();
    if (buffer == nullptr) break;
    buf_desc_reset(buffer.get());
    buffers[count++] = buffer.get();
  }
  if (count == 0) {
    LogPrint(LOG_ERR, "Can not allocate buffer for read socket\n");
    return -1;
  }
  size_t lengths[kTunIoOpsPerPass] = {};
  sockaddr_in senders[kTunIoOpsPerPass] = {};
  const int received = ReceiveDatagrams(socket.socket, std::span<buf_desc* const>(buffers, count),
                                        std::span<size_t>(lengths, count), std::span<sockaddr_in>(senders, count));
  if (received < 0) {
    LogPrint(LOG_ERR, "Error occured at WSARecv(), %d\n", errno);
    return -1;
  }
  // Fewer than asked for: the socket is drained, and the wait tells when
  // more has come.
  if (static_cast<size_t>(received) < count) socket.readPending = true;
  for (int i = 0; i < received; ++i) {
    DebugTrace(TRACE_PACKETS, "Received %d bytes\n", lengths[i]);
    if (lengths[i] == 0) continue;
    if (lengths[i] > buffers[i]->dwCapacity) {
      DebugTrace(TRACE_SETUP, "Partial recv!!!\n");
      continue;
    }
    if (!FromGateway(socket, senders[i])) continue;
    BufDescPtr& slot = socket.readBuffers[static_cast<size_t>(i)];
    slot->dwLength = static_cast<uint32_t>(lengths[i]);
    process_socket_packet(socket, adapter, std::move(slot));
  }
  return 0;
}

// Messages of coalesced datagrams into the receive area, each cut back
// into its datagrams and each of those copied into a buffer of its own.
int ReadCoalesced(SocketContext& socket, AdapterContext& adapter) {
  // A buffer at hand before anything leaves the socket; it is also the
  // first datagram's.
  BufDescPtr& spare = socket.readBuffers[0];
  if (spare == nullptr) spare = adapter.spareBuffers.Take();
  if (spare == nullptr) {
    LogPrint(LOG_ERR, "Can not allocate buffer for read socket\n");
    return -1;
  }
  CoalescedReceiveArea& area = *socket.receiveArea;
  const int received = area.Receive(socket.socket);
  if (received < 0) {
    LogPrint(LOG_ERR, "Error occured at WSARecv(), %d\n", errno);
    return -1;
  }
  // Fewer messages than asked for: drained, as above.
  if (static_cast<size_t>(received) < kCoalescedMessages) socket.readPending = true;
  for (size_t i = 0; i < static_cast<size_t>(received); ++i) {
    const CoalescedMessage& message = area.Message(i);
    DebugTrace(TRACE_PACKETS, "Received %d bytes\n", message.length);
    if (message.truncated) {
      DebugTrace(TRACE_SETUP, "Partial recv!!!\n");
      continue;
    }
    // All of one message came from one sender.
    if (message.length == 0 || !FromGateway(socket, message.sender)) continue;
    const size_t datagrams = message.DatagramCount();
    for (size_t k = 0; k < datagrams; ++k) {
      const std::span<const uint8_t> datagram = area.Datagram(i, k);
      BufDescPtr packet = spare != nullptr ? std::move(spare) : adapter.spareBuffers.Take();
      if (packet == nullptr) {
        DebugTrace(TRACE_PACKETS, "Drop datagram: no buffer\n");
        continue;
      }
      buf_desc_reset(packet.get());
      if (datagram.size() > packet->dwCapacity) {
        DebugTrace(TRACE_SETUP, "Partial recv!!!\n");
        spare = std::move(packet);
        continue;
      }
      std::memcpy(packet->pData, datagram.data(), datagram.size());
      packet->dwLength = static_cast<uint32_t>(datagram.size());
      process_socket_packet(socket, adapter, std::move(packet));
    }
  }
  return 0;
}

}  // namespace

int socket_read(SocketContext& socket, AdapterContext& adapter) {
  if (socket.readPending) return 0;
  const int result = socket.receiveArea != nullptr ? ReadCoalesced(socket, adapter) : ReadDatagrams(socket, adapter);
  submit_socket_packets(socket, adapter);
  return result;
}

void process_socket_packet(SocketContext& socket, AdapterContext& adapter, BufDescPtr packet) {
  if (packet == nullptr) return;
  if (InboundPipeline* pipeline = socket.inboundPipeline; pipeline != nullptr) {
    // Checked here, opened by a worker, taken on in this order.
    EspOpenJob job;
    if (esp_decap_check(packet.get(), job) != 0) return;
    pipeline->Add(std::move(packet), job);
    if (pipeline->Staged() >= kPipelineBatchPackets) submit_socket_packets(socket, adapter);
    return;
  }
  if (esp_decap(packet.get()) != 0) return;
  process_inner_packet(socket, adapter, std::move(packet));
}

void process_inner_packet(SocketContext& socket, AdapterContext& adapter, BufDescPtr packet) {
  const int uncompressed = TheIpComp().UncompressPacket(packet.get());
  if (uncompressed != IPCOMP_OK && uncompressed != IPCOMP_ERROR_NO_COMPRESS &&
      uncompressed != IPCOMP_ERROR_NOT_IPCOMP_PACKAGE) {
    return;
  }
  const bool controlAware = IsProtocolV2OrLater();
  if (controlAware && socket.path != nullptr &&
      classify_tunnel_packet(packet->pData, packet->dwLength, *socket.path) != 0) {
    LogPrint(LOG_INFO, "Recv ctrl message\n");
    return;
  }
  if (adapter.writeQueue.Size() >= kTunIoQueueLimit) {
    DebugTrace(TRACE_PACKETS, "Drop packet: %d waiting for the adapter\n", adapter.writeQueue.Size());
    return;
  }
  adapter.writeQueue.PushBack(std::move(packet));
}

void submit_socket_packets(SocketContext& socket, AdapterContext& adapter) {
  InboundPipeline* pipeline = socket.inboundPipeline;
  if (pipeline == nullptr) return;
  pipeline->Submit([&](BufDescPtr inner) { process_inner_packet(socket, adapter, std::move(inner)); });
}

size_t adapter_queue_room(const AdapterContext& adapter) {
  const size_t queued = adapter.writeQueue.Size();
  return queued < kTunIoQueueLimit ? kTunIoQueueLimit - queued : 0;
}

bool can_collect_socket_packets(const SocketContext& socket, const AdapterContext& adapter) {
  const InboundPipeline* pipeline = socket.inboundPipeline;
  return pipeline != nullptr && pipeline->InFlight() > 0 && adapter_queue_room(adapter) >= kPipelineBatchPackets;
}

void collect_socket_packets(SocketContext& socket, AdapterContext& adapter) {
  if (!can_collect_socket_packets(socket, adapter)) return;
  socket.inboundPipeline->Collect([&](BufDescPtr inner) { process_inner_packet(socket, adapter, std::move(inner)); },
                                  adapter_queue_room(adapter));
}

void socket_write(SocketContext& socket) {
  if (socket.writePending) return;
  // The datagram the socket refused last time goes first.
  BufDescPtr batch[kUdpBatchMax];
  const buf_desc* datagrams[kUdpBatchMax];
  size_t count = 0;
  if (socket.writeBuffer != nullptr) batch[count++] = std::move(socket.writeBuffer);
  while (count < kUdpBatchMax && !socket.writeQueue.Empty()) batch[count++] = socket.writeQueue.PopFront();
  if (count == 0) return;
  for (size_t i = 0; i < count; ++i) datagrams[i] = batch[i].get();
  const int sent = SendDatagrams(socket.socket, socket.sendState, std::span<const buf_desc* const>(datagrams, count),
                                 socket.destination);
  size_t done = 0;
  if (sent >= 0) {
    done = static_cast<size_t>(sent);
    for (size_t i = 0; i < done; ++i) DebugTrace(TRACE_PACKETS, "Send %d bytes\n", datagrams[i]->dwLength);
  } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
    socket.writePending = true;
  } else {
    // The datagram the socket refused is dropped; the rest wait their turn.
    LogPrint(LOG_ERR, "Error occured at WSASend(), %d\n", errno);
    done = 1;
  }
  for (size_t i = 0; i < done; ++i) socket.sentBuffers.Give(std::move(batch[i]));
  // The rest, in order: the first becomes current.
  for (size_t i = count; i-- > done + 1;) socket.writeQueue.PushFront(std::move(batch[i]));
  if (done < count) socket.writeBuffer = std::move(batch[done]);
}

int send_tunnel_heartbeat(int socket, const sockaddr_in& gateway) {
  if (socket < 0) return -1;
  const uint8_t beat = TUN_HEARTBEAT_BYTE;
  if (const int error = SendDatagram(socket, &beat, 1, gateway); error != 0) {
    LogPrint(LOG_ERR, "Error occured at WSASend(), %d\n", error);
    return -1;
  }
  return 0;
}

int send_channel_keepalive(int socket, const sockaddr_in& gateway) {
  return SendControlPacket(
      socket, gateway, [](uint8_t* buffer, uint32_t& length) { return build_keepalive(buffer, length); },
      "Send channel keepalive message %s");
}

int send_logout(int socket, const sockaddr_in& gateway) {
  return SendControlPacket(
      socket, gateway, [](uint8_t* buffer, uint32_t& length) { return build_disconnect_udp(buffer, length); },
      "Send logout message %s");
}

}  // namespace brindleway
