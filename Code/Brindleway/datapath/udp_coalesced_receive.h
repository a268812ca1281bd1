// Coalesced receives on the UDP data socket. With receive coalescing on,
// the kernel may join datagrams of one sender into one message: all of one
// length (the segment) laid end to end, the last maybe shorter, the
// segment told in a control message. A message longer than its buffer is
// cut, so each buffer here holds the largest message there can be, and
// the receive area takes a batch of them in one call; the caller cuts
// each message back into its datagrams (Datagram()).
//
// A message without the control message is one plain datagram.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "Brindleway/common/constants.h"

namespace brindleway {

// Asks the kernel to coalesce the socket's incoming datagrams; false where
// it refuses (the socket then gets one datagram per message).
bool EnableReceiveCoalescing(int socket);

// The largest UDP message there is.
inline constexpr size_t kCoalescedMessageRoom = 65535;
// Messages per receive: as many as the plain receive takes datagrams, so
// datagrams that did not coalesce cost no more calls than before.
inline constexpr size_t kCoalescedMessages = static_cast<size_t>(kTunIoOpsPerPass);

struct CoalescedMessage {
  // The bytes the message carried (all of them, also past the buffer).
  size_t length = 0;
  // Each datagram's length but the last's; equal to length when the
  // message is one datagram.
  size_t segment = 0;
  sockaddr_in sender{};
  // Longer than its buffer: the kernel cut it, its datagrams are lost.
  bool truncated = false;

  // How many datagrams it carries (0 for an empty or cut one).
  size_t DatagramCount() const;
};

// kCoalescedMessages buffers of kCoalescedMessageRoom bytes, owned by the
// inbound thread.
class CoalescedReceiveArea {
 public:
  CoalescedReceiveArea();

  // Up to kCoalescedMessages messages without waiting: how many came; 0
  // when nothing was waiting; -1 (errno set) when the socket failed.
  int Receive(int socket);

  const CoalescedMessage& Message(size_t i) const { return messages_[i]; }
  // Datagram index of message i (index < Message(i).DatagramCount()).
  std::span<const uint8_t> Datagram(size_t i, size_t index) const;

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  CoalescedMessage messages_[kCoalescedMessages];
};

}  // namespace brindleway
