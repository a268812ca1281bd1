// The adapter side of the data path, step by step on the in-memory adapter:
// how the bytes of a read become datagrams (two in one read, one over two
// reads, IPv6 and garbage dropped by their own length or whole), which
// destinations are broadcast or multicast, and the writes to the adapter
// with fragmentation, retries and counting, a batch at a time.
#include "Brindleway/datapath/device_path.h"

#include <gtest/gtest.h>

#include <vector>

#include "Brindleway/datapath/tun_io_contexts.h"
#include "Brindleway/datapath/udp_side.h"
#include "data_path_fixture.h"
#include "ipv4_test_packets.h"

namespace brindleway {
namespace {

using dptest::DataPathFixture;
using vqtest::Eventually;

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(BroadcastTest, DestinationsByPrefix) {
  const uint32_t own = inet_addr("10.1.0.5");
  const struct {
    const char* destination;
    int prefix;
    bool broadcast;
    bool multicast;
  } cases[] = {
      {"10.1.255.255", 16, true, false},     {"10.1.0.9", 16, false, false},     {"10.2.255.255", 16, false, false},
      {"255.255.255.255", 16, true, true},   {"10.1.255.255", 32, false, false}, {"255.255.255.255", 32, true, true},
      {"10.1.0.5", 32, false, false},        {"10.1.255.255", 0, false, false},  {"255.255.255.255", 0, true, true},
      {"10.1.0.255", 24, true, false},       {"224.0.0.1", 16, false, true},     {"239.255.255.250", 16, false, true},
      {"223.255.255.255", 16, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.destination) + "/" + std::to_string(c.prefix));
    const std::vector<uint8_t> packet = iptest::Ipv4({.destination = c.destination});
    EXPECT_EQ(is_broadcast(own, c.prefix, packet.data()), c.broadcast);
    EXPECT_EQ(is_multicast(packet.data()), c.multicast);
  }
}

class DevicePathTest : public DataPathFixture {
 protected:
  void SetUp() override {
    DataPathFixture::SetUp();
    StartGateway();
    adapter_ctx_ = MakeAdapterContext(ctx_);
    socket_ctx_ = MakeSocketContext(ctx_);
  }
  // Reads until the adapter has nothing more; the results of each read.
  std::vector<int> ReadAll() {
    std::vector<int> results;
    while (!adapter_ctx_.readPending && results.size() < 100)
      results.push_back(devicefile_read(adapter_ctx_, socket_ctx_));
    return results;
  }
  // Lets the socket queue drain (the gateway is on loopback: no waits).
  void Flush() {
    for (int i = 0; i < 100 && socket_ctx_.HasWriteWork(); ++i) {
      socket_ctx_.writePending = false;
      socket_write(socket_ctx_);
    }
  }
  bool GatewayGot(size_t n) {
    return Eventually([&] { return GatewayTraffic().size() >= n; }) && GatewayTraffic().size() == n;
  }

  AdapterContext adapter_ctx_;
  SocketContext socket_ctx_;
};

TEST_F(DevicePathTest, TwoPacketsInOneReadAreSentAsTwoAndCounted) {
  const std::vector<uint8_t> a = iptest::Ipv4({.payload = 56, .id = 1});
  const std::vector<uint8_t> b = iptest::Ipv4({.protocol = 17, .payload = 300, .id = 2});
  KernelSends(Concat(a, b));
  EXPECT_EQ(ReadAll(), (std::vector<int>{0, 0}));
  Flush();
  ASSERT_TRUE(GatewayGot(2));
  EXPECT_EQ(GatewayTraffic(), (std::vector<std::vector<uint8_t>>{a, b}));
  EXPECT_EQ(TheTrafficCounters().packetsSent.Get(), 2u);
  EXPECT_EQ(TheTrafficCounters().bytesSent.Get(), a.size() + b.size());
}

TEST_F(DevicePathTest, OnePacketOverTwoReadsIsSentOnceComplete) {
  const std::vector<uint8_t> a = iptest::Ipv4({.payload = 600});
  KernelSends(std::vector<uint8_t>(a.begin(), a.begin() + 3));
  ReadAll();
  adapter_ctx_.readPending = false;
  KernelSends(std::vector<uint8_t>(a.begin() + 3, a.begin() + 200));
  ReadAll();
  Flush();
  EXPECT_EQ(TheTrafficCounters().packetsSent.Get(), 0u);
  adapter_ctx_.readPending = false;
  KernelSends(std::vector<uint8_t>(a.begin() + 200, a.end()));
  ReadAll();
  Flush();
  ASSERT_TRUE(GatewayGot(1));
  EXPECT_EQ(GatewayTraffic()[0], a);
}

TEST_F(DevicePathTest, BuffersTheSocketSentFromCarryTheNextReadsWhole) {
  // Each read lands in the buffer of the datagram sent before it, whose
  // data had moved for the headers and grown by the trailer: sizes up and
  // down show any of that left behind.
  std::vector<std::vector<uint8_t>> packets;
  for (const size_t payload : {1300u, 20u, 900u, 1372u, 0u, 600u}) {
    packets.push_back(iptest::Ipv4({.payload = payload, .id = static_cast<uint16_t>(packets.size() + 1)}));
    KernelSends(packets.back());
    adapter_ctx_.readPending = false;
    ReadAll();
    Flush();
    ASSERT_TRUE(GatewayGot(packets.size()));
    EXPECT_EQ(socket_ctx_.sentBuffers.Held(), 1u);
  }
  EXPECT_EQ(GatewayTraffic(), packets);
  ReleaseOutbound(adapter_ctx_, socket_ctx_);
  EXPECT_EQ(socket_ctx_.sentBuffers.Held(), 0u);
}

TEST_F(DevicePathTest, DroppedPacketsLeaveTheRestOfTheReadAndTheNextRead) {
  std::vector<uint8_t> v6(40 + 24, 0);
  v6[0] = 0x60;
  v6[5] = 24;    // payload length
  v6[9] = 0x45;  // bytes that would read as an IPv4 total length
  const std::vector<uint8_t> good = iptest::Ipv4({.id = 3});
  const std::vector<uint8_t> broadcast = iptest::Ipv4({.destination = "10.1.255.255"});
  const std::vector<uint8_t> multicast = iptest::Ipv4({.destination = "224.0.0.251"});
  KernelSends(Concat(Concat(Concat(v6, broadcast), multicast), good));
  ReadAll();
  Flush();
  ASSERT_TRUE(GatewayGot(1));
  EXPECT_EQ(GatewayTraffic()[0], good);
  EXPECT_EQ(TheTrafficCounters().packetsSent.Get(), 1u);
  EXPECT_EQ(TheTrafficCounters().bytesSent.Get(), good.size());
}

TEST_F(DevicePathTest, GarbageDropsEverythingHeldAndNeverSticks) {
  std::vector<uint8_t> badVersion = iptest::Ipv4({});
  badVersion[0] = 0x55;
  std::vector<uint8_t> tooLong = iptest::Ipv4({});
  iptest::PutBe16(tooLong, 2, 60000);
  std::vector<uint8_t> tooShort = iptest::Ipv4({});
  iptest::PutBe16(tooShort, 2, 12);
  const std::vector<uint8_t> good = iptest::Ipv4({.id = 9});
  size_t expected = 0;
  for (const auto& bad : {badVersion, tooLong, tooShort}) {
    // The bad packet takes a good one behind it in the same read along.
    KernelSends(Concat(bad, good));
    ReadAll();
    adapter_ctx_.readPending = false;
    KernelSends(good);
    ReadAll();
    adapter_ctx_.readPending = false;
    Flush();
    ++expected;
    ASSERT_TRUE(GatewayGot(expected));
  }
  EXPECT_EQ(adapter_ctx_.readBuffer == nullptr ? 0u : adapter_ctx_.readBuffer->dwLength, 0u);
}

TEST_F(DevicePathTest, ReadOfZeroBytesIsAnError) {
  KernelSends({});
  EXPECT_EQ(devicefile_read(adapter_ctx_, socket_ctx_), -1);
}

TEST_F(DevicePathTest, LongPacketsAreFragmentedAndEachFragmentCounted) {
  const std::vector<uint8_t> big = iptest::Ipv4({.payload = 1480, .flags = 0x4000});
  const std::vector<uint8_t> small = iptest::Ipv4({.id = 5});
  BufDescPtr packet = buf_desc_alloc(1);
  std::memcpy(packet->pData, big.data(), big.size());
  packet->dwLength = static_cast<uint32_t>(big.size());
  adapter_ctx_.writeQueue.PushBack(std::move(packet));
  packet = buf_desc_alloc(1);
  std::memcpy(packet->pData, small.data(), small.size());
  packet->dwLength = static_cast<uint32_t>(small.size());
  adapter_ctx_.writeQueue.PushBack(std::move(packet));
  for (int i = 0; i < 10 && adapter_ctx_.HasWriteWork(); ++i) devicefile_write(adapter_ctx_);
  std::vector<std::vector<uint8_t>> written;
  while (auto bytes = KernelReceives(100)) written.push_back(*bytes);
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[2], small);
  const iptest::Reassembly r = iptest::Reassemble({written[0], written[1]});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.payload, std::vector<uint8_t>(big.begin() + 20, big.end()));
  EXPECT_EQ(TheTrafficCounters().packetsReceived.Get(), 3u);
  EXPECT_EQ(TheTrafficCounters().bytesReceived.Get(), written[0].size() + written[1].size() + small.size());
}

TEST_F(DevicePathTest, UnsplittablePacketIsDroppedAndTheQueueGoesOn) {
  std::vector<uint8_t> lying = iptest::Ipv4({.payload = 1480});
  iptest::PutBe16(lying, 2, 1400);  // total below the bytes held
  const std::vector<uint8_t> small = iptest::Ipv4({.id = 6});
  for (const auto& bytes : {lying, small}) {
    BufDescPtr packet = buf_desc_alloc(1);
    std::memcpy(packet->pData, bytes.data(), bytes.size());
    packet->dwLength = static_cast<uint32_t>(bytes.size());
    adapter_ctx_.writeQueue.PushBack(std::move(packet));
  }
  for (int i = 0; i < 3; ++i) devicefile_write(adapter_ctx_);
  EXPECT_FALSE(adapter_ctx_.HasWriteWork());
  EXPECT_EQ(KernelReceives(100), small);
  EXPECT_EQ(KernelReceives(50), std::nullopt);
}

TEST_F(DevicePathTest, WriteTheAdapterCannotTakeYetIsRetriedNotLost) {
  // Fill the adapter's queue until it refuses.
  const std::vector<uint8_t> filler = iptest::Ipv4({.payload = 1000});
  while (adapter_->Write(filler) == 0) {
  }
  const std::vector<uint8_t> packet = iptest::Ipv4({.id = 77});
  BufDescPtr desc = buf_desc_alloc(1);
  std::memcpy(desc->pData, packet.data(), packet.size());
  desc->dwLength = static_cast<uint32_t>(packet.size());
  adapter_ctx_.writeQueue.PushBack(std::move(desc));
  devicefile_write(adapter_ctx_);
  ASSERT_TRUE(adapter_ctx_.writePending);
  EXPECT_NE(adapter_ctx_.writeBuffer, nullptr);
  EXPECT_EQ(TheTrafficCounters().packetsReceived.Get(), 0u);
  // The kernel takes everything; the loop would see the device writable.
  while (auto bytes = KernelReceives(50)) {
    if (*bytes == packet) FAIL() << "written before it was taken";
  }
  adapter_ctx_.writePending = false;
  devicefile_write(adapter_ctx_);
  EXPECT_EQ(KernelReceives(), packet);
  EXPECT_EQ(TheTrafficCounters().packetsReceived.Get(), 1u);
}

TEST_F(DevicePathTest, ABatchTheAdapterTakesInPartIsFinishedInOrder) {
  const std::vector<uint8_t> filler = iptest::Ipv4({.payload = 1000});
  size_t fillers = 0;
  while (adapter_->Write(filler) == 0) ++fillers;
  std::vector<std::vector<uint8_t>> packets;
  for (uint16_t id = 1; id <= 8; ++id) {
    packets.push_back(iptest::Ipv4({.payload = 300, .id = id}));
    BufDescPtr desc = buf_desc_alloc(1);
    std::memcpy(desc->pData, packets.back().data(), packets.back().size());
    desc->dwLength = static_cast<uint32_t>(packets.back().size());
    adapter_ctx_.writeQueue.PushBack(std::move(desc));
  }
  // Room for a few of the batch, not all.
  ASSERT_EQ(KernelReceives(), filler);
  --fillers;
  devicefile_write(adapter_ctx_);
  ASSERT_TRUE(adapter_ctx_.writePending);
  const uint64_t taken = TheTrafficCounters().packetsReceived.Get();
  EXPECT_GT(taken, 0u);
  EXPECT_LT(taken, packets.size());
  // Only the buffers of packets the device took are kept for reuse.
  EXPECT_EQ(adapter_ctx_.spareBuffers.Held(), taken);

  std::vector<std::vector<uint8_t>> written;
  while (auto bytes = KernelReceives(50)) {
    if (*bytes == filler && fillers > 0) {
      --fillers;
    } else {
      written.push_back(*bytes);
    }
  }
  EXPECT_EQ(written.size(), taken);
  for (int i = 0; i < 10 && adapter_ctx_.HasWriteWork(); ++i) {
    adapter_ctx_.writePending = false;
    devicefile_write(adapter_ctx_);
  }
  EXPECT_FALSE(adapter_ctx_.HasWriteWork());
  while (auto bytes = KernelReceives(50)) written.push_back(*bytes);
  EXPECT_EQ(written, packets);
  EXPECT_EQ(adapter_ctx_.spareBuffers.Held(), packets.size());
  EXPECT_EQ(TheTrafficCounters().packetsReceived.Get(), packets.size());
  EXPECT_EQ(TheTrafficCounters().bytesReceived.Get(), packets.size() * packets[0].size());
}

}  // namespace
}  // namespace brindleway
