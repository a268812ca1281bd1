// IP compression of inner packets (IPComp, IP protocol 108, zlib): the
// negotiated CPIs and algorithm, the active compressor and the statistics
// the status reply shows.
//
// An IPComp packet as sent and accepted:
//   0  20  the uncompressed packet's IPv4 header with protocol 108, total
//          length = compressed length + 24 and its checksum recomputed
//   20  1  the uncompressed packet's protocol
//   21  1  flags, 0
//   22  2  CPI, big-endian (outbound the peer's, inbound our own)
//   24  n  everything after the uncompressed packet's first 20 bytes,
//          compressed
//
// Outbound, a packet is compressed only when it is IPv4 with a 20-byte
// header, its payload is above IPCOMP_PAYLOAD_MIN_SIZE bytes and
// compression saves more than a quarter of the payload; a payload that
// provably can't (DeflateBound) is not compressed at all. Inbound, an IPComp
// packet is decompressed only as far as the packet buffer holds it.
//
// A packet that can't shrink is turned away before any lock (the test
// needs nothing shared). Past it, compression holds the compression lock
// shared and decompression a lock of its own, so the two directions run on
// two threads at once and so do several compressing threads, each with its
// own IpCompWork; the settings and statistics have a third lock. Every
// setter and Reset take all three (the compression lock exclusively), so a
// packet being compressed finishes with the settings it found.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <vector>

#include "Brindleway/datapath/deflate_bound.h"
#include "Brindleway/datapath/ip_compressor.h"
#include "Brindleway/datapath/packet_buffer_pool.h"

namespace brindleway {

// What compressing a packet uses that can't be shared between threads: the
// deflate stream, the work room and the compressibility test. One per
// compressing thread.
class IpCompWork {
 private:
  friend class CIpComp;
  CZlibCompressor m_zlib;
  std::vector<uint8_t> m_buffer;  // kept so the packet path does not allocate
  DeflateBound m_deflateBound;
};

class CIpComp {
 public:
  CIpComp();
  virtual ~CIpComp() = default;
  CIpComp(const CIpComp&) = delete;
  CIpComp& operator=(const CIpComp&) = delete;

  uint16_t GetOwnCpi();
  void SetOwnCpi(uint16_t cpi);
  uint16_t GetPeerCpi();
  void SetPeerCpi(uint16_t cpi);
  uint16_t GetAlgorithm();
  // IPCOMP_ALGORITHM_ZLIB selects zlib; anything else turns compression
  // off and is stored as IPCOMP_ALGORITHM_NONE.
  void SetAlgorithm(uint16_t algorithm);

  // Statistics (u32, wrapping).
  uint32_t GetInboundAfterDecompression();
  void SetInboundAfterDecompression(uint32_t value);
  uint32_t GetInboundGained();
  void SetInboundGained(uint32_t value);
  uint32_t GetOutboundBeforeCompression();
  void SetOutboundBeforeCompression(uint32_t value);
  uint32_t GetOutboundSaved();
  void SetOutboundSaved(uint32_t value);

  // A fresh own CPI, uniform over 0..32767; returns it.
  uint16_t DrawOwnCpi();
  // CPIs, algorithm and statistics to 0; compression off.
  void Reset();

  // Whether an algorithm is set, read without a lock: a packet it lets
  // through is still decided under the compression lock.
  bool MayCompress() const { return m_mayCompress.load(std::memory_order_relaxed); }

  // In place on the packet. IPCOMP_OK: the packet became an IPComp packet.
  // Any other result leaves the packet as it was. The first form uses the
  // instance's own work (one packet at a time), the second the caller's.
  int CompressPacket(buf_desc* pDesc);
  int CompressPacket(buf_desc* pDesc, IpCompWork& work);
  // In place on the packet. IPCOMP_OK: decompressed. IPCOMP_ERROR_NO_COMPRESS
  // and IPCOMP_ERROR_NOT_IPCOMP_PACKAGE: the packet goes on unchanged.
  // Anything else: drop it.
  int UncompressPacket(buf_desc* pDesc);

 private:
  // Every setter: the three locks, in one std::scoped_lock.
  template <typename T>
  void SetLocked(T& field, T value);

  std::shared_mutex m_compressLock;
  std::mutex m_uncompressLock;
  std::mutex m_lock;
  uint16_t m_ownCpi = 0;
  uint16_t m_peerCpi = 0;
  uint16_t m_algorithm = 0;
  uint32_t m_inboundAfter = 0;
  uint32_t m_inboundGained = 0;
  uint32_t m_outboundBefore = 0;
  uint32_t m_outboundSaved = 0;
  std::atomic<bool> m_mayCompress = false;
  CCompressor* m_pCompressor = nullptr;  // &m_zlib or none
  CZlibCompressor m_zlib;                 // decompression
  std::mt19937 m_cpiRandom;
  std::mutex m_ownWorkLock;
  IpCompWork m_ownWork;
  // Work room kept between packets so the packet path does not allocate.
  std::vector<uint8_t> m_uncompressWork;
};

// The process-wide instance.
CIpComp& TheIpComp();

}  // namespace brindleway
