// The last status the tunnel service reported (the 65-byte VQ_INQUERY
// reply), for the tray and the Network Information window. Written and
// read on the UI thread only; the channel status itself lives under its
// own lock in ClientApp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "support/command_pipe.h"

namespace client {

class StatusBlock {
 public:
  // Takes every field of a whole reply (kInqueryReplySize bytes or more) by
  // its offset; false, and nothing changed, for a shorter one.
  bool Store(const uint8_t* reply, size_t length);
  // ClearStatusBlock's part: addresses, packet counters and the connected
  // time to 0; byte counters and identifiers keep their values.
  void Clear();

  uint32_t GetStatusGatewayAddress() const { return gateway_; }
  uint32_t GetStatusLocalAddress() const { return local_; }
  double GetStatusConnectedTime() const { return connectedTime_; }
  uint32_t GetStatusPacketsSent() const { return packetsSent_; }
  uint32_t GetStatusPacketsReceived() const { return packetsReceived_; }
  uint32_t GetStatusBytesSent() const { return bytesSent_; }
  uint32_t GetStatusBytesReceived() const { return bytesReceived_; }
  uint16_t GetStatusCipherId() const { return cipher_; }
  uint16_t GetStatusHashId() const { return hash_; }
  uint16_t GetStatusProtocolId() const { return protocol_; }
  // The compression statistics in reply order: the u16 at 47, then the
  // u32 values at 49, 53, 57 and 61.
  uint16_t GetStatusCompression() const { return compression_; }
  uint32_t GetStatusCompressionCounter(size_t index) const { return compressionCounters_.at(index); }

 private:
  uint32_t gateway_ = 0;
  uint32_t local_ = 0;
  uint32_t packetsReceived_ = 0;
  uint32_t packetsSent_ = 0;
  uint32_t bytesReceived_ = 0;
  uint32_t bytesSent_ = 0;
  double connectedTime_ = 0;
  uint16_t cipher_ = 0;
  uint16_t hash_ = 0;
  uint16_t protocol_ = 0;
  uint16_t compression_ = 0;
  std::array<uint32_t, 4> compressionCounters_{};
};

}  // namespace client
