#include "Brindleway/datapath/udp_batch.h"

#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brindleway {
namespace {

// The kernel's limit on the segments of one offloaded message.
constexpr size_t kMaxSegments = 64;
constexpr size_t kMaxOffloadBytes = 65000;

struct SegmentControl {
  alignas(cmsghdr) uint8_t bytes[CMSG_SPACE(sizeof(uint16_t))];
};

// How many datagrams from first form one offloadable run.
size_t RunLength(std::span<const buf_desc* const> datagrams, size_t first) {
  const uint32_t segment = datagrams[first]->dwLength;
  size_t total = segment;
  size_t n = 1;
  while (first + n < datagrams.size() && n < kMaxSegments) {
    const uint32_t next = datagrams[first + n]->dwLength;
    if (next > segment || total + next > kMaxOffloadBytes) break;
    total += next;
    ++n;
    if (next < segment) break;  // a shorter one ends the run
  }
  return n;
}

}  // namespace

int ReceiveDatagrams(int socket, std::span<buf_desc* const> buffers, std::span<size_t> lengths,
                     std::span<sockaddr_in> senders) {
  const size_t count = std::min({buffers.size(), lengths.size(), senders.size(), kUdpBatchMax});
  mmsghdr messages[kUdpBatchMax];
  iovec parts[kUdpBatchMax];
  for (size_t i = 0; i < count; ++i) {
    parts[i] = {buffers[i]->pData, buffers[i]->dwCapacity};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  for (;;) {
    const int n = ::recvmmsg(socket, messages, static_cast<unsigned>(count), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n >= 0) {
      for (int i = 0; i < n; ++i) lengths[i] = messages[i].msg_len;
      return n;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

int SendDatagrams(int socket, UdpSendState& state, std::span<const buf_desc* const> datagrams, const sockaddr_in& to) {
  const size_t count = std::min(datagrams.size(), kUdpBatchMax);
  if (count == 0) return 0;
  mmsghdr messages[kUdpBatchMax];
  iovec parts[kUdpBatchMax];
  SegmentControl controls[kUdpBatchMax];
  size_t firstOf[kUdpBatchMax + 1];
  for (;;) {
    size_t built = 0;
    for (size_t next = 0; next < count; ++built) {
      const size_t run = state.segmentOffload ? RunLength(datagrams.first(count), next) : 1;
      for (size_t i = 0; i < run; ++i) {
        parts[next + i] = {datagrams[next + i]->pData, datagrams[next + i]->dwLength};
      }
      mmsghdr& m = messages[built];
      m = {};
      m.msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
      m.msg_hdr.msg_namelen = sizeof to;
      m.msg_hdr.msg_iov = &parts[next];
      m.msg_hdr.msg_iovlen = run;
      if (run > 1) {
        m.msg_hdr.msg_control = controls[built].bytes;
        m.msg_hdr.msg_controllen = sizeof controls[built].bytes;
        cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const uint16_t segment = static_cast<uint16_t>(datagrams[next]->dwLength);
        std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
      }
      firstOf[built] = next;
      next += run;
    }
    firstOf[built] = count;
    int n = 0;
    do {
      n = ::sendmmsg(socket, messages, static_cast<unsigned>(built), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n > 0) return static_cast<int>(firstOf[n]);
    // A refused offload: the same datagrams again, one message each.
    if (n < 0 && (errno == EIO || errno == EINVAL) && state.segmentOffload && messages[0].msg_hdr.msg_iovlen > 1) {
      state.segmentOffload = false;
      continue;
    }
    if (n == 0) errno = EAGAIN;
    return -1;
  }
}

}  // namespace brindleway
