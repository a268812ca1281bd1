// Fragmentation (RFC 791) of IPv4 packets longer than the adapter's MTU, on
// their way to the adapter.
//
// For a packet with header length H, total length T and payload D = T - H:
//  1. the packet must be IPv4 with H >= 20, T >= H and T equal to the
//     bytes held; anything else is refused (the caller drops it);
//  2. fragment size F = (MTU - H) rounded down to 8; first piece F, unless
//     the rest would be a runt (below F and below 64 bytes): then the
//     payload is split in two nearly equal pieces; later pieces likewise;
//  3. every buffer for the later pieces is taken before anything changes;
//  4. DF is cleared; the packet itself becomes the first fragment (MF set);
//     each later piece gets the header, its offset and MF; the last piece
//     keeps MF only when the packet had it (it was itself a fragment);
//     every header checksum is adjusted incrementally;
//  5. the later pieces go to the head of the queue one by one, so the
//     adapter gets the first fragment, then the last piece, ..., the second,
//     ahead of anything queued before.
#pragma once

#include <cstdint>

#include "Brindleway/datapath/packet_buffer_pool.h"
#include "Brindleway/datapath/packet_queue.h"

namespace brindleway {

// RFC 1624 (eqn. 3): the checksum after one 16-bit word of the covered
// data changed from oldWord to newWord. All three in the same byte order.
uint16_t checksum_adjust(uint16_t checksum, uint16_t oldWord, uint16_t newWord);

// Cuts packet to its first fragment and puts the others at the head of
// queue. 0, or -1 with packet and queue untouched (inconsistent lengths,
// not IPv4, an MTU below H + 8, nothing to split, no buffers).
int ip_frag(PacketQueue& queue, buf_desc* packet, uint32_t mtu);

}  // namespace brindleway
