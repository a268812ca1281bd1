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
// may decapsulate (and one more per EspOpener) and one (another, or the
// same) encapsulate or frame.
// Sending comes in two steps so that several threads can share the crypto
// of a batch: Frame lays a datagram out in order (sequence number, IV),
// then any EspSealer of the peer seals it, each sealer on one thread at a
// time.
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

// A set of the send side's keyed cipher and HMAC contexts.
class EspSealer {
 public:
  ~EspSealer();
  EspSealer(const EspSealer&) = delete;
  EspSealer& operator=(const EspSealer&) = delete;

  // Encrypts the body of a datagram laid out by EspPeer::Frame, behind its
  // IV, and writes its ICV: false when the crypto failed.
  bool Seal(std::span<uint8_t> datagram);

 private:
  friend class EspPeer;
  struct Contexts;
  explicit EspSealer(std::unique_ptr<Contexts> contexts);
  std::unique_ptr<Contexts> contexts_;
};

// Another set of the receive side's keyed cipher and HMAC contexts, so
// that one more thread can decapsulate beside the peer's own; one thread
// at a time. It reads the peer's settings: the peer must outlive it.
class EspOpener {
 public:
  ~EspOpener();
  EspOpener(const EspOpener&) = delete;
  EspOpener& operator=(const EspOpener&) = delete;

  // As EspPeer::DecapInPlace, on these contexts.
  bool Open(std::span<uint8_t> datagram, std::span<uint8_t>& inner, std::string* error = nullptr);

 private:
  friend class EspPeer;
  struct Contexts;
  EspOpener(const class EspPeer& peer, std::unique_ptr<Contexts> contexts);
  const EspPeer& peer_;
  std::unique_ptr<Contexts> contexts_;
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

  // What a datagram adds around its inner packet, at most whatever the
  // algorithms: in front (SPI, sequence number, IV) and behind (padding,
  // trailer, ICV).
  static constexpr size_t kMaxFront = 8 + 16;
  static constexpr size_t kMaxBehind = 15 + 2 + 32;

  size_t IvLength() const { return ivLength_; }
  // In front of the inner packet with these algorithms.
  size_t Front() const { return 8 + ivLength_; }
  size_t BlockSize() const { return blockSize_; }
  size_t IcvLength() const { return icvLength_; }

  // A datagram from the client.
  EspDecapResult Decap(std::span<const uint8_t> datagram) const;
  // The same in place, for the data plane's packet path: on success inner
  // is the decrypted inner packet inside datagram; on failure error (when
  // given) says why.
  bool DecapInPlace(std::span<uint8_t> datagram, std::span<uint8_t>& inner, std::string* error = nullptr) const;
  // Receive contexts of its own for another thread (EspOpener).
  std::unique_ptr<EspOpener> NewOpener() const;
  // Lays the datagram for inner out in out, all but its crypto: SPI, the
  // next sequence number, a fresh random IV, inner, padding, trailer and
  // room for the ICV. Its length, or 0 when out is too small. inner may
  // already stand where it goes (at out[Front()]: read there), then it is
  // not copied.
  size_t Frame(std::span<const uint8_t> inner, std::span<uint8_t> out);
  // Another set of the send side's contexts, keyed alike, for another
  // thread; it keeps what it needs of the peer.
  std::unique_ptr<EspSealer> NewSealer() const;
  // A datagram to the client: random IV, sequence numbers from 1.
  std::vector<uint8_t> Encap(std::span<const uint8_t> inner);
  // The same around a body that already ends with its trailer (padding, pad
  // length, next header), whatever they hold: for hostile datagrams. The
  // body's length must fill whole cipher blocks.
  std::vector<uint8_t> EncapBody(std::span<const uint8_t> body);

 private:
  friend class EspSealer;
  friend class EspOpener;
  struct Lib;
  std::shared_ptr<Lib> lib_;  // shared with the sealers
  EspPeerConfig config_;
  std::string cipherName_;  // empty: NULL cipher
  std::string digestName_;  // empty: no ICV
  size_t ivLength_ = 0;
  size_t blockSize_ = 1;
  size_t icvLength_ = 0;
  size_t macKeyLength_ = 0;
  size_t cipherKeyLength_ = 0;
  uint32_t sendSequence_ = 0;
  std::unique_ptr<EspSealer> sealer_;  // Encap's and EncapBody's
  // Random bytes drawn ahead, a batch per call: a call per IV costs more
  // than the IV's crypto.
  std::array<uint8_t, 4096> ivPool_{};
  size_t ivPoolUsed_ = ivPool_.size();

  // DecapInPlace on the given receive contexts.
  bool DecapWith(const EspOpener::Contexts& contexts, std::span<uint8_t> datagram, std::span<uint8_t>& inner,
                 std::string* error) const;
  size_t PadFor(size_t innerLength) const;
  // SPI, the next sequence number and a fresh IV at out, in front of a
  // body of bodyLength (inner and trailer, whole cipher blocks); the
  // datagram's length with its ICV.
  size_t FrameHeader(uint8_t* out, size_t bodyLength);
};

}  // namespace vqgateway
