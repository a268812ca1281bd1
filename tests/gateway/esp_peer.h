// The gateway's end of the UDP data plane's ESP-like packets, written from
// the wire layout alone: the gateway keeps its own key block, cuts its own
// keys, and calls OpenSSL directly. Tests pair it with the client's
// encapsulation so that a mistake mirrored on both sides cannot pass.
//
// Datagram: SPI (BE) | sequence (BE) | IV | CBC(inner | 1..pad | pad | 4) | ICV
// Key block: the gateway-to-client HMAC key, the gateway-to-client cipher
// key, then the client-to-gateway HMAC key and cipher key.
//
// The cipher and HMAC contexts of both directions are keyed once, when the
// peer is made, so a packet costs its own crypto only. One thread at a time
// may decapsulate and one (another, or the same) encapsulate.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vqgateway {

struct EspPeerConfig {
  uint16_t encryptionId = 3;
  uint16_t hashId = 2;
  // The SPI the client sends to (ours) and the one we send to (the client's).
  uint32_t gatewaySpi = 0;
  uint32_t clientSpi = 0;
  std::array<uint8_t, 200> keyBlock{};
};

struct EspDecapResult {
  bool ok = false;
  std::string error;
  uint32_t sequence = 0;
  uint8_t padLength = 0;
  std::vector<uint8_t> inner;
};

class EspPeer {
 public:
  explicit EspPeer(const EspPeerConfig& config);
  ~EspPeer();
  EspPeer(const EspPeer&) = delete;
  EspPeer& operator=(const EspPeer&) = delete;

  size_t IvLength() const { return ivLength_; }
  size_t BlockSize() const { return blockSize_; }
  size_t IcvLength() const { return icvLength_; }

  // A datagram from the client.
  EspDecapResult Decap(std::span<const uint8_t> datagram) const;
  // The same in place, for the data plane's packet path: on success inner
  // is the decrypted inner packet inside datagram; on failure error (when
  // given) says why.
  bool DecapInPlace(std::span<uint8_t> datagram, std::span<uint8_t>& inner, std::string* error = nullptr) const;
  // Encapsulates inner into out: the datagram's length, or 0 when out is too
  // small or the crypto failed.
  size_t EncapInto(std::span<const uint8_t> inner, std::span<uint8_t> out);
  // A datagram to the client: random IV, sequence numbers from 1.
  std::vector<uint8_t> Encap(std::span<const uint8_t> inner);
  // The same around a body that already ends with its trailer (padding, pad
  // length, next header), whatever they hold: for hostile datagrams. The
  // body's length must fill whole cipher blocks.
  std::vector<uint8_t> EncapBody(std::span<const uint8_t> body);

 private:
  struct Lib;
  std::unique_ptr<Lib> lib_;
  EspPeerConfig config_;
  std::string cipherName_;  // empty: NULL cipher
  std::string digestName_;  // empty: no ICV
  size_t ivLength_ = 0;
  size_t blockSize_ = 1;
  size_t icvLength_ = 0;
  size_t macKeyLength_ = 0;
  size_t cipherKeyLength_ = 0;
  uint32_t sendSequence_ = 0;

  size_t PadFor(size_t innerLength) const;
  // The body (inner and trailer, whole cipher blocks) at out + 8 + IV is
  // encrypted and framed in place; the datagram's length.
  size_t SealBody(uint8_t* out, size_t bodyLength);
};

}  // namespace vqgateway
