#include "gateway/udp_segment_sender.h"

#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vqgateway {
namespace {

// The kernel's limits on one offloaded message: its segments, and its bytes
// within one IP datagram's.
constexpr size_t kMaxSegments = 64;
constexpr size_t kMaxOffloadBytes = 65000;

struct SegmentControl {
  alignas(cmsghdr) uint8_t bytes[CMSG_SPACE(sizeof(uint16_t))];
};

// How many datagrams from first form one offloadable run.
size_t RunLength(std::span<const std::span<uint8_t>> datagrams, size_t first) {
  const size_t segment = datagrams[first].size();
  size_t total = segment;
  size_t n = 1;
  while (first + n < datagrams.size() && n < kMaxSegments) {
    const size_t next = datagrams[first + n].size();
    if (next > segment || total + next > kMaxOffloadBytes) break;
    total += next;
    ++n;
    if (next < segment) break;  // a shorter one ends the run
  }
  return n;
}

}  // namespace

size_t UdpSegmentSender::Send(int socket, const sockaddr_in& to, std::span<const std::span<uint8_t>> datagrams) {
  const size_t count = std::min(datagrams.size(), kMaxDatagrams);
  mmsghdr messages[kMaxDatagrams];
  iovec parts[kMaxDatagrams];
  SegmentControl controls[kMaxDatagrams];
  size_t firstOf[kMaxDatagrams + 1];
  size_t done = 0;
  while (done < count) {
    size_t built = 0;
    for (size_t next = done; next < count; ++built) {
      const size_t run = offload_ ? RunLength(datagrams.first(count), next) : 1;
      for (size_t i = 0; i < run; ++i) parts[next + i] = {datagrams[next + i].data(), datagrams[next + i].size()};
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
        const auto segment = static_cast<uint16_t>(datagrams[next].size());
        std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
      }
      firstOf[built] = next;
      next += run;
    }
    firstOf[built] = count;
    const int n = ::sendmmsg(socket, messages, static_cast<unsigned>(built), MSG_NOSIGNAL);
    if (n > 0) {
      done = firstOf[n];
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // A refused offload: the rest again, one message each.
    if (n < 0 && (errno == EIO || errno == EINVAL) && offload_ && messages[0].msg_hdr.msg_iovlen > 1) {
      offload_ = false;
      continue;
    }
    break;
  }
  return done;
}

}  // namespace vqgateway
