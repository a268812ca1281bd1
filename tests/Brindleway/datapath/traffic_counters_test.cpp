// Traffic counters and what the status reply gets from them and from the
// compression statistics.
#include "Brindleway/datapath/traffic_counters.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/datapath/ip_comp.h"
#include "Brindleway/datapath/packet_buffer_pool.h"
#include "common/temp_root.h"
#include "support/byte_counters.h"
#include "support/log.h"

namespace brindleway {
namespace {

// A 1500-byte IPv4 packet whose payload compresses well.
std::vector<uint8_t> TextPacket() {
  std::vector<uint8_t> p(1500);
  p[0] = 0x45;
  p[2] = 1500 >> 8;
  p[3] = 1500 & 0xFF;
  p[8] = 64;
  p[9] = 6;
  const std::string text = "GET /status HTTP/1.1\r\nHost: gateway.internal\r\n";
  for (size_t i = 20; i < p.size(); ++i) p[i] = static_cast<uint8_t>(text[i % text.size()]);
  return p;
}

TEST(TrafficCountersTest, StatusReplyShowsCountersAndCompression) {
  vqtest::TempRoot root;
  LogInit(nullptr);
  PacketBufferPool pool;
  ASSERT_EQ(pool.Result(), 0);
  TrafficCounters counters;
  CIpComp comp;
  comp.SetAlgorithm(IPCOMP_ALGORITHM_ZLIB);

  // The read path counts a packet by its length after compression.
  const std::vector<uint8_t> packet = TextPacket();
  BufDescPtr desc = buf_desc_alloc(1);
  ASSERT_NE(desc, nullptr);
  std::memcpy(desc->pData, packet.data(), packet.size());
  desc->dwLength = 1500;
  ASSERT_EQ(comp.CompressPacket(desc.get()), IPCOMP_OK);
  const uint32_t compressed = desc->dwLength;
  counters.CountSent(compressed);
  counters.CountReceived(700);
  counters.CountReceived(60);
  comp.SetInboundAfterDecompression(11);
  comp.SetInboundGained(22);

  ChannelStatus status;
  status.cipherId = 12;
  FillTrafficStatus(status, counters, comp);
  EXPECT_EQ(status.bytesSent, compressed);
  EXPECT_EQ(status.packetsSent, 1u);
  EXPECT_EQ(status.bytesReceived, 760u);
  EXPECT_EQ(status.packetsReceived, 2u);
  EXPECT_EQ(status.compression0, IPCOMP_ALGORITHM_ZLIB);
  EXPECT_EQ(status.compression[0], 11u);
  EXPECT_EQ(status.compression[1], 22u);
  EXPECT_EQ(status.compression[2], 1480u);
  EXPECT_EQ(status.compression[3], 1480u - (compressed - 24));
  EXPECT_EQ(status.cipherId, 12);  // not ours to touch
}

TEST(TrafficCountersTest, ClearedForANewChannelAndWrapping) {
  TrafficCounters counters;
  counters.bytesSent.Set(0xFFFFFFF0u);
  counters.bytesSent.Add(0x20);
  EXPECT_EQ(counters.bytesSent.Get(), 0x10u);
  counters.CountSent(100);
  counters.CountReceived(100);
  counters.Clear();
  ChannelStatus status;
  CIpComp comp;
  FillTrafficStatus(status, counters, comp);
  EXPECT_EQ(status.bytesSent, 0u);
  EXPECT_EQ(status.packetsSent, 0u);
  EXPECT_EQ(status.bytesReceived, 0u);
  EXPECT_EQ(status.packetsReceived, 0u);
  EXPECT_EQ(status.compression0, 0);
}

// The adapter byte counters and the process-wide traffic counters are one
// pair of counters, not two that drift apart.
TEST(TrafficCountersTest, ProcessWideBytesAreTheAdapterByteCounters) {
  TrafficCounters& counters = TheTrafficCounters();
  counters.Clear();
  counters.CountSent(900);
  counters.CountReceived(60);
  EXPECT_EQ(GetSendByteCount(), 900u);
  EXPECT_EQ(GetRecvByteCount(), 60u);
  SetSendByteCount(5);
  EXPECT_EQ(counters.bytesSent.Get(), 5u);
  counters.Clear();
  EXPECT_EQ(GetSendByteCount(), 0u);
  EXPECT_EQ(GetRecvByteCount(), 0u);
  // An instance of its own leaves them alone.
  TrafficCounters own;
  own.CountSent(7);
  EXPECT_EQ(GetSendByteCount(), 0u);
}

// Writers on several threads and the status reply reading all along: no
// update is lost.
TEST(TrafficCountersTest, NoUpdateLostAcrossThreads) {
  TrafficCounters counters;
  CIpComp comp;
  constexpr int kThreads = 4;
  constexpr int kPackets = 20000;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    uint32_t last = 0;
    while (!done.load()) {
      ChannelStatus status;
      FillTrafficStatus(status, counters, comp);
      EXPECT_GE(status.packetsSent, last);
      last = status.packetsSent;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&] {
      for (int i = 0; i < kPackets; ++i) {
        counters.CountSent(3);
        counters.CountReceived(5);
      }
    });
  }
  for (auto& w : writers) w.join();
  done = true;
  reader.join();
  EXPECT_EQ(counters.packetsSent.Get(), uint32_t{kThreads * kPackets});
  EXPECT_EQ(counters.bytesSent.Get(), uint32_t{kThreads * kPackets * 3});
  EXPECT_EQ(counters.packetsReceived.Get(), uint32_t{kThreads * kPackets});
  EXPECT_EQ(counters.bytesReceived.Get(), uint32_t{kThreads * kPackets * 5});
}

}  // namespace
}  // namespace brindleway
