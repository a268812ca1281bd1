// Tunnel control packets: inner IPv4 packets between 0.0.0.0 and 0.0.0.0
// that travel inside the encrypted channel beside the user's traffic.
//   - keep-alive: ICMP echo request; 32 bytes for gateways below 2.1, 44
//     from 2.1 on, where the gateway's keep-alives carry the MD5 digest of
//     its current host-check script at offset 28;
//   - disconnect: UDP with ports 0 and 0 and a u32 at offset 28: 1 is the
//     gateway's notice (its reason follows at offset 32), 2 our logout.
// Every multi-byte field is big-endian; the identification fields are the
// low 16 bits of our process id, least significant byte first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Brindleway/datapath/data_path_context.h"

namespace brindleway {

// The Internet checksum (RFC 1071) over count 16-bit words as they lie in
// memory: store the result in memory as it is. 0 comes back as 0xFFFF.
uint16_t ip_checksum(const uint8_t* words, size_t count);

// The UDP checksum (RFC 768) over the pseudo-header (source, destination:
// network order; zero; 17; length) and length bytes of UDP header and data
// (checksum field 0; an odd last byte is the high byte of a word). Host
// order, to be written big-endian; 0 comes back as 0xFFFF.
uint16_t udp_checksum(uint32_t source, uint32_t destination, const uint8_t* udp, size_t length);

// The identification our control packets carry, as the two bytes in order.
uint16_t TunnelPacketIdent();

// The keep-alive for the gateway's protocol version byte: 44 bytes when
// the major version is 3 or more, or 2 with a nonzero minor; else 32.
// length: room in buffer on the way in, the packet's size on the way out.
// 0, or -1 (nothing written) when the room is too small.
int build_keepalive(uint8_t* buffer, uint32_t& length);
int build_keepalive(uint8_t* buffer, uint32_t& length, uint8_t version, uint16_t ident);

// The 32-byte logout packet. 0, or -1 when the room is below 32 bytes.
int build_disconnect_udp(uint8_t* buffer, uint32_t& length);
int build_disconnect_udp(uint8_t* buffer, uint32_t& length, uint16_t ident);

// One decrypted inner packet from the gateway of protocol version 2 or
// later: 0 when it is traffic for the adapter, 1 when it was consumed here
// (keep-alive, disconnect notice, or another control packet, dropped).
// Traffic and keep-alives move ctx.lastTrafficMs; a keep-alive from a
// 2.1-or-later gateway stores its digest and posts the host check; a
// disconnect notice posts WM_CHANNEL_ERROR with the mapped reason. Fields
// are read only when the packet holds them: shorter than 20 bytes is
// dropped, a UDP packet below 36 bytes is no notice, a keep-alive below 44
// bytes carries no digest.
int classify_tunnel_packet(const uint8_t* packet, size_t length, DataPathContext& ctx);

// The event code for a disconnect notice's reason, -1 for an unknown one.
int DisconnectReasonCode(uint32_t reason);

}  // namespace brindleway
