#include "Brindleway/control/ctrl_message.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/common/protocol_version.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

constexpr size_t kPayloadValueLimit = 65536;

size_t PaddedLength(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

// A zeroed block of capacity bytes plus room to start on a 4-byte boundary.
std::unique_ptr<uint8_t[]> AllocateBlock(uint32_t dwCapacity) {
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[static_cast<size_t>(dwCapacity) + 3]());
}

uint8_t* AlignedStart(uint8_t* pBlock) {
  const auto addr = reinterpret_cast<uintptr_t>(pBlock);
  return pBlock + (((addr + 3) & ~static_cast<uintptr_t>(3)) - addr);
}

// The value of the first payload of wType when it is exactly length bytes,
// else null.
const uint8_t* FixedPayload(const CtrlMessage& message, uint16_t wType, uint16_t length) {
  const uint8_t* pValue = nullptr;
  uint16_t wLength = 0;
  if (message.GetPayload(wType, pValue, wLength) != 0 || wLength != length) return nullptr;
  return pValue;
}

}  // namespace

CtrlMessage::CtrlMessage() { Init(); }

void CtrlMessage::Init() {
  m_pBlock = AllocateBlock(kInitialCapacity);
  if (m_pBlock == nullptr) {
    LogPrint(LOG_ERR, "CtrlMessage::Init: Out of Memory");
    return;
  }
  m_pStart = AlignedStart(m_pBlock.get());
  m_dwCapacity = kInitialCapacity;
  m_pWrite = m_pStart;
  m_pLength = m_pStart + CTRLMSG_LENGTH_OFFSET;
}

int CtrlMessage::Expand(uint32_t dwNewCapacity) {
  const size_t nWritten = Size();
  // Cutting what was written would leave the write position outside the
  // new block.
  if (dwNewCapacity < nWritten || dwNewCapacity > std::numeric_limits<uint32_t>::max() - 3) {
    LogPrint(LOG_ERR, "CtrlMessage:Expand: bad capacity %u for %u bytes\n", dwNewCapacity,
             static_cast<uint32_t>(nWritten));
    return -1;
  }
  std::unique_ptr<uint8_t[]> pBlock = AllocateBlock(dwNewCapacity);
  if (pBlock == nullptr) {
    LogPrint(LOG_ERR, "CtrlMessage:Expand: Out of Memory");
    return -1;
  }
  uint8_t* pStart = AlignedStart(pBlock.get());
  if (nWritten > 0) std::memcpy(pStart, m_pStart, nWritten);
  m_pBlock = std::move(pBlock);
  m_pStart = pStart;
  m_dwCapacity = dwNewCapacity;
  m_pWrite = pStart + nWritten;
  m_pLength = pStart + CTRLMSG_LENGTH_OFFSET;
  // Value pointers of an earlier parse pointed into the old block.
  ClearPayloadTable();
  return 0;
}

int CtrlMessage::WriteHeader(uint8_t btFlags, uint16_t wType) {
  if (!HasBuffer()) return -1;
  m_pStart[0] = g_btProtocolVersion.load();
  m_pStart[1] = btFlags;
  wire::PutU16BE(m_pStart + 2, wType);
  wire::PutU32BE(m_pLength, static_cast<uint32_t>(CTRLMSG_HEADER_LEN));
  m_pWrite = m_pStart + CTRLMSG_HEADER_LEN;
  return 0;
}

int CtrlMessage::WritePayload(uint16_t wType, const void* pValue, size_t nLength) {
  if (!HasBuffer()) return -1;
  if (nLength >= kPayloadValueLimit) {
    LogPrint(LOG_ERR, "Payload value too long: type %d, length %u\n", wType, static_cast<uint64_t>(nLength));
    return -1;
  }
  const size_t nPadded = PaddedLength(nLength);
  const uint64_t qwNeeded = Size() + CTRLMSG_PAYLOAD_HEADER_LEN + nPadded;
  if (qwNeeded > m_dwCapacity) {
    // Doubling until the payload fits: one doubling may not be enough.
    uint64_t qwCapacity = std::max<uint64_t>(m_dwCapacity, 1);
    while (qwCapacity < qwNeeded) qwCapacity *= 2;
    if (qwCapacity > std::numeric_limits<uint32_t>::max() - 3 || Expand(static_cast<uint32_t>(qwCapacity)) != 0) {
      return -1;
    }
  }
  uint8_t* p = m_pWrite;
  wire::PutU16BE(p, wType);
  wire::PutU16BE(p + 2, static_cast<uint16_t>(nLength));
  if (nLength > 0) std::memcpy(p + CTRLMSG_PAYLOAD_HEADER_LEN, pValue, nLength);
  std::memset(p + CTRLMSG_PAYLOAD_HEADER_LEN + nLength, 0, nPadded - nLength);
  m_pWrite = p + CTRLMSG_PAYLOAD_HEADER_LEN + nPadded;
  wire::PutU32BE(m_pLength,
                 wire::GetU32BE(m_pLength) + static_cast<uint32_t>(CTRLMSG_PAYLOAD_HEADER_LEN + nPadded));
  return 0;
}

int CtrlMessage::WriteU32Payload(uint16_t wType, uint32_t dwValue) {
  uint8_t value[4];
  wire::PutU32BE(value, dwValue);
  return WritePayload(wType, value, sizeof value);
}

int CtrlMessage::WriteU16Payload(uint16_t wType, uint16_t wValue) {
  uint8_t value[2];
  wire::PutU16BE(value, wValue);
  return WritePayload(wType, value, sizeof value);
}

int CtrlMessage::WriteAddrPayload(uint16_t wType, uint32_t dwAddr) {
  return WritePayload(wType, &dwAddr, sizeof dwAddr);
}

int CtrlMessage::Load(const uint8_t* pBytes, size_t nLength) {
  // Nothing longer is a message; the framer never hands one out.
  if (nLength > CTRLMSG_MAX_LENGTH || (pBytes == nullptr && nLength > 0)) {
    LogPrint(LOG_ERR, "Realloc memory failed\n");
    return VQ_ERR_OUT_OF_MEMORY;
  }
  ClearPayloadTable();
  if (!HasBuffer() || nLength > m_dwCapacity) {
    // The old content is replaced, so nothing needs to be carried over.
    if (HasBuffer()) m_pWrite = m_pStart;
    const auto dwCapacity = static_cast<uint32_t>(PaddedLength(nLength));
    std::unique_ptr<uint8_t[]> pBlock = AllocateBlock(dwCapacity);
    if (pBlock == nullptr) {
      LogPrint(LOG_ERR, "Realloc memory failed\n");
      return VQ_ERR_OUT_OF_MEMORY;
    }
    m_pBlock = std::move(pBlock);
    m_pStart = AlignedStart(m_pBlock.get());
    m_dwCapacity = dwCapacity;
    m_pLength = m_pStart + CTRLMSG_LENGTH_OFFSET;
  }
  if (nLength > 0) std::memcpy(m_pStart, pBytes, nLength);
  m_pWrite = m_pStart + nLength;
  return 0;
}

void CtrlMessage::ClearPayloadTable() {
  m_payloads.fill(PayloadEntry{0, 0});
  m_values.fill(nullptr);
}

int CtrlMessage::ParseFail(int iResult) {
  // A failed parse leaves nothing to find, so no value pointer can reach
  // past the message.
  ClearPayloadTable();
  return iResult;
}

int CtrlMessage::Parse() {
  ClearPayloadTable();
  // Only the bytes actually loaded count, never the rest of the buffer.
  const size_t nReceived = Size();
  if (nReceived < CTRLMSG_HEADER_LEN) {
    LogPrint(LOG_ERR, "Header length error %d\n", static_cast<int>(nReceived));
    return ParseFail(VQ_ERR_PARSE_MESSAGE);
  }

  const uint8_t btVersion = m_pStart[0];
  const uint8_t btFlags = m_pStart[1];
  const uint16_t wMsgType = wire::GetU16BE(m_pStart + 2);
  const uint32_t dwTotal = wire::GetU32BE(m_pLength);

  const uint8_t btCurrent = g_btProtocolVersion.load();
  if ((btVersion & 0xF0) != (btCurrent & 0xF0)) {
    if (wMsgType != CTRLMSG_TYPE_AUTH) {
      LogPrint(LOG_ERR, "Header version error %d\n", btVersion);
      return ParseFail(VQ_ERR_VERSION_MISMATCH);
    }
    if ((btVersion & 0xF0) > 0x20) return ParseFail(VQ_ERR_SERVER_TOO_NEW);
    g_btProtocolVersion.store(btVersion);
  }

  if (dwTotal < CTRLMSG_HEADER_LEN || dwTotal > nReceived) {
    LogPrint(LOG_ERR, "Header length error %d\n", static_cast<int64_t>(dwTotal));
    return ParseFail(VQ_ERR_PARSE_MESSAGE);
  }
  const size_t nTotal = dwTotal;

  DebugTrace(TRACE_PACKETS, "Message Header: type %x, flag %x, length %d\n", wMsgType, btFlags, nTotal);

  if (nTotal == CTRLMSG_HEADER_LEN) {
    LogPrint(LOG_ERR, "Payload do not match message length\n");
    return ParseFail(VQ_ERR_PARSE_MESSAGE);
  }
  if (nTotal - CTRLMSG_HEADER_LEN < CTRLMSG_PAYLOAD_HEADER_LEN) {
    LogPrint(LOG_ERR, "Leftover length not enough for a header.\n");
    return ParseFail(VQ_ERR_PARSE_MESSAGE);
  }

  size_t nOffset = CTRLMSG_HEADER_LEN;
  size_t nCount = 0;
  for (;;) {
    const uint8_t* p = m_pStart + nOffset;
    PayloadEntry& entry = m_payloads[nCount];
    entry.wType = wire::GetU16BE(p);
    entry.wLength = wire::GetU16BE(p + 2);
    DebugTrace(TRACE_PACKETS, "Payload: type %x, length %d\n", entry.wType, entry.wLength);
    if (btFlags != 0 && !IsKnownResponsePayloadType(entry.wType)) {
      LogPrint(LOG_ERR, "Don't Understand Payload Type :%d !", entry.wType);
      return ParseFail(VQ_ERR_UNKNOWN_PAYLOAD);
    }
    m_values[nCount] = p + CTRLMSG_PAYLOAD_HEADER_LEN;
    ++nCount;
    const size_t nNext = nOffset + CTRLMSG_PAYLOAD_HEADER_LEN + PaddedLength(entry.wLength);
    if (nNext == nTotal) return 0;
    if (nNext > nTotal || nCount >= kMaxPayloads) {
      LogPrint(LOG_ERR, "Payload do not match message length\n");
      return ParseFail(VQ_ERR_PARSE_MESSAGE);
    }
    if (nTotal - nNext < CTRLMSG_PAYLOAD_HEADER_LEN) {
      LogPrint(LOG_ERR, "Leftover length not enough for a header.\n");
      return ParseFail(VQ_ERR_PARSE_MESSAGE);
    }
    nOffset = nNext;
  }
}

int CtrlMessage::GetPayload(uint16_t wType, const uint8_t*& pValue, uint16_t& wLength) const {
  for (size_t i = 0; i < kMaxPayloads; ++i) {
    const PayloadEntry& entry = m_payloads[i];
    if (entry.wType == 0) break;
    if (entry.wType == wType) {
      pValue = m_values[i];
      wLength = entry.wLength;
      return 0;
    }
  }
  return -1;
}

int CtrlMessage::GetU32(uint16_t wType, uint32_t& dwValue) const {
  const uint8_t* pValue = FixedPayload(*this, wType, 4);
  if (pValue == nullptr) return -1;
  dwValue = wire::GetU32BE(pValue);
  return 0;
}

int CtrlMessage::GetU16(uint16_t wType, uint16_t& wValue) const {
  const uint8_t* pValue = FixedPayload(*this, wType, 2);
  if (pValue == nullptr) return -1;
  wValue = wire::GetU16BE(pValue);
  return 0;
}

int CtrlMessage::GetAddress(uint16_t wType, uint32_t& dwAddr) const {
  const uint8_t* pValue = FixedPayload(*this, wType, 4);
  if (pValue == nullptr) return -1;
  std::memcpy(&dwAddr, pValue, sizeof dwAddr);
  return 0;
}

uint8_t CtrlMessage::GetVersion() const { return Size() >= CTRLMSG_HEADER_LEN ? m_pStart[0] : 0; }

uint8_t CtrlMessage::GetFlags() const { return Size() >= CTRLMSG_HEADER_LEN ? m_pStart[1] : 0; }

uint16_t CtrlMessage::GetType() const { return Size() >= CTRLMSG_HEADER_LEN ? wire::GetU16BE(m_pStart + 2) : 0; }

uint32_t CtrlMessage::GetLength() const { return Size() >= CTRLMSG_HEADER_LEN ? wire::GetU32BE(m_pLength) : 0; }

}  // namespace brindleway
