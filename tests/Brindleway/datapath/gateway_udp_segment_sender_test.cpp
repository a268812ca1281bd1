// The test gateway's batch sender on loopback: runs of one length (the last
// maybe shorter), lengths that break runs, and a socket that refuses the
// segmentation offload (no UDP checksum) all arrive as the same datagrams in
// the same order.
#include "gateway/udp_segment_sender.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <vector>

#include "data_path_fixture.h"

namespace brindleway {
namespace {

using dptest::LocalPort;
using dptest::Loopback;
using dptest::LoopbackUdpSocket;

struct SenderCase {
  const char* name;
  bool refuseOffload;
};

class GatewayUdpSegmentSenderTest : public ::testing::TestWithParam<SenderCase> {};

TEST_P(GatewayUdpSegmentSenderTest, EveryDatagramArrivesWholeAndInOrder) {
  platform::UniqueFd sender = LoopbackUdpSocket();
  platform::UniqueFd receiver = LoopbackUdpSocket();
  ASSERT_TRUE(sender.valid() && receiver.valid());
  if (GetParam().refuseOffload) {
    const int on = 1;
    ASSERT_EQ(::setsockopt(sender.get(), SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0);
  }
  // A run with a shorter last, a longer one breaking a run, lone ones, a
  // run too long for one offloaded message, and a run to the end.
  std::vector<size_t> lengths = {1000, 1000, 1000, 500, 1200, 1000, 1000, 70};
  for (int i = 0; i < 50; ++i) lengths.push_back(1400);
  lengths.insert(lengths.end(), {64, 64});
  std::vector<std::vector<uint8_t>> datagrams;
  std::vector<std::span<uint8_t>> batch;
  for (size_t i = 0; i < lengths.size(); ++i) {
    datagrams.emplace_back(lengths[i], static_cast<uint8_t>(i));
    datagrams.back()[0] = static_cast<uint8_t>(i * 3 + 1);
  }
  for (auto& d : datagrams) batch.emplace_back(d);
  ASSERT_LE(batch.size(), vqgateway::UdpSegmentSender::kMaxDatagrams);

  const int room = 4 << 20;
  if (::setsockopt(receiver.get(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0) {
    ::setsockopt(receiver.get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  }
  vqgateway::UdpSegmentSender udp;
  // Twice: once refused, the next batch goes one message each at once.
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(udp.Send(sender.get(), Loopback(LocalPort(receiver.get())), batch), batch.size());
    for (size_t i = 0; i < datagrams.size(); ++i) {
      pollfd p{receiver.get(), POLLIN, 0};
      ASSERT_EQ(::poll(&p, 1, 5000), 1) << "round " << round << ", datagram " << i;
      std::vector<uint8_t> got(65536);
      const ssize_t n = ::recv(receiver.get(), got.data(), got.size(), 0);
      ASSERT_GT(n, 0);
      got.resize(static_cast<size_t>(n));
      ASSERT_EQ(got, datagrams[i]) << "round " << round << ", datagram " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Offload, GatewayUdpSegmentSenderTest,
                         ::testing::Values(SenderCase{"Offloaded", false}, SenderCase{"Refused", true}),
                         [](const ::testing::TestParamInfo<SenderCase>& info) { return info.param.name; });

}  // namespace
}  // namespace brindleway
