#include "Brindleway/datapath/device_path.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <span>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/datapath/esp_packet.h"
#include "Brindleway/datapath/hex_dump.h"
#include "Brindleway/datapath/ip_comp.h"
#include "Brindleway/datapath/ip_frag.h"
#include "Brindleway/datapath/traffic_counters.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

constexpr size_t kIpv4HeaderLength = 20;
constexpr size_t kIpv6HeaderLength = 40;
constexpr size_t kDestinationAt = 16;

uint32_t Destination(const uint8_t* packet) { return wire::GetU32BE(packet + kDestinationAt); }

// Every byte held is dropped; the buffer stays for the next read.
void DropHeld(AdapterContext& adapter) { buf_desc_reset(adapter.readBuffer.get()); }

// One whole datagram on its way to the tunnel.
void SendToTunnel(const AdapterContext& adapter, SocketContext& socket, BufDescPtr packet) {
  const uint8_t* data = packet->pData;
  if ((data[0] >> 4) == 6) {
    DebugTrace(TRACE_PACKETS, "Drop IPv6 packet (%d bytes)\n", packet->dwLength);
    return;
  }
  if (is_broadcast(adapter.ownAddress, adapter.prefixLength, data) || is_multicast(data)) {
    DebugTrace(TRACE_PACKETS, "Drop broadcat or multicast packet: %u\n", Destination(data));
    return;
  }
  if (socket.writeQueue.Size() >= kTunIoQueueLimit) {
    DebugTrace(TRACE_PACKETS, "Drop packet: %d waiting for the socket\n", socket.writeQueue.Size());
    return;
  }
  if (OutboundPipeline* pipeline = socket.outboundPipeline; pipeline != nullptr) {
    // Numbered here, compressed and sealed by a worker, sent in this order.
    const uint32_t length = packet->dwLength;
    EspSealJob job;
    if (esp_encap_frame(packet.get(), job) != 0) return;  // never sent unencrypted
    pipeline->Add(std::move(packet), job, length, TheIpComp().MayCompress());
    if (pipeline->Staged() >= kPipelineBatchPackets) pipeline->Submit(socket.writeQueue);
    return;
  }
  // Any result leaves a packet ready to send, compressed or not.
  TheIpComp().CompressPacket(packet.get());
  const uint32_t length = packet->dwLength;
  if (esp_encap(packet.get()) != 0) return;  // never sent unencrypted
  TheTrafficCounters().CountSent(length);
  socket.writeQueue.PushBack(std::move(packet));
}

}  // namespace

size_t ip_packet_length(const uint8_t* packet, size_t held) {
  if (held < 1) return 0;
  const int version = packet[0] >> 4;
  if (version == 4) return held < 4 ? 0 : wire::GetU16BE(packet + 2);
  if (version == 6) return held < 6 ? 0 : kIpv6HeaderLength + wire::GetU16BE(packet + 4);
  return 0;
}

int ip_sanity_check(const uint8_t* packet, size_t held, size_t capacity) {
  if (held < 1) return -1;
  const int version = packet[0] >> 4;
  if (version != 4 && version != 6) {
    LogPrint(LOG_ERR, "Unrecognized IP version: %d\n", version);
    LogHexDump("IP header: ", packet, static_cast<int>(std::min(held, kIpv4HeaderLength)));
    return -1;
  }
  const size_t length = ip_packet_length(packet, held);
  if (length == 0 && held < (version == 4 ? 4u : 6u)) return 0;  // not known yet
  if ((version == 4 && length < kIpv4HeaderLength) || length > capacity) {
    LogPrint(LOG_ERR, "invalid ip length: %d\n", length);
    return -1;
  }
  return 0;
}

bool is_broadcast(uint32_t ownAddress, int prefixLength, const uint8_t* packet) {
  const uint32_t destination = Destination(packet);
  if (destination == 0xFFFFFFFFu) return true;
  if (prefixLength >= 32 || prefixLength < 0) return false;
  const uint32_t hostBits = prefixLength == 0 ? 0xFFFFFFFFu : (1u << (32 - prefixLength)) - 1;
  return destination == (ntohl(ownAddress) | hostBits);
}

bool is_multicast(const uint8_t* packet) { return (packet[kDestinationAt] & 0xE0) == 0xE0; }

void parse_device_packets(AdapterContext& adapter, SocketContext& socket) {
  BufDescPtr current = std::move(adapter.readBuffer);
  while (current != nullptr) {
    const uint8_t* data = current->pData;
    const size_t held = current->dwLength;
    hex_dump("IP packet", data, static_cast<int>(held));
    DebugTrace(TRACE_PACKETS, "start %x, len %x, len %x\n", static_cast<unsigned>(current->pData - current->pBuffer),
               held, ip_packet_length(data, held));
    if (ip_sanity_check(data, held, current->dwCapacity) != 0) {
      LogPrint(LOG_ERR, "sanity test failed\n");
      adapter.readBuffer = std::move(current);
      DropHeld(adapter);
      return;
    }
    const size_t length = ip_packet_length(data, held);
    if (length == 0 || held < length) {
      LogPrint(LOG_ERR, "Partial IP datagram, %d of %d\n", held, length);
      adapter.readBuffer = std::move(current);
      return;
    }
    BufDescPtr next;
    if (held > length) {
      DebugTrace(TRACE_PACKETS, "Left over for the next packet, copy leftover to a new packet (%d/%d)\n", held - length,
                 held);
      next = buf_desc_alloc(1);
      if (next != nullptr) {
        std::memcpy(next->pData, data + length, held - length);
        next->dwLength = static_cast<uint32_t>(held - length);
      } else {
        LogPrint(LOG_ERR, "Can not allocate buffer for left over part.\n");
      }
      current->dwLength = static_cast<uint32_t>(length);
    }
    SendToTunnel(adapter, socket, std::move(current));
    current = std::move(next);
  }
}

int devicefile_read(AdapterContext& adapter, SocketContext& socket) {
  if (adapter.readPending) return 0;
  if (adapter.readBuffer == nullptr) {
    adapter.readBuffer = socket.sentBuffers.Take();
    if (adapter.readBuffer == nullptr) {
      LogPrint(LOG_ERR, "Can not allocate buffer for read device file\n");
      return -1;
    }
  }
  buf_desc* buffer = adapter.readBuffer.get();
  const std::span<uint8_t> room(buffer->pData + buffer->dwLength, buffer->dwCapacity - buffer->dwLength);
  size_t count = 0;
  const uint32_t error = adapter.device == nullptr ? platform::ERROR_INVALID_HANDLE : adapter.device->Read(room, count);
  if (error == platform::ERROR_IO_PENDING) {
    adapter.readPending = true;
    return 0;
  }
  if (error == platform::ERROR_MORE_DATA) {
    // Longer than any packet the tunnel can carry: dropped, with whatever
    // part of an earlier one was held.
    LogPrint(LOG_ERR, "Error occured at ReadFile(), %d\n", error);
    buf_desc_reset(buffer);
    return 0;
  }
  if (error != 0) {
    LogPrint(LOG_ERR, "Error occured at ReadFile(), %d\n", error);
    buf_desc_reset(buffer);
    return -1;
  }
  DebugTrace(TRACE_PACKETS, "read %d bytes from device file\n", count);
  if (count == 0) return -1;
  buffer->dwLength += static_cast<uint32_t>(count);
  parse_device_packets(adapter, socket);
  return 0;
}

void devicefile_write(AdapterContext& adapter) {
  if (adapter.writePending) return;
  // The packet the device could not take last time goes first.
  BufDescPtr batch[kAdapterWriteBatch];
  size_t count = 0;
  if (adapter.writeBuffer != nullptr) batch[count++] = std::move(adapter.writeBuffer);
  while (count < kAdapterWriteBatch && !adapter.writeQueue.Empty()) {
    BufDescPtr packet = adapter.writeQueue.PopFront();
    if (adapter.mtu != 0 && packet->dwLength > adapter.mtu) {
      DebugTrace(TRACE_PACKETS, "Need frag: packet len (%d), mtu (%d)\n", packet->dwLength, adapter.mtu);
      const int result = ip_frag(adapter.writeQueue, packet.get(), adapter.mtu);
      DebugTrace(TRACE_SETUP, "return ip_frag result = %d..\n", result);
      // The packet is now its first fragment, the others next in the queue;
      // a packet that can't be split is dropped rather than tried again.
      if (result != 0) continue;
    }
    batch[count++] = std::move(packet);
  }
  if (count == 0) return;
  std::span<const uint8_t> packets[kAdapterWriteBatch];
  for (size_t i = 0; i < count; ++i) packets[i] = {batch[i]->pData, batch[i]->dwLength};
  size_t done = 0;
  const uint32_t error = adapter.device == nullptr
                             ? platform::ERROR_INVALID_HANDLE
                             : adapter.device->WritePackets(std::span<const std::span<const uint8_t>>(packets, count),
                                                            done);
  for (size_t i = 0; i < done; ++i) {
    DebugTrace(TRACE_PACKETS, "wrote %d bytes to device file\n", batch[i]->dwLength);
    TheTrafficCounters().CountReceived(batch[i]->dwLength);
    adapter.spareBuffers.Give(std::move(batch[i]));
  }
  if (error == platform::ERROR_IO_PENDING) {
    adapter.writePending = true;
    DebugTrace(TRACE_TIMING, "write device file pending..\n");
  } else if (error != 0 && done < count) {
    // The packet the device refused is dropped; the rest wait their turn.
    LogPrint(LOG_ERR, "Error occurred at WriteFile(), %d\n", error);
    batch[done++].reset();
  }
  // The rest, in order: the first becomes current.
  for (size_t i = count; i-- > done + 1;) adapter.writeQueue.PushFront(std::move(batch[i]));
  if (done < count) adapter.writeBuffer = std::move(batch[done]);
}

}  // namespace brindleway
