#include "Brindleway/datapath/ip_frag.h"

#include <cstring>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "support/wire.h"

namespace brindleway {
namespace {

constexpr uint16_t kFlagReserved = 0x8000;
constexpr uint16_t kFlagDf = 0x4000;
constexpr uint16_t kFlagMf = 0x2000;
constexpr uint16_t kOffsetMask = 0x1FFF;
constexpr size_t kTotalLengthAt = 2;
constexpr size_t kFlagsAt = 6;
constexpr size_t kChecksumAt = 10;
// A last piece below this many bytes is avoided by splitting evenly.
constexpr int64_t kRuntLimit = 64;

int64_t Floor8(int64_t n) { return n & ~int64_t{7}; }

// Writes a header word and keeps the header checksum right.
void SetWord(uint8_t* header, size_t at, uint16_t value) {
  const uint16_t old = wire::GetU16BE(header + at);
  if (old == value) return;
  wire::PutU16BE(header + kChecksumAt, checksum_adjust(wire::GetU16BE(header + kChecksumAt), old, value));
  wire::PutU16BE(header + at, value);
}

// The payload size of each fragment, first to last; empty when the packet
// can't be split.
std::vector<int64_t> PieceSizes(int64_t payload, int64_t fragment) {
  std::vector<int64_t> sizes;
  int64_t first = fragment;
  int64_t rest = payload - fragment;
  if (rest < fragment && rest < kRuntLimit) {
    if (rest < 1) return {};
    first = Floor8(payload / 2);
    if (first == 0) first = fragment;
    rest = payload - first;
  }
  sizes.push_back(first);
  while (rest > 0) {
    int64_t size = fragment;
    if (rest <= fragment) {
      size = rest;
    } else if (rest - fragment < fragment && rest - fragment < kRuntLimit) {
      size = Floor8(rest / 2);
      if (size == 0) size = fragment;
    }
    sizes.push_back(size);
    rest -= size;
  }
  return sizes;
}

}  // namespace

uint16_t checksum_adjust(uint16_t checksum, uint16_t oldWord, uint16_t newWord) {
  uint32_t sum = static_cast<uint32_t>(static_cast<uint16_t>(~checksum)) + static_cast<uint16_t>(~oldWord) + newWord;
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

int ip_frag(PacketQueue& queue, buf_desc* packet, uint32_t mtu) {
  if (packet == nullptr || packet->pData == nullptr) return -1;
  uint8_t* header = packet->pData;
  const int64_t length = packet->dwLength;
  if (length < 20 || (header[0] >> 4) != 4) {
    DebugTrace(TRACE_PACKETS, "Dropped: Frag: not an IPv4 packet (%d bytes)\n", length);
    return -1;
  }
  const int64_t headerLength = 4 * (header[0] & 0x0F);
  const int64_t total = wire::GetU16BE(header + kTotalLengthAt);
  if (headerLength < 20 || total < headerLength || total != length) {
    DebugTrace(TRACE_PACKETS, "Dropped: Frag: inconsistent lengths (header %d, total %d, held %d)\n", headerLength,
               total, length);
    return -1;
  }
  if (static_cast<int64_t>(mtu) < headerLength + 8) {
    DebugTrace(TRACE_PACKETS, "Dropped: Frag: mtu (%d) too small\n", mtu);
    return -1;
  }
  const int64_t payload = total - headerLength;
  const int64_t fragment = Floor8(static_cast<int64_t>(mtu) - headerLength);
  const uint16_t flags = wire::GetU16BE(header + kFlagsAt);
  const int64_t offset = 8 * static_cast<int64_t>(flags & kOffsetMask);
  const bool carriesEnd = (flags & kFlagMf) == 0;
  if (offset + payload > 0xFFFF) return -1;

  const std::vector<int64_t> sizes = PieceSizes(payload, fragment);
  if (sizes.size() < 2) return -1;
  std::vector<BufDescPtr> pieces;
  for (size_t i = 1; i < sizes.size(); ++i) {
    BufDescPtr piece = buf_desc_alloc(0);
    if (piece == nullptr || piece->dwCapacity < headerLength + sizes[i]) {
      DebugTrace(TRACE_PACKETS, "Dropped: Frag: No enough pak\n");
      return -1;
    }
    pieces.push_back(std::move(piece));
  }

  if ((flags & kFlagDf) != 0) {
    DebugTrace(TRACE_PACKETS, "Clear DF flag\n");
    SetWord(header, kFlagsAt, static_cast<uint16_t>(flags & ~kFlagDf));
  }
  SetWord(header, kTotalLengthAt, static_cast<uint16_t>(headerLength + sizes[0]));
  SetWord(header, kFlagsAt, static_cast<uint16_t>(wire::GetU16BE(header + kFlagsAt) | kFlagMf));
  packet->dwLength = static_cast<uint32_t>(headerLength + sizes[0]);

  int64_t placed = sizes[0];
  for (size_t i = 1; i < sizes.size(); ++i) {
    buf_desc* piece = pieces[i - 1].get();
    const int64_t size = sizes[i];
    std::memcpy(piece->pData, header, static_cast<size_t>(headerLength));
    std::memcpy(piece->pData + headerLength, header + headerLength + placed, static_cast<size_t>(size));
    uint16_t pieceFlags = static_cast<uint16_t>((flags & kFlagReserved) | kFlagMf | ((offset + placed) / 8));
    if (placed + size == payload && carriesEnd) pieceFlags = static_cast<uint16_t>(pieceFlags & ~kFlagMf);
    SetWord(piece->pData, kTotalLengthAt, static_cast<uint16_t>(headerLength + size));
    SetWord(piece->pData, kFlagsAt, pieceFlags);
    piece->dwLength = static_cast<uint32_t>(headerLength + size);
    queue.PushFront(std::move(pieces[i - 1]));
    placed += size;
  }
  return 0;
}

}  // namespace brindleway
