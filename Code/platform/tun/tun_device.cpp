#include <algorithm>

#include "platform/tun/tun.h"
#include "platform/win32/win32_error.h"

namespace platform::tun {

uint32_t Device::SetPointToPoint(uint32_t local, uint32_t remote) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  p2pLocal_ = local;
  p2pRemote_ = remote;
  return 0;
}

uint32_t Device::ReadPackets(std::span<const std::span<uint8_t>> buffers, std::span<size_t> lengths,
                             size_t& count) {
  count = 0;
  const size_t n = std::min(buffers.size(), lengths.size());
  while (count < n) {
    if (uint32_t err = Read(buffers[count], lengths[count]); err != 0) return err;
    ++count;
  }
  return 0;
}

uint32_t Device::WritePackets(std::span<const std::span<const uint8_t>> packets, size_t& count) {
  count = 0;
  while (count < packets.size()) {
    if (uint32_t err = Write(packets[count]); err != 0) return err;
    ++count;
  }
  return 0;
}

}  // namespace platform::tun
