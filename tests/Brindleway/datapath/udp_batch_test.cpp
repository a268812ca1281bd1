// Datagram batches on the UDP data socket, against plain sockets on
// loopback: a batch of mixed lengths arrives as the same datagrams in the
// same order whether runs of one length went with segmentation offload or,
// where the socket refuses it, one by one; a receive gives each datagram's
// whole length (also past its buffer) and sender, and nothing waiting is
// not an error.
#include "Brindleway/datapath/udp_batch.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "Brindleway/datapath/packet_buffer_pool.h"
#include "data_path_fixture.h"

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;
using dptest::LocalPort;
using dptest::Loopback;
using dptest::LoopbackUdpSocket;

// Datagram i: its length, filled with its index.
std::vector<Bytes> Datagrams(const std::vector<size_t>& lengths) {
  std::vector<Bytes> out;
  for (size_t i = 0; i < lengths.size(); ++i) out.emplace_back(lengths[i], static_cast<uint8_t>(i + 1));
  return out;
}

std::optional<Bytes> Receive(int fd, int timeoutMs = 2000) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  Bytes bytes(65536);
  const ssize_t n = ::recv(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  bytes.resize(static_cast<size_t>(n));
  return bytes;
}

class UdpBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pool_.Result(), 0);
    ASSERT_TRUE(sender_.valid());
    ASSERT_TRUE(receiver_.valid());
  }

  // Sends the datagrams in one call from sender_ and expects them, one by
  // one and in order, at receiver_.
  void SendAndExpect(const std::vector<Bytes>& datagrams, UdpSendState& state) {
    std::vector<BufDescPtr> buffers;
    std::vector<const buf_desc*> views;
    for (const Bytes& d : datagrams) {
      buffers.push_back(buf_desc_alloc(1));
      ASSERT_NE(buffers.back(), nullptr);
      std::memcpy(buffers.back()->pData, d.data(), d.size());
      buffers.back()->dwLength = static_cast<uint32_t>(d.size());
      views.push_back(buffers.back().get());
    }
    EXPECT_EQ(SendDatagrams(sender_.get(), state, views, Loopback(LocalPort(receiver_.get()))),
              static_cast<int>(datagrams.size()));
    for (size_t i = 0; i < datagrams.size(); ++i) {
      const std::optional<Bytes> got = Receive(receiver_.get());
      ASSERT_TRUE(got) << "datagram " << i << " missing";
      EXPECT_EQ(*got, datagrams[i]) << "datagram " << i;
    }
    EXPECT_EQ(Receive(receiver_.get(), 50), std::nullopt);
  }

  PacketBufferPool pool_;
  platform::UniqueFd sender_ = LoopbackUdpSocket();
  platform::UniqueFd receiver_ = LoopbackUdpSocket();
};

// Runs of one length, a shorter one ending a run, a longer one starting
// the next, and single ones.
const std::vector<size_t> kMixed = {1452, 1452, 1452, 1452, 1452, 1000, 1452, 1452, 1500, 60, 60, 1};

TEST_F(UdpBatchTest, MixedLengthsArriveAsSentAndInOrder) {
  UdpSendState state;
  SendAndExpect(Datagrams(kMixed), state);
  EXPECT_TRUE(state.segmentOffload);
}

TEST_F(UdpBatchTest, SocketThatRefusesOffloadGetsTheDatagramsOneByOne) {
  // Without UDP checksums the kernel refuses segmentation offload.
  const int on = 1;
  ASSERT_EQ(::setsockopt(sender_.get(), SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0);
  UdpSendState state;
  SendAndExpect(Datagrams(kMixed), state);
  EXPECT_FALSE(state.segmentOffload);
  SendAndExpect(Datagrams({700, 700, 700}), state);
}

TEST_F(UdpBatchTest, ReceiveGivesLengthsAndSenders) {
  platform::UniqueFd other = LoopbackUdpSocket();
  ASSERT_TRUE(other.valid());
  const sockaddr_in to = Loopback(LocalPort(receiver_.get()));
  const Bytes small(100, 0x11);
  const Bytes oversize(3000, 0x22);
  const Bytes empty;
  ASSERT_EQ(::sendto(sender_.get(), small.data(), small.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
            100);
  ASSERT_EQ(::sendto(other.get(), oversize.data(), oversize.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to),
            3000);
  ASSERT_EQ(::sendto(sender_.get(), empty.data(), 0, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);

  std::vector<BufDescPtr> buffers;
  std::vector<buf_desc*> views;
  for (int i = 0; i < 4; ++i) {
    buffers.push_back(buf_desc_alloc(1));
    views.push_back(buffers.back().get());
  }
  size_t lengths[4] = {};
  sockaddr_in senders[4] = {};
  pollfd p{receiver_.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  ASSERT_EQ(ReceiveDatagrams(receiver_.get(), views, lengths, senders), 3);
  EXPECT_EQ(lengths[0], 100u);
  EXPECT_EQ(Bytes(views[0]->pData, views[0]->pData + 100), small);
  EXPECT_EQ(lengths[1], 3000u);  // longer than its buffer: told, not cut silently
  EXPECT_EQ(lengths[2], 0u);
  EXPECT_EQ(ntohs(senders[0].sin_port), LocalPort(sender_.get()));
  EXPECT_EQ(ntohs(senders[1].sin_port), LocalPort(other.get()));
  EXPECT_EQ(ReceiveDatagrams(receiver_.get(), views, lengths, senders), 0);
}

}  // namespace
}  // namespace brindleway
