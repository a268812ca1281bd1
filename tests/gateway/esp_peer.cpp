#include "gateway/esp_peer.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <cstring>
#include <stdexcept>

namespace vqgateway {

struct EspPeer::Lib {
  OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
  OSSL_PROVIDER* base = ctx ? OSSL_PROVIDER_load(ctx, "default") : nullptr;
  OSSL_PROVIDER* legacy = ctx ? OSSL_PROVIDER_load(ctx, "legacy") : nullptr;
  EVP_CIPHER* cipher = nullptr;
  EVP_MAC* mac = nullptr;
  // Client to gateway; the sealers hold the other direction's.
  EVP_CIPHER_CTX* receiveCipher = nullptr;
  EVP_MAC_CTX* receiveMac = nullptr;
  ~Lib() {
    EVP_MAC_CTX_free(receiveMac);
    EVP_MAC_free(mac);
    EVP_CIPHER_CTX_free(receiveCipher);
    EVP_CIPHER_free(cipher);
    if (legacy) OSSL_PROVIDER_unload(legacy);
    if (base) OSSL_PROVIDER_unload(base);
    OSSL_LIB_CTX_free(ctx);
  }
};

struct EspSealer::Contexts {
  std::shared_ptr<const EspPeer::Lib> lib;  // outlives the contexts
  bool encrypts = false;
  size_t ivLength = 0;
  size_t icvLength = 0;
  EVP_CIPHER_CTX* cipher = nullptr;
  EVP_MAC_CTX* mac = nullptr;
  // The cipher context runs on from datagram to datagram, as one CBC
  // stream: chain is its running IV (the last block it gave). Setting a
  // fresh IV in the context costs more than a short datagram's crypto.
  std::array<uint8_t, EVP_MAX_IV_LENGTH> chain{};
  bool RunOnCbc(const uint8_t* iv, uint8_t* data, size_t length);
  // Afresh from a zero IV; false (and no cipher) when that failed.
  bool Restart();
  ~Contexts() {
    EVP_MAC_CTX_free(mac);
    EVP_CIPHER_CTX_free(cipher);
  }
};

// Borrowed from the peer's Lib (DecapInPlace) or owned (an EspOpener's).
struct EspOpener::Contexts {
  EVP_CIPHER_CTX* cipher = nullptr;
  EVP_MAC_CTX* mac = nullptr;
  bool owned = false;
  ~Contexts() {
    if (!owned) return;
    EVP_MAC_CTX_free(mac);
    EVP_CIPHER_CTX_free(cipher);
  }
};

namespace {

constexpr size_t kHeader = 8;

// Null when the cipher is unavailable: every packet then fails its crypto.
EVP_CIPHER_CTX* KeyedCipher(EVP_CIPHER* cipher, const uint8_t* key, bool encrypt) {
  if (cipher == nullptr) return nullptr;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr || EVP_CipherInit_ex2(ctx, cipher, key, nullptr, encrypt ? 1 : 0, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
    EVP_CIPHER_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

// Null when HMAC with that digest is unavailable: every packet then fails.
EVP_MAC_CTX* KeyedMac(EVP_MAC* mac, const std::string& digest, const uint8_t* key, size_t keyLength) {
  if (mac == nullptr) return nullptr;
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(digest.c_str()), 0),
      OSSL_PARAM_construct_end()};
  if (ctx == nullptr || EVP_MAC_init(ctx, key, keyLength, params) != 1) {
    EVP_MAC_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

bool SetIv(EVP_CIPHER_CTX* ctx, const uint8_t* iv) {
  return EVP_CipherInit_ex2(ctx, nullptr, nullptr, iv, -1, nullptr) == 1;
}

// CBC over length bytes in place with a keyed context and this IV.
bool Cbc(EVP_CIPHER_CTX* ctx, const uint8_t* iv, uint8_t* data, size_t length) {
  int n = 0;
  return ctx != nullptr && SetIv(ctx, iv) && EVP_CipherUpdate(ctx, data, &n, data, static_cast<int>(length)) == 1 && static_cast<size_t>(n) == length;
}

// The HMAC of data with the context's key, restarted for each packet.
bool Mac(EVP_MAC_CTX* ctx, const uint8_t* data, size_t length, uint8_t* out) {
  size_t macLength = 0;
  return ctx != nullptr && EVP_MAC_init(ctx, nullptr, 0, nullptr) == 1 && EVP_MAC_update(ctx, data, length) == 1 &&
         EVP_MAC_final(ctx, out, &macLength, EVP_MAX_MD_SIZE) == 1;
}

}  // namespace

EspPeer::EspPeer(const EspPeerConfig& config) : lib_(std::make_shared<Lib>()), config_(config) {
  if (lib_->base == nullptr) throw std::runtime_error("no OpenSSL default provider");
  // The gateway's own reading of the identifiers, unknown ones falling back
  // to 3DES and SHA-1 as the client does.
  switch (config.encryptionId) {
    case 2: cipherName_ = "DES-CBC"; cipherKeyLength_ = 8; break;
    case 11: cipherName_ = ""; cipherKeyLength_ = 0; break;
    case 12: cipherName_ = "AES-128-CBC"; cipherKeyLength_ = 16; break;
    case 14: cipherName_ = "AES-192-CBC"; cipherKeyLength_ = 24; break;
    case 15: cipherName_ = "AES-256-CBC"; cipherKeyLength_ = 32; break;
    default: cipherName_ = "DES-EDE3-CBC"; cipherKeyLength_ = 24; break;
  }
  if (cipherName_.empty()) {
    ivLength_ = 0;
    blockSize_ = 1;
  } else if (cipherName_.rfind("AES", 0) == 0) {
    ivLength_ = blockSize_ = 16;
  } else {
    ivLength_ = blockSize_ = 8;
  }
  switch (config.hashId) {
    case 1: digestName_ = "MD5"; macKeyLength_ = 16; icvLength_ = 12; break;
    case 5: digestName_ = "SHA256"; macKeyLength_ = 32; icvLength_ = 16; break;
    case 6: digestName_ = "SHA384"; macKeyLength_ = 48; icvLength_ = 24; break;
    case 7: digestName_ = "SHA512"; macKeyLength_ = 64; icvLength_ = 32; break;
    case 8: digestName_ = ""; macKeyLength_ = 0; icvLength_ = 0; break;
    default: digestName_ = "SHA1"; macKeyLength_ = 20; icvLength_ = 12; break;
  }
  // Gateway to client: the first half of the key block; client to gateway:
  // the second.
  const uint8_t* block = config_.keyBlock.data();
  if (!cipherName_.empty()) {
    lib_->cipher = EVP_CIPHER_fetch(lib_->ctx, cipherName_.c_str(), nullptr);
    lib_->receiveCipher = KeyedCipher(lib_->cipher, block + 2 * macKeyLength_ + cipherKeyLength_, false);
  }
  if (!digestName_.empty()) {
    lib_->mac = EVP_MAC_fetch(lib_->ctx, "HMAC", nullptr);
    lib_->receiveMac = KeyedMac(lib_->mac, digestName_, block + macKeyLength_ + cipherKeyLength_, macKeyLength_);
  }
  sealer_ = NewSealer();
}

std::unique_ptr<EspSealer> EspPeer::NewSealer() const {
  auto contexts = std::make_unique<EspSealer::Contexts>();
  contexts->lib = lib_;
  contexts->encrypts = !cipherName_.empty();
  contexts->ivLength = ivLength_;
  contexts->icvLength = icvLength_;
  const uint8_t* block = config_.keyBlock.data();
  if (contexts->encrypts) {
    contexts->cipher = KeyedCipher(lib_->cipher, block + macKeyLength_, true);
    contexts->Restart();
  }
  if (icvLength_ != 0) contexts->mac = KeyedMac(lib_->mac, digestName_, block, macKeyLength_);
  return std::unique_ptr<EspSealer>(new EspSealer(std::move(contexts)));
}

EspSealer::EspSealer(std::unique_ptr<Contexts> contexts) : contexts_(std::move(contexts)) {}

EspSealer::~EspSealer() = default;

// CBC from iv over length bytes (whole blocks) in place, on the context
// that continues from chain: folding chain and iv into the first block
// gives what starting afresh from iv would.
bool EspSealer::Contexts::RunOnCbc(const uint8_t* iv, uint8_t* data, size_t length) {
  const size_t block = ivLength;
  if (cipher == nullptr || length < block) return false;
  for (size_t i = 0; i < block; ++i) data[i] ^= static_cast<uint8_t>(iv[i] ^ chain[i]);
  int n = 0;
  if (EVP_CipherUpdate(cipher, data, &n, data, static_cast<int>(length)) == 1 && static_cast<size_t>(n) == length) {
    std::memcpy(chain.data(), data + length - block, block);
    return true;
  }
  // Where the context stands is unknown now.
  Restart();
  return false;
}

bool EspSealer::Contexts::Restart() {
  chain.fill(0);
  if (cipher != nullptr && SetIv(cipher, chain.data())) return true;
  EVP_CIPHER_CTX_free(cipher);
  cipher = nullptr;
  return false;
}

bool EspSealer::Seal(std::span<uint8_t> datagram) {
  Contexts& c = *contexts_;
  const size_t fixed = kHeader + c.ivLength + c.icvLength;
  if (datagram.size() < fixed) return false;
  const size_t covered = datagram.size() - c.icvLength;
  uint8_t* iv = datagram.data() + kHeader;
  if (c.encrypts && !c.RunOnCbc(iv, iv + c.ivLength, covered - kHeader - c.ivLength)) return false;
  if (c.icvLength != 0) {
    uint8_t mac[EVP_MAX_MD_SIZE];
    if (!Mac(c.mac, datagram.data(), covered, mac)) return false;
    std::memcpy(datagram.data() + covered, mac, c.icvLength);
  }
  return true;
}

EspPeer::~EspPeer() = default;

EspDecapResult EspPeer::Decap(std::span<const uint8_t> datagram) const {
  EspDecapResult r;
  std::vector<uint8_t> copy(datagram.begin(), datagram.end());
  std::span<uint8_t> inner;
  if (!DecapInPlace(copy, inner, &r.error)) return r;
  r.sequence = (uint32_t{copy[4]} << 24) | (uint32_t{copy[5]} << 16) | (uint32_t{copy[6]} << 8) | copy[7];
  r.padLength = copy[copy.size() - icvLength_ - 2];
  r.inner.assign(inner.begin(), inner.end());
  r.ok = true;
  return r;
}

std::unique_ptr<EspOpener> EspPeer::NewOpener() const {
  auto contexts = std::make_unique<EspOpener::Contexts>();
  contexts->owned = true;
  const uint8_t* block = config_.keyBlock.data();
  if (!cipherName_.empty()) {
    contexts->cipher = KeyedCipher(lib_->cipher, block + 2 * macKeyLength_ + cipherKeyLength_, false);
  }
  if (!digestName_.empty()) {
    contexts->mac = KeyedMac(lib_->mac, digestName_, block + macKeyLength_ + cipherKeyLength_, macKeyLength_);
  }
  return std::unique_ptr<EspOpener>(new EspOpener(*this, std::move(contexts)));
}

EspOpener::EspOpener(const EspPeer& peer, std::unique_ptr<Contexts> contexts)
    : peer_(peer), contexts_(std::move(contexts)) {}

EspOpener::~EspOpener() = default;

bool EspOpener::Open(std::span<uint8_t> datagram, std::span<uint8_t>& inner, std::string* error) {
  return peer_.DecapWith(*contexts_, datagram, inner, error);
}

bool EspPeer::DecapInPlace(std::span<uint8_t> datagram, std::span<uint8_t>& inner, std::string* error) const {
  EspOpener::Contexts own;
  own.cipher = lib_->receiveCipher;
  own.mac = lib_->receiveMac;
  return DecapWith(own, datagram, inner, error);
}

bool EspPeer::DecapWith(const EspOpener::Contexts& contexts, std::span<uint8_t> datagram, std::span<uint8_t>& inner,
                        std::string* error) const {
  const auto fail = [error](const char* why) {
    if (error != nullptr) *error = why;
    return false;
  };
  const size_t fixed = kHeader + ivLength_ + icvLength_;
  if (datagram.size() < fixed + 2) return fail("short");
  const uint32_t spi = (uint32_t{datagram[0]} << 24) | (uint32_t{datagram[1]} << 16) | (uint32_t{datagram[2]} << 8) |
                       datagram[3];
  if (spi != config_.gatewaySpi) return fail("spi");
  const size_t cipherLength = datagram.size() - fixed;
  if (cipherLength % blockSize_ != 0) return fail("block");
  const size_t covered = datagram.size() - icvLength_;
  if (icvLength_ != 0) {
    uint8_t mac[EVP_MAX_MD_SIZE];
    if (!Mac(contexts.mac, datagram.data(), covered, mac)) throw std::runtime_error("HMAC failed");
    if (CRYPTO_memcmp(mac, datagram.data() + covered, icvLength_) != 0) return fail("icv");
  }
  uint8_t* plain = datagram.data() + kHeader + ivLength_;
  if (!cipherName_.empty() && !Cbc(contexts.cipher, datagram.data() + kHeader, plain, cipherLength)) {
    return fail("cipher");
  }
  if (plain[cipherLength - 1] != 4) return fail("next header");
  const uint8_t padLength = plain[cipherLength - 2];
  if (size_t{padLength} + 2 > cipherLength) return fail("pad length");
  const size_t innerLength = cipherLength - 2 - padLength;
  for (size_t i = 0; i < padLength; ++i) {
    if (plain[innerLength + i] != static_cast<uint8_t>(i + 1)) return fail("pad bytes");
  }
  inner = std::span<uint8_t>(plain, innerLength);
  return true;
}

size_t EspPeer::PadFor(size_t innerLength) const {
  // Smallest pad that fills the cipher block and keeps the trailer 4-aligned.
  size_t pad = 0;
  while ((innerLength + pad + 2) % blockSize_ != 0 || (innerLength + pad + 2) % 4 != 0) ++pad;
  return pad;
}

std::vector<uint8_t> EspPeer::Encap(std::span<const uint8_t> inner) {
  std::vector<uint8_t> out(kHeader + ivLength_ + inner.size() + PadFor(inner.size()) + 2 + icvLength_);
  if (Frame(inner, out) != out.size() || !sealer_->Seal(out)) throw std::runtime_error("encrypt");
  return out;
}

size_t EspPeer::Frame(std::span<const uint8_t> inner, std::span<uint8_t> out) {
  const size_t pad = PadFor(inner.size());
  const size_t body = inner.size() + pad + 2;
  if (out.size() < kHeader + ivLength_ + body + icvLength_) return 0;
  uint8_t* p = out.data() + kHeader + ivLength_;
  if (inner.data() != p) std::memcpy(p, inner.data(), inner.size());
  p += inner.size();
  for (size_t i = 1; i <= pad; ++i) *p++ = static_cast<uint8_t>(i);
  *p++ = static_cast<uint8_t>(pad);
  *p = 4;
  return FrameHeader(out.data(), body);
}

std::vector<uint8_t> EspPeer::EncapBody(std::span<const uint8_t> body) {
  std::vector<uint8_t> out(kHeader + ivLength_ + body.size() + icvLength_);
  std::memcpy(out.data() + kHeader + ivLength_, body.data(), body.size());
  if (FrameHeader(out.data(), body.size()) != out.size() || !sealer_->Seal(out)) throw std::runtime_error("encrypt");
  return out;
}

size_t EspPeer::FrameHeader(uint8_t* out, size_t bodyLength) {
  if (ivLength_ != 0) {
    if (ivPool_.size() - ivPoolUsed_ < ivLength_) {
      if (RAND_bytes(ivPool_.data(), static_cast<int>(ivPool_.size())) != 1) throw std::runtime_error("RAND_bytes");
      ivPoolUsed_ = 0;
    }
    std::memcpy(out + kHeader, ivPool_.data() + ivPoolUsed_, ivLength_);
    ivPoolUsed_ += ivLength_;
  }
  const uint32_t sequence = ++sendSequence_;
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<uint8_t>(config_.clientSpi >> (24 - 8 * i));
    out[4 + i] = static_cast<uint8_t>(sequence >> (24 - 8 * i));
  }
  return kHeader + ivLength_ + bodyLength + icvLength_;
}

}  // namespace vqgateway
