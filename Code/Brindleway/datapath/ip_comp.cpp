#include "Brindleway/datapath/ip_comp.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/datapath/hex_dump.h"
#include "support/wire.h"

namespace brindleway {

namespace {

constexpr uint32_t kIpHeaderLength = 20;
constexpr uint32_t kIpCompPacketHeader = kIpHeaderLength + IPCOMP_HEADER_LENGTH;
constexpr size_t kProtocolOffset = 9;
constexpr size_t kTotalLengthOffset = 2;
constexpr size_t kChecksumOffset = 10;

// Internet checksum of a 20-byte IPv4 header, its checksum field taken as
// 0; a sum of 0 is sent as 0xFFFF.
void SetHeaderChecksum(uint8_t* header) {
  wire::PutU16BE(header + kChecksumOffset, 0);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < kIpHeaderLength; i += 2) sum += wire::GetU16BE(header + i);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  uint16_t checksum = static_cast<uint16_t>(~sum);
  if (checksum == 0) checksum = 0xFFFF;
  wire::PutU16BE(header + kChecksumOffset, checksum);
}

// The IPv4 header's fields that change when the packet is (de)compressed.
void RewriteHeader(uint8_t* header, uint8_t protocol, uint32_t totalLength) {
  header[kProtocolOffset] = protocol;
  wire::PutU16BE(header + kTotalLengthOffset, static_cast<uint16_t>(totalLength));
  SetHeaderChecksum(header);
}

// One field of the instance read under its lock.
template <typename T>
T LockedGet(std::mutex& lock, const T& field) {
  std::lock_guard<std::mutex> guard(lock);
  return field;
}

// Room for the packet that data points at: the descriptor's capacity, and
// never past the end of the buffer's usable bytes.
uint32_t PacketRoom(const buf_desc& desc) {
  uint32_t room = desc.dwCapacity;
  if (desc.pBuffer != nullptr) {
    const uint8_t* end = desc.pBuffer + PACKET_GUARD_OFFSET;
    if (desc.pData < desc.pBuffer || desc.pData > end) return 0;
    room = std::min<uint32_t>(room, static_cast<uint32_t>(end - desc.pData));
  }
  return room;
}

void TraceCompressEnd(const char* reason) {
  DebugTrace(TRACE_PACKETS, "%sCompress finished ...\n", reason);
}

void TraceUncompressEnd(const char* reason) {
  DebugTrace(TRACE_PACKETS, "%sUncompress finished ...\n", reason);
}

}  // namespace

CIpComp::CIpComp() : m_cpiRandom(std::random_device{}()) {}

template <typename T>
void CIpComp::SetLocked(T& field, T value) {
  std::scoped_lock lock(m_compressLock, m_uncompressLock, m_lock);
  field = value;
}

uint16_t CIpComp::GetOwnCpi() { return LockedGet(m_lock, m_ownCpi); }
void CIpComp::SetOwnCpi(uint16_t cpi) { SetLocked(m_ownCpi, cpi); }
uint16_t CIpComp::GetPeerCpi() { return LockedGet(m_lock, m_peerCpi); }
void CIpComp::SetPeerCpi(uint16_t cpi) { SetLocked(m_peerCpi, cpi); }
uint16_t CIpComp::GetAlgorithm() { return LockedGet(m_lock, m_algorithm); }
void CIpComp::SetAlgorithm(uint16_t algorithm) {
  std::scoped_lock lock(m_compressLock, m_uncompressLock, m_lock);
  if (algorithm == IPCOMP_ALGORITHM_ZLIB) {
    m_algorithm = algorithm;
    m_pCompressor = &m_zlib;
  } else {
    m_algorithm = IPCOMP_ALGORITHM_NONE;
    m_pCompressor = nullptr;
  }
  m_mayCompress.store(m_pCompressor != nullptr, std::memory_order_relaxed);
}

uint32_t CIpComp::GetInboundAfterDecompression() { return LockedGet(m_lock, m_inboundAfter); }
void CIpComp::SetInboundAfterDecompression(uint32_t value) { SetLocked(m_inboundAfter, value); }
uint32_t CIpComp::GetInboundGained() { return LockedGet(m_lock, m_inboundGained); }
void CIpComp::SetInboundGained(uint32_t value) { SetLocked(m_inboundGained, value); }
uint32_t CIpComp::GetOutboundBeforeCompression() { return LockedGet(m_lock, m_outboundBefore); }
void CIpComp::SetOutboundBeforeCompression(uint32_t value) { SetLocked(m_outboundBefore, value); }
uint32_t CIpComp::GetOutboundSaved() { return LockedGet(m_lock, m_outboundSaved); }
void CIpComp::SetOutboundSaved(uint32_t value) { SetLocked(m_outboundSaved, value); }

uint16_t CIpComp::DrawOwnCpi() {
  std::scoped_lock lock(m_compressLock, m_uncompressLock, m_lock);
  std::uniform_int_distribution<uint32_t> draw(0, 32767);
  m_ownCpi = static_cast<uint16_t>(draw(m_cpiRandom));
  return m_ownCpi;
}

void CIpComp::Reset() {
  std::scoped_lock lock(m_compressLock, m_uncompressLock, m_lock);
  m_ownCpi = 0;
  m_peerCpi = 0;
  m_algorithm = IPCOMP_ALGORITHM_NONE;
  m_inboundAfter = 0;
  m_inboundGained = 0;
  m_outboundBefore = 0;
  m_outboundSaved = 0;
  m_pCompressor = nullptr;
  m_mayCompress.store(false, std::memory_order_relaxed);
}

int CIpComp::CompressPacket(buf_desc* pDesc) {
  std::lock_guard<std::mutex> own(m_ownWorkLock);
  return CompressPacket(pDesc, m_ownWork);
}

// Up to the compressibility test a packet needs nothing shared, so what
// can't shrink never touches the lock. From there the compression lock is
// held: the settings can't change under it, and a Reset waits for the
// packet's statistics.
int CIpComp::CompressPacket(buf_desc* pDesc, IpCompWork& work) {
  DebugTrace(TRACE_PACKETS, "Compress start ...\n");
  if (!MayCompress()) {
    TraceCompressEnd("IPCOMP_ERROR_NO_COMPRESS\n");
    return IPCOMP_ERROR_NO_COMPRESS;
  }
  if (pDesc == nullptr || pDesc->pData == nullptr) {
    TraceCompressEnd("COMP_ERROR_FAILED\n");
    return IPCOMP_ERROR_FAILED;
  }
  uint8_t* packet = pDesc->pData;
  const uint32_t length = pDesc->dwLength;
  // Only IPv4 with a 20-byte header: the header is carried as it is and
  // everything behind it is compressed.
  if (length < kIpHeaderLength || length > 0xFFFF || packet[0] != 0x45) {
    TraceCompressEnd("Not an IPv4 packet\n");
    return IPCOMP_ERROR_FAILED;
  }
  hex_dump("Before IPComp compress ...", packet, static_cast<int>(length));
  const uint32_t payloadLength = length - kIpHeaderLength;
  DebugTrace(TRACE_PACKETS, "dwSourceIPPayloadLen = %d\n", payloadLength);
  if (payloadLength <= IPCOMP_PAYLOAD_MIN_SIZE) {
    TraceCompressEnd("IPCOMP_PAYLOAD_MIN_SIZE\n");
    return IPCOMP_ERROR_PAYLOAD_TOO_SMALL;
  }

  // What can't save enough is not compressed: the same decision as after
  // compressing it, without the cost.
  // (Compressed to C bytes, a payload is sent as it is when
  // payloadLength - C <= payloadLength / 4.)
  if (work.m_deflateBound.AtLeast(packet + kIpHeaderLength, payloadLength, payloadLength - payloadLength / 4)) {
    TraceCompressEnd("IPCOMP_ERROR_COMPRESS_RATIO_TOO_LOW\n");
    return IPCOMP_ERROR_COMPRESS_RATIO_TOO_LOW;
  }

  std::shared_lock<std::shared_mutex> lock(m_compressLock);
  if (m_algorithm == IPCOMP_ALGORITHM_NONE || m_pCompressor == nullptr) {
    TraceCompressEnd("IPCOMP_ERROR_NO_COMPRESS\n");
    return IPCOMP_ERROR_NO_COMPRESS;
  }
  // Room for the worst case zlib can produce, so an incompressible payload
  // ends in the ratio check rather than as a failure.
  const uint32_t room = static_cast<uint32_t>(compressBound(payloadLength));
  if (work.m_buffer.size() < kIpCompPacketHeader + room) work.m_buffer.resize(kIpCompPacketHeader + room);
  uint8_t* out = work.m_buffer.data();
  uint32_t compressedLength = room;
  // zlib is the only algorithm there is; the work's own stream does it.
  const int result =
      work.m_zlib.Compress(packet + kIpHeaderLength, payloadLength, out + kIpCompPacketHeader, compressedLength);
  switch (result) {
    case COMP_OK:
      break;
    case COMP_ERROR_FAILED:
      TraceCompressEnd("COMP_ERROR_FAILED\n");
      return IPCOMP_ERROR_FAILED;
    case COMP_ERROR_CRASH:
      TraceCompressEnd("IPCOMP_ERROR_CRASH\n");
      return IPCOMP_ERROR_CRASH;
    case COMP_ERROR_MEM_NOT_ENOUGH:
      TraceCompressEnd("COMP_ERROR_MEM_NOT_ENOUGH\n");
      return IPCOMP_ERROR_FAILED;
    default:
      TraceCompressEnd("Default Error\n");
      return IPCOMP_ERROR_FAILED;
  }

  DebugTrace(TRACE_PACKETS, "dwTargetIPPayloadLen = %d\n", compressedLength);
  if (compressedLength >= payloadLength || payloadLength - compressedLength <= payloadLength / 4) {
    TraceCompressEnd("IPCOMP_ERROR_COMPRESS_RATIO_TOO_LOW\n");
    return IPCOMP_ERROR_COMPRESS_RATIO_TOO_LOW;
  }

  std::memcpy(out, packet, kIpHeaderLength);
  out[kIpHeaderLength] = packet[kProtocolOffset];  // btOldProtocol
  out[kIpHeaderLength + 1] = 0;                    // btReserve
  wire::PutU16BE(out + kIpHeaderLength + 2, m_peerCpi);
  const uint32_t newLength = compressedLength + kIpCompPacketHeader;
  RewriteHeader(out, IPCOMP_PROTOCOL, newLength);
  std::memcpy(packet, out, newLength);
  pDesc->dwLength = newLength;
  hex_dump("After IPComp compress...", packet, static_cast<int>(newLength));
  {
    std::lock_guard<std::mutex> stats(m_lock);
    m_outboundBefore += payloadLength;
    m_outboundSaved += payloadLength - compressedLength;
  }
  TraceCompressEnd("");
  return IPCOMP_OK;
}

int CIpComp::UncompressPacket(buf_desc* pDesc) {
  std::lock_guard<std::mutex> lock(m_uncompressLock);
  DebugTrace(TRACE_PACKETS, "Uncompress start ...\n");
  if (m_algorithm == IPCOMP_ALGORITHM_NONE || m_pCompressor == nullptr) {
    TraceUncompressEnd("IPCOMP_ERROR_NO_COMPRESS\n");
    return IPCOMP_ERROR_NO_COMPRESS;
  }
  if (pDesc == nullptr || pDesc->pData == nullptr) {
    TraceUncompressEnd("IPCOMP_ERROR_FAILED\n");
    return IPCOMP_ERROR_FAILED;
  }
  uint8_t* packet = pDesc->pData;
  const uint32_t length = pDesc->dwLength;
  hex_dump("Before IPComp uncompress...", packet, static_cast<int>(length));
  // Not even an IPv4 header: nothing here can be read safely.
  if (length < kIpHeaderLength) {
    TraceUncompressEnd("Packet too short\n");
    return IPCOMP_ERROR_FAILED;
  }
  const uint8_t protocol = packet[kProtocolOffset];
  DebugTrace(TRACE_PACKETS, "btProtocol = %d\n", protocol);
  if (protocol != IPCOMP_PROTOCOL) {
    TraceUncompressEnd("IPCOMP_ERROR_NOT_IPCOMP_PACKAGE\n");
    return IPCOMP_ERROR_NOT_IPCOMP_PACKAGE;
  }
  // An IPComp packet must hold a 20-byte IPv4 header and the IPComp header
  // before anything behind them is read.
  if (length < kIpCompPacketHeader || packet[0] != 0x45) {
    TraceUncompressEnd("Malformed IPComp packet\n");
    return IPCOMP_ERROR_FAILED;
  }
  const uint32_t sourceLength = length - kIpCompPacketHeader;
  const uint8_t oldProtocol = packet[kIpHeaderLength];
  const uint16_t cpi = wire::GetU16BE(packet + kIpHeaderLength + 2);
  DebugTrace(TRACE_PACKETS, "dwSourceIPPayloadLen = %d\n", sourceLength);
  DebugTrace(TRACE_PACKETS, "btOldProtocol = %d\n", oldProtocol);
  DebugTrace(TRACE_PACKETS, "btReserve = %d\n", packet[kIpHeaderLength + 1]);
  DebugTrace(TRACE_PACKETS, "wCPI = %d\n", cpi);
  if (cpi != m_ownCpi) {
    TraceUncompressEnd("IPCOMP_ERROR_CPI_INVALID\n");
    return IPCOMP_ERROR_CPI_INVALID;
  }

  // What the packet buffer can hold behind the header bounds the output:
  // a small datagram never makes a large allocation.
  const uint32_t packetRoom = PacketRoom(*pDesc);
  if (packetRoom <= kIpHeaderLength) {
    TraceUncompressEnd("IPCOMP_ERROR_FAILED\n");
    return IPCOMP_ERROR_FAILED;
  }
  const uint32_t maxPayload = packetRoom - kIpHeaderLength;
  if (m_uncompressWork.size() < maxPayload) m_uncompressWork.resize(maxPayload);
  const uint8_t* source = packet + kIpCompPacketHeader;

  const uint32_t firstRoom =
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t{10} * length - kIpHeaderLength, maxPayload));
  uint32_t produced = firstRoom;
  int result = m_pCompressor->Uncompress(source, sourceLength, m_uncompressWork.data(), produced);
  if (result == COMP_ERROR_MEM_NOT_ENOUGH) {
    DebugTrace(TRACE_PACKETS, "COMP_ERROR_MEM_NOT_ENOUGH\n");
    // Already given all the room there is: no larger try can fit.
    const uint32_t needed =
        firstRoom < maxPayload ? m_pCompressor->UncompressGrow(source, sourceLength, maxPayload) : 0;
    if (needed == 0) {
      TraceUncompressEnd("dwTargetIPPayloadLen == 0\n");
      return IPCOMP_ERROR_FAILED;
    }
    produced = needed;
    result = m_pCompressor->Uncompress(source, sourceLength, m_uncompressWork.data(), produced);
    if (result != COMP_OK) {
      TraceUncompressEnd("Uncompress IPCOMP_ERROR_FAILED\n");
      return IPCOMP_ERROR_FAILED;
    }
  } else if (result == COMP_ERROR_FAILED) {
    TraceUncompressEnd("IPCOMP_ERROR_FAILED\n");
    return IPCOMP_ERROR_FAILED;
  } else if (result == COMP_ERROR_CRASH) {
    TraceUncompressEnd("IPCOMP_ERROR_CRASH\n");
    return IPCOMP_ERROR_CRASH;
  } else if (result != COMP_OK) {
    TraceUncompressEnd("Default Error\n");
    return IPCOMP_ERROR_FAILED;
  }

  DebugTrace(TRACE_PACKETS, "dwTargetIPPayloadLen = %d\n", produced);
  // The header stays where it is; only its fields change.
  const uint32_t newLength = produced + kIpHeaderLength;
  RewriteHeader(packet, oldProtocol, newLength);
  std::memcpy(packet + kIpHeaderLength, m_uncompressWork.data(), produced);
  pDesc->dwLength = newLength;
  hex_dump("After IPComp uncompress...", packet, static_cast<int>(newLength));
  {
    std::lock_guard<std::mutex> stats(m_lock);
    m_inboundAfter += produced;
    m_inboundGained += produced - sourceLength;
  }
  TraceUncompressEnd("");
  return IPCOMP_OK;
}

CIpComp& TheIpComp() {
  static CIpComp instance;
  return instance;
}

}  // namespace brindleway
