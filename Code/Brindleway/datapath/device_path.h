// The adapter side of the data path: IP packets read from the virtual
// adapter go to the tunnel, decrypted packets from the tunnel are written
// to the adapter. Runs on the I/O loop's threads only.
//
// Outbound road of the bytes one read gives (outbound thread of the I/O
// loop):
//  1. appended to the read buffer, one the socket sent from when it has
//     one (SocketContext::sentBuffers); a datagram split over two reads
//     joins the part held;
//  2. sanity: IP version 4 or 6 and a length that fits a buffer, else every
//     byte held is dropped;
//  3. fewer bytes than the length: kept for the next read;
//  4. more: the rest moves to a buffer of its own and is examined next;
//  5. IPv6 is dropped by its own length (the tunnel carries IPv4 only);
//     broadcast (255.255.255.255, or the adapter's subnet with all host
//     bits set) and multicast (224.0.0.0 and up) are dropped;
//  6. compressed when that pays, counted (bytes after compression),
//     encapsulated and queued for the socket; the I/O loop sends the queue
//     after the pass's reads, several datagrams per call. With crypto
//     workers (outbound_pipeline.h) the packet is numbered here and handed
//     to them instead, and counted once sealed.
//
// Inbound (inbound thread): what the adapter queue holds is written in one
// batch, up to kAdapterWriteBatch packets; a packet longer than the MTU is
// fragmented on the way (ip_frag) and a packet that can't be is dropped.
// What the device can't take yet is retried once it can, in order; a packet
// it refuses is dropped (logged); each packet written counts its bytes and
// one packet received, and its buffer is kept for the socket's next
// receives (AdapterContext::spareBuffers).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Brindleway/datapath/tun_io_contexts.h"

namespace brindleway {

// 0; -1 when no buffer could be had, the device failed, or a read gave 0
// bytes (the I/O loop then reports 4004).
int devicefile_read(AdapterContext& adapter, SocketContext& socket);
// Splits adapter.readBuffer into datagrams and queues them for the socket.
void parse_device_packets(AdapterContext& adapter, SocketContext& socket);
// Writes the current packet and those queued behind it, up to
// kAdapterWriteBatch, in one call.
void devicefile_write(AdapterContext& adapter);

// 0 when held bytes start like an IPv4 or IPv6 packet whose length (once
// enough bytes are held to read it) is at least a header and at most
// capacity; -1, logged, otherwise.
int ip_sanity_check(const uint8_t* packet, size_t held, size_t capacity);
// The packet's length by its header (IPv4 total length, IPv6 40 + payload
// length); 0 while too few bytes are held to tell.
size_t ip_packet_length(const uint8_t* packet, size_t held);
// Both read the IPv4 destination at offset 16: at least 20 bytes.
bool is_broadcast(uint32_t ownAddress, int prefixLength, const uint8_t* packet);
bool is_multicast(const uint8_t* packet);

}  // namespace brindleway
