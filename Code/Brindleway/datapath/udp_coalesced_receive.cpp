#include "Brindleway/datapath/udp_coalesced_receive.h"

#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brindleway {
namespace {

struct SegmentControl {
  alignas(cmsghdr) uint8_t bytes[CMSG_SPACE(sizeof(int))];
};

// The segment the kernel told, or 0 when it told none (a plain datagram)
// or nothing usable.
size_t TakeSegment(msghdr& header) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_UDP || c->cmsg_type != UDP_GRO || c->cmsg_len < CMSG_LEN(sizeof(int))) continue;
    int segment = 0;
    std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
    return segment > 0 ? static_cast<size_t>(segment) : 0;
  }
  return 0;
}

}  // namespace

bool EnableReceiveCoalescing(int socket) {
  const int on = 1;
  return ::setsockopt(socket, SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
}

size_t CoalescedMessage::DatagramCount() const {
  if (truncated || length == 0) return 0;
  return (length + segment - 1) / segment;
}

CoalescedReceiveArea::CoalescedReceiveArea()
    : bytes_(std::make_unique_for_overwrite<uint8_t[]>(kCoalescedMessages * kCoalescedMessageRoom)) {}

int CoalescedReceiveArea::Receive(int socket) {
  mmsghdr headers[kCoalescedMessages];
  iovec parts[kCoalescedMessages];
  SegmentControl controls[kCoalescedMessages];
  for (size_t i = 0; i < kCoalescedMessages; ++i) {
    messages_[i] = {};
    parts[i] = {bytes_.get() + i * kCoalescedMessageRoom, kCoalescedMessageRoom};
    headers[i] = {};
    headers[i].msg_hdr.msg_name = &messages_[i].sender;
    headers[i].msg_hdr.msg_namelen = sizeof messages_[i].sender;
    headers[i].msg_hdr.msg_iov = &parts[i];
    headers[i].msg_hdr.msg_iovlen = 1;
    headers[i].msg_hdr.msg_control = controls[i].bytes;
    headers[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
  }
  for (;;) {
    const int n = ::recvmmsg(socket, headers, static_cast<unsigned>(kCoalescedMessages), MSG_DONTWAIT | MSG_TRUNC,
                             nullptr);
    if (n >= 0) {
      for (int i = 0; i < n; ++i) {
        CoalescedMessage& m = messages_[i];
        m.length = headers[i].msg_len;
        m.truncated = m.length > kCoalescedMessageRoom || (headers[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
        // No segment, or one not shorter than the message: one datagram.
        const size_t segment = TakeSegment(headers[i].msg_hdr);
        m.segment = segment != 0 && segment < m.length ? segment : m.length;
      }
      return n;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

std::span<const uint8_t> CoalescedReceiveArea::Datagram(size_t i, size_t index) const {
  if (i >= kCoalescedMessages || index >= messages_[i].DatagramCount()) return {};
  const CoalescedMessage& m = messages_[i];
  const size_t offset = index * m.segment;
  return {bytes_.get() + i * kCoalescedMessageRoom + offset, std::min(m.segment, m.length - offset)};
}

}  // namespace brindleway
