// The UDP side of the data path: the gateway's datagrams in, ours out, and
// the three one-off senders (heart-beat byte, keep-alive, logout).
//
// Inbound road of one receive (inbound thread of the I/O loop):
//  1. up to kTunIoOpsPerPass datagrams in one call, each into a buffer (one
//     of a packet the adapter took, else from the pool);
//     where the socket coalesces (udp_coalesced_receive.h), up to as many
//     messages, each cut back into its datagrams and those copied into
//     pool buffers; fewer than asked marks the read pending;
//  2. each dropped when empty, larger than its buffer, or from anyone but
//     the gateway's data address (a cut message: all its datagrams); the
//     tunnel stays up;
//  3. checked and decrypted (esp_decap), decompressed (IPComp); failures
//     are dropped. With the receive pipeline (inbound_pipeline.h) the SPI
//     and lengths are checked here and the ICV and decryption done by its
//     workers, and the packets are taken on from here in the order they
//     arrived when the inbound thread collects them;
//  4. gateways of protocol version 2 or later: tunnel control packets are
//     consumed (classify_tunnel_packet);
//  5. the rest joins the adapter queue, which the I/O loop writes after the
//     receive, in one batch (device_path.h).
//
// Outbound: the datagrams queued for the socket go out up to
// kTunIoOpsPerPass per call, in order (udp_batch.h); what the socket can't
// take yet stays first in line and is sent once it can.
//
// The one-off senders go straight to the socket without compression or
// counting; they run on the keep-alive thread and the channel thread beside
// the I/O loop (sends on one UDP socket from several threads are safe, and
// the SA lock serialises encapsulation).
#pragma once

#include <netinet/in.h>

#include "Brindleway/datapath/tun_io_contexts.h"

namespace brindleway {

// One receive of up to kTunIoOpsPerPass datagrams (or coalesced messages). 0; -1 when no buffer
// could be had or the socket failed (the I/O loop then reports 4004).
int socket_read(SocketContext& socket, AdapterContext& adapter);
// Handles one datagram just received: the packet in it is queued for the
// adapter, or, with the receive pipeline, checked and added to it (a full
// batch goes to its workers).
void process_socket_packet(SocketContext& socket, AdapterContext& adapter, BufDescPtr packet);
// Steps 3-5 for a decrypted packet: decompressed, a control packet
// consumed, the rest queued for the adapter (dropped when the queue holds
// kTunIoQueueLimit).
void process_inner_packet(SocketContext& socket, AdapterContext& adapter, BufDescPtr packet);
// The receive pipeline's batch being filled goes to its workers (or, when
// small, is opened at once); socket_read does it after every receive.
void submit_socket_packets(SocketContext& socket, AdapterContext& adapter);
// The receive pipeline holds packets and the adapter queue has room for a
// batch of them.
bool can_collect_socket_packets(const SocketContext& socket, const AdapterContext& adapter);
// The packets the workers opened, in order, as far as the adapter queue
// has room.
void collect_socket_packets(SocketContext& socket, AdapterContext& adapter);
// Sends the current datagram and those queued behind it, up to
// kUdpBatchMax, in one call (each call costs a wake-up at the far end);
// what the socket can't take yet stays first in line and is sent once it
// can.
void socket_write(SocketContext& socket);

// 0 when sent, -1 otherwise (logged). A socket below 0 sends nothing.
int send_tunnel_heartbeat(int socket, const sockaddr_in& gateway);
int send_channel_keepalive(int socket, const sockaddr_in& gateway);
int send_logout(int socket, const sockaddr_in& gateway);

}  // namespace brindleway
