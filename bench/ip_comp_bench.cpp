// IP compression per 1400-byte packet, text-like and random: the lower
// bound that spares incompressible payloads, zlib's one-shot compress (a
// deflate state set up per packet) beside the kept stream, and the whole
// in-place packet operations both ways.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/datapath/deflate_bound.h"
#include "Brindleway/datapath/ip_comp.h"
#include "Brindleway/datapath/ip_compressor.h"
#include "Brindleway/datapath/packet_buffer_pool.h"

namespace {

using namespace brindleway;

constexpr size_t kPayload = 1380;

std::vector<uint8_t> Payload(bool text) {
  std::vector<uint8_t> out(kPayload);
  std::mt19937 rng(5);
  if (!text) {
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
  }
  static const char* kWords[] = {"GET ", "/files/report.html ", "HTTP/1.1\r\n", "Host: ", "intranet.local\r\n",
                                 "Cookie: ", "session=", "abc123; ", "the ", "data ", "of ", "value "};
  std::string s;
  while (s.size() < kPayload) s += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
  std::memcpy(out.data(), s.data(), kPayload);
  return out;
}

std::vector<uint8_t> Packet(bool text) {
  std::vector<uint8_t> p(20);
  p[0] = 0x45;
  p[2] = (20 + kPayload) >> 8;
  p[3] = (20 + kPayload) & 0xFF;
  p[8] = 64;
  p[9] = 6;
  const auto payload = Payload(text);
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

void BM_OneShotCompress(benchmark::State& state, bool text) {
  const auto in = Payload(text);
  std::vector<uint8_t> out(compressBound(kPayload));
  for (auto _ : state) {
    uLongf length = static_cast<uLongf>(out.size());
    if (compress(out.data(), &length, in.data(), kPayload) != Z_OK) std::abort();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPayload));
}

void BM_KeptStreamCompress(benchmark::State& state, bool text) {
  const auto in = Payload(text);
  std::vector<uint8_t> out(compressBound(kPayload));
  CZlibCompressor zlib;
  for (auto _ : state) {
    uint32_t length = static_cast<uint32_t>(out.size());
    if (zlib.Compress(in.data(), kPayload, out.data(), length) != COMP_OK) std::abort();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPayload));
}

// Compress on our side, decompress on a peer set up with our CPI.
void BM_PacketRoundTrip(benchmark::State& state, bool text) {
  PacketBufferPool pool;
  CIpComp client;
  CIpComp peer;
  client.SetAlgorithm(IPCOMP_ALGORITHM_ZLIB);
  peer.SetAlgorithm(IPCOMP_ALGORITHM_ZLIB);
  client.SetPeerCpi(77);
  peer.SetOwnCpi(77);
  const auto packet = Packet(text);
  BufDescPtr desc = buf_desc_alloc(1);
  if (!desc) std::abort();
  for (auto _ : state) {
    buf_desc_reset(desc.get());
    std::memcpy(desc->pData, packet.data(), packet.size());
    desc->dwLength = static_cast<uint32_t>(packet.size());
    if (client.CompressPacket(desc.get()) == IPCOMP_OK && peer.UncompressPacket(desc.get()) != IPCOMP_OK) std::abort();
    benchmark::DoNotOptimize(desc->pData);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(packet.size()));
}

// The lower bound that lets an incompressible payload skip compression.
void BM_DeflateBound(benchmark::State& state, bool text) {
  std::vector<std::vector<uint8_t>> payloads;
  std::mt19937 rng(9);
  for (int i = 0; i < 64; ++i) {
    std::vector<uint8_t> p = Payload(text);
    if (!text) for (auto& b : p) b = static_cast<uint8_t>(rng());
    payloads.push_back(std::move(p));
  }
  DeflateBound bound;
  size_t i = 0;
  int64_t bounded = 0;
  for (auto _ : state) {
    const auto& p = payloads[i++ % payloads.size()];
    bounded += bound.AtLeast(p.data(), kPayload, kPayload - kPayload / 4) ? 1 : 0;
  }
  state.counters["bounded"] = static_cast<double>(bounded) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPayload));
}

BENCHMARK_CAPTURE(BM_DeflateBound, text, true);
BENCHMARK_CAPTURE(BM_DeflateBound, random, false);
BENCHMARK_CAPTURE(BM_OneShotCompress, text, true);
BENCHMARK_CAPTURE(BM_OneShotCompress, random, false);
BENCHMARK_CAPTURE(BM_KeptStreamCompress, text, true);
BENCHMARK_CAPTURE(BM_KeptStreamCompress, random, false);
BENCHMARK_CAPTURE(BM_PacketRoundTrip, text, true);
BENCHMARK_CAPTURE(BM_PacketRoundTrip, random, false);

}  // namespace

BENCHMARK_MAIN();
