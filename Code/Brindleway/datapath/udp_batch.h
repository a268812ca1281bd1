// Batches of datagrams on the UDP data socket, one system call each way:
//  - receive: up to a batch of datagrams (recvmmsg) into packet buffers,
//    each with its sender and its whole length (longer than the buffer
//    shows as such);
//  - send: up to a batch of datagrams to one address (sendmmsg). A run of
//    datagrams of one length (its last may be shorter) goes as one message
//    with UDP segmentation offload, which the kernel cuts back into the
//    same datagrams; a socket or path that refuses it (EIO, EINVAL) gets
//    one message per datagram from then on.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <span>

#include "Brindleway/datapath/packet_buffer_pool.h"

namespace brindleway {

// The most datagrams one call takes.
inline constexpr size_t kUdpBatchMax = 64;

// Up to buffers.size() datagrams, each into its buffer's data (room: its
// capacity): lengths[i] is datagram i's whole length, senders[i] its
// sender. The number received; 0 when nothing was waiting; -1 (errno set)
// when the socket failed.
int ReceiveDatagrams(int socket, std::span<buf_desc* const> buffers, std::span<size_t> lengths,
                     std::span<sockaddr_in> senders);

struct UdpSendState {
  // Cleared for good once the socket or the path refused it.
  bool segmentOffload = true;
};

// Sends the datagrams, in order, to to: how many the socket took from the
// front (all, or fewer when it ran out of room or failed on a later one);
// -1 (errno set; EAGAIN: no room) when it took none.
int SendDatagrams(int socket, UdpSendState& state, std::span<const buf_desc* const> datagrams, const sockaddr_in& to);

}  // namespace brindleway
