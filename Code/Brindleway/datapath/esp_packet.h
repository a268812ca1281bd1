// ESP-like packets (ESP tunnel mode, carried directly in UDP) on the
// current security associations.
//
// Outbound road of one inner IPv4 packet of L bytes:
//  1. under the SA lock: the current outbound SA, refused without one or
//     without a destination (a packet never leaves unencrypted);
//  2. pad to the cipher block and to 4 bytes: 1, 2, ..., pad, pad length,
//     next header 4;
//  3. SPI (the gateway's) and the next sequence number in front, big-endian,
//     then a fresh IV from the SA's IV source (the SA's encrypted counter,
//     esp_iv.h): unpredictable, and unrelated to the datagram before it;
//     none for the NULL cipher;
//  4. CBC in place from that IV;
//  5. HMAC over SPI .. ciphertext, cut to the ICV, appended.
//
// Inbound road of one datagram:
//  1. under the SA lock: the SPI picks the current, then the aging pair;
//  2. lengths: SPI, sequence, IV, at least one block (two bytes for the
//     NULL cipher) and the ICV must fit, the ciphertext a multiple of the
//     block, all before any crypto;
//  3. ICV checked (constant time) before anything is decrypted;
//  4. CBC-decrypt in place with the datagram's IV;
//  5. pad length, next header 4 and the pad bytes checked; the inner packet
//     is what is left.
// There is no anti-replay window: sequence numbers are not checked.
#pragma once

#include "Brindleway/datapath/packet_buffer_pool.h"

namespace brindleway {

// Encapsulates the packet in place: on 0 the descriptor's data moved back
// by 8 + IV length and its length is the datagram's. -1, descriptor
// untouched, when there is no outbound SA or destination, the buffer has
// no room for header and trailer, or the IV source or the cipher failed.
int esp_encap(buf_desc* pDesc);

// Checks and decrypts the datagram in place: on 0 the descriptor's data is
// the inner packet and its length the inner length. -1 (descriptor
// untouched; drop the datagram) otherwise.
int esp_decap(buf_desc* pDesc);

}  // namespace brindleway
