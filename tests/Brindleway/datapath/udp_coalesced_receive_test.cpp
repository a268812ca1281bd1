// Coalesced receives against real sockets on loopback, where the kernel
// joins the datagrams of one offloaded send for a receiver that asked for
// coalescing: each message tells its sender, its whole length and its
// segment, and cutting it gives back the datagrams as sent (a run of one
// length, one whose last is shorter, a plain datagram, an empty one, the
// largest there is); nothing waiting is not an error.
#include "Brindleway/datapath/udp_coalesced_receive.h"

#include <gtest/gtest.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "Brindleway/datapath/packet_buffer_pool.h"
#include "Brindleway/datapath/udp_batch.h"
#include "data_path_fixture.h"

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;
using dptest::LocalPort;
using dptest::Loopback;
using dptest::LoopbackUdpSocket;

class CoalescedReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pool_.Result(), 0);
    ASSERT_TRUE(sender_.valid());
    ASSERT_TRUE(receiver_.valid());
    ASSERT_TRUE(EnableReceiveCoalescing(receiver_.get()));
  }

  // Datagram i of a send: its length, each byte telling its index and
  // offset, so a misplaced cut shows.
  static Bytes Datagram(size_t index, size_t length) {
    Bytes d(length);
    for (size_t k = 0; k < length; ++k) d[k] = static_cast<uint8_t>(index * 31 + k);
    return d;
  }

  // One call, runs of one length offloaded (UdpSendState as given).
  void Send(const std::vector<Bytes>& datagrams, UdpSendState state = {}) {
    std::vector<BufDescPtr> buffers;
    std::vector<const buf_desc*> views;
    for (const Bytes& d : datagrams) {
      buffers.push_back(buf_desc_alloc(1));
      ASSERT_NE(buffers.back(), nullptr);
      ASSERT_LE(d.size(), buffers.back()->dwCapacity);
      if (!d.empty()) std::memcpy(buffers.back()->pData, d.data(), d.size());
      buffers.back()->dwLength = static_cast<uint32_t>(d.size());
      views.push_back(buffers.back().get());
    }
    ASSERT_EQ(SendDatagrams(sender_.get(), state, views, Loopback(LocalPort(receiver_.get()))),
              static_cast<int>(datagrams.size()));
  }

  // Every message until the socket is drained, each cut into datagrams.
  std::vector<std::vector<Bytes>> ReceiveAll() {
    std::vector<std::vector<Bytes>> messages;
    pollfd p{receiver_.get(), POLLIN, 0};
    while (::poll(&p, 1, 50) == 1) {
      const int n = area_.Receive(receiver_.get());
      EXPECT_GE(n, 0);
      if (n <= 0) break;
      for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
        const CoalescedMessage& m = area_.Message(i);
        EXPECT_EQ(ntohs(m.sender.sin_port), LocalPort(sender_.get()));
        EXPECT_FALSE(m.truncated);
        std::vector<Bytes> cut;
        size_t total = 0;
        for (size_t k = 0; k < m.DatagramCount(); ++k) {
          const std::span<const uint8_t> d = area_.Datagram(i, k);
          cut.emplace_back(d.begin(), d.end());
          total += d.size();
        }
        EXPECT_TRUE(area_.Datagram(i, m.DatagramCount()).empty());
        EXPECT_EQ(total, m.length);
        messages.push_back(std::move(cut));
      }
    }
    return messages;
  }

  PacketBufferPool pool_;
  platform::UniqueFd sender_ = LoopbackUdpSocket();
  platform::UniqueFd receiver_ = LoopbackUdpSocket();
  CoalescedReceiveArea area_;
};

TEST_F(CoalescedReceiveTest, MessagesCutBackIntoTheDatagramsSent) {
  struct Case {
    const char* name;
    std::vector<size_t> lengths;
    bool offload;
    // Datagrams per message, in order of arrival.
    std::vector<size_t> messages;
  };
  const std::vector<Case> cases = {
      {"plain datagram", {100}, true, {1}},
      {"run of one length", {1400, 1400, 1400, 1400, 1400}, true, {5}},
      {"run whose last is shorter", {1400, 1400, 1400, 1400, 600}, true, {5}},
      {"runs split by a longer one", {1400, 1400, 1500, 60, 1}, true, {2, 2, 1}},
      {"run of the smallest", {1, 1, 1}, true, {3}},
      {"without offload nothing coalesces", {700, 700, 700}, false, {1, 1, 1}},
      {"empty datagram", {0}, true, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Bytes> sent;
    for (size_t i = 0; i < c.lengths.size(); ++i) sent.push_back(Datagram(i, c.lengths[i]));
    UdpSendState state;
    state.segmentOffload = c.offload;
    Send(sent, state);
    const std::vector<std::vector<Bytes>> messages = ReceiveAll();
    std::vector<size_t> shape;
    std::vector<Bytes> got;
    for (const auto& m : messages) {
      shape.push_back(m.size());
      got.insert(got.end(), m.begin(), m.end());
    }
    EXPECT_EQ(shape, c.messages);
    if (c.lengths != std::vector<size_t>{0}) {
      EXPECT_EQ(got, sent);
    }
  }
}

TEST_F(CoalescedReceiveTest, LargestDatagramFitsWhole) {
  const Bytes largest = Datagram(0, 65507);  // IPv4's largest UDP payload
  const sockaddr_in to = Loopback(LocalPort(receiver_.get()));
  int room = 1 << 20;
  ASSERT_EQ(::setsockopt(receiver_.get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room), 0);
  ASSERT_EQ(::sendto(sender_.get(), largest.data(), largest.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to),
            static_cast<ssize_t>(largest.size()));
  const std::vector<std::vector<Bytes>> messages = ReceiveAll();
  ASSERT_EQ(messages.size(), 1u);
  ASSERT_EQ(messages[0].size(), 1u);
  EXPECT_EQ(messages[0][0], largest);
}

TEST_F(CoalescedReceiveTest, NothingWaitingIsNotAnError) {
  EXPECT_EQ(area_.Receive(receiver_.get()), 0);
  EXPECT_EQ(area_.Receive(-1), -1);
}

TEST(ReceiveCoalescingTest, RefusedWhereTheSocketIsNotUdp) {
  platform::UniqueFd tcp(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(tcp.valid());
  EXPECT_FALSE(EnableReceiveCoalescing(tcp.get()));
  EXPECT_FALSE(EnableReceiveCoalescing(-1));
}

}  // namespace
}  // namespace brindleway
