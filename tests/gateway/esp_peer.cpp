#include "gateway/esp_peer.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <cstring>
#include <stdexcept>

namespace vqgateway {

struct EspPeer::Lib {
  OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
  OSSL_PROVIDER* base = ctx ? OSSL_PROVIDER_load(ctx, "default") : nullptr;
  OSSL_PROVIDER* legacy = ctx ? OSSL_PROVIDER_load(ctx, "legacy") : nullptr;
  ~Lib() {
    if (legacy) OSSL_PROVIDER_unload(legacy);
    if (base) OSSL_PROVIDER_unload(base);
    OSSL_LIB_CTX_free(ctx);
  }
};

EspPeer::EspPeer(const EspPeerConfig& config) : lib_(std::make_unique<Lib>()), config_(config) {
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
}

EspPeer::~EspPeer() = default;

std::vector<uint8_t> EspPeer::Key(size_t offset, size_t length) const {
  return std::vector<uint8_t>(config_.keyBlock.begin() + offset, config_.keyBlock.begin() + offset + length);
}

bool EspPeer::Cbc(bool encrypt, const std::vector<uint8_t>& key, const uint8_t* iv, uint8_t* data,
                  size_t length) const {
  if (cipherName_.empty()) return true;
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(lib_->ctx, cipherName_.c_str(), nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<uint8_t> out(length + 32);
  int n1 = 0;
  int n2 = 0;
  const bool ok = cipher && ctx && EVP_CipherInit_ex2(ctx, cipher, key.data(), iv, encrypt ? 1 : 0, nullptr) == 1 &&
                  EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                  EVP_CipherUpdate(ctx, out.data(), &n1, data, static_cast<int>(length)) == 1 &&
                  EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1 && static_cast<size_t>(n1 + n2) == length;
  if (ok) std::memcpy(data, out.data(), length);
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  return ok;
}

std::vector<uint8_t> EspPeer::Mac(const std::vector<uint8_t>& key, std::span<const uint8_t> data) const {
  if (digestName_.empty()) return {};
  std::vector<uint8_t> mac(EVP_MAX_MD_SIZE);
  size_t macLength = 0;
  if (EVP_Q_mac(lib_->ctx, "HMAC", nullptr, digestName_.c_str(), nullptr, key.data(), key.size(), data.data(),
                data.size(), mac.data(), mac.size(), &macLength) == nullptr) {
    throw std::runtime_error("HMAC failed");
  }
  mac.resize(icvLength_);
  return mac;
}

EspDecapResult EspPeer::Decap(std::span<const uint8_t> datagram) const {
  EspDecapResult r;
  const size_t fixed = 8 + ivLength_ + icvLength_;
  if (datagram.size() < fixed + 2) {
    r.error = "short";
    return r;
  }
  const uint32_t spi = (uint32_t{datagram[0]} << 24) | (uint32_t{datagram[1]} << 16) | (uint32_t{datagram[2]} << 8) |
                       datagram[3];
  if (spi != config_.gatewaySpi) {
    r.error = "spi";
    return r;
  }
  r.sequence = (uint32_t{datagram[4]} << 24) | (uint32_t{datagram[5]} << 16) | (uint32_t{datagram[6]} << 8) |
               datagram[7];
  const size_t cipherLength = datagram.size() - fixed;
  if (cipherLength % blockSize_ != 0) {
    r.error = "block";
    return r;
  }
  // Client to gateway: the second half of the key block.
  const std::vector<uint8_t> macKey = Key(macKeyLength_ + cipherKeyLength_, macKeyLength_);
  const std::vector<uint8_t> cipherKey = Key(2 * macKeyLength_ + cipherKeyLength_, cipherKeyLength_);
  const size_t covered = datagram.size() - icvLength_;
  const std::vector<uint8_t> mac = Mac(macKey, datagram.first(covered));
  if (icvLength_ != 0 && CRYPTO_memcmp(mac.data(), datagram.data() + covered, icvLength_) != 0) {
    r.error = "icv";
    return r;
  }
  std::vector<uint8_t> plain(datagram.begin() + 8 + ivLength_, datagram.begin() + covered);
  if (!Cbc(false, cipherKey, datagram.data() + 8, plain.data(), plain.size())) {
    r.error = "cipher";
    return r;
  }
  if (plain.back() != 4) {
    r.error = "next header";
    return r;
  }
  r.padLength = plain[plain.size() - 2];
  if (size_t{r.padLength} + 2 > plain.size()) {
    r.error = "pad length";
    return r;
  }
  const size_t innerLength = plain.size() - 2 - r.padLength;
  for (size_t i = 0; i < r.padLength; ++i) {
    if (plain[innerLength + i] != static_cast<uint8_t>(i + 1)) {
      r.error = "pad bytes";
      return r;
    }
  }
  r.inner.assign(plain.begin(), plain.begin() + innerLength);
  r.ok = true;
  return r;
}

std::vector<uint8_t> EspPeer::Encap(std::span<const uint8_t> inner) {
  std::vector<uint8_t> body(inner.begin(), inner.end());
  // Smallest pad that fills the cipher block and keeps the trailer 4-aligned.
  size_t pad = 0;
  while ((body.size() + pad + 2) % blockSize_ != 0 || (body.size() + pad + 2) % 4 != 0) ++pad;
  for (size_t i = 1; i <= pad; ++i) body.push_back(static_cast<uint8_t>(i));
  body.push_back(static_cast<uint8_t>(pad));
  body.push_back(4);
  return EncapBody(body);
}

std::vector<uint8_t> EspPeer::EncapBody(std::span<const uint8_t> plainBody) {
  std::vector<uint8_t> body(plainBody.begin(), plainBody.end());
  std::vector<uint8_t> iv(ivLength_);
  if (!iv.empty() && RAND_bytes(iv.data(), static_cast<int>(iv.size())) != 1) throw std::runtime_error("RAND_bytes");
  // Gateway to client: the first half of the key block.
  const std::vector<uint8_t> macKey = Key(0, macKeyLength_);
  const std::vector<uint8_t> cipherKey = Key(macKeyLength_, cipherKeyLength_);
  if (!Cbc(true, cipherKey, iv.data(), body.data(), body.size())) throw std::runtime_error("encrypt");

  const uint32_t sequence = ++sendSequence_;
  std::vector<uint8_t> out;
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(config_.clientSpi >> shift));
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(sequence >> shift));
  out.insert(out.end(), iv.begin(), iv.end());
  out.insert(out.end(), body.begin(), body.end());
  const std::vector<uint8_t> mac = Mac(macKey, out);
  out.insert(out.end(), mac.begin(), mac.end());
  return out;
}

}  // namespace vqgateway
