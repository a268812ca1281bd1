// vqbench_crypto: what one core can encrypt and authenticate, the ceiling
// of any design that keeps a tunnel's crypto on one core. The bare OpenSSL
// work of one datagram of a 1400-byte inner packet, in series on the
// calling thread: a fresh IV, AES-128-CBC over the padded 1408-byte
// payload, HMAC-SHA1 over the datagram (SPI, sequence, IV, ciphertext).
// Nothing of the tunnel's own code is in it, so a tunnel faster than this
// figure has left the one-core limit behind.
//
//   vqbench_crypto [-t SECONDS]
//
// Prints the rate in Gbit/s of inner packets (1400 bytes each), the unit
// iperf3's figures are compared in. The caller pins it to one core.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Free {
  void operator()(EVP_CIPHER_CTX* p) const noexcept { EVP_CIPHER_CTX_free(p); }
  void operator()(EVP_MAC* p) const noexcept { EVP_MAC_free(p); }
  void operator()(EVP_MAC_CTX* p) const noexcept { EVP_MAC_CTX_free(p); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Free>;

constexpr size_t kInner = 1400;
constexpr size_t kPayload = 1408;  // inner, 6 bytes of padding, pad length, next header
constexpr size_t kHeader = 8 + 16;
constexpr size_t kIcv = 12;

int Fail(const char* what) {
  std::fprintf(stderr, "vqbench_crypto: %s failed\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 2;
  if (argc == 3 && std::string(argv[1]) == "-t") {
    seconds = std::atof(argv[2]);
  } else if (argc != 1) {
    std::fputs("usage: vqbench_crypto [-t SECONDS]\n", stderr);
    return 2;
  }
  if (seconds <= 0) return 2;

  unsigned char key[16];
  unsigned char macKey[20];
  for (size_t i = 0; i < sizeof key; ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
  for (size_t i = 0; i < sizeof macKey; ++i) macKey[i] = static_cast<unsigned char>(i * 13 + 3);
  const CipherCtx cipherOwner(EVP_CIPHER_CTX_new());
  const CipherCtx ivCipherOwner(EVP_CIPHER_CTX_new());
  EVP_CIPHER_CTX* cipher = cipherOwner.get();
  EVP_CIPHER_CTX* ivCipher = ivCipherOwner.get();
  if (cipher == nullptr || ivCipher == nullptr ||
      EVP_EncryptInit_ex2(cipher, EVP_aes_128_cbc(), key, nullptr, nullptr) != 1 ||
      EVP_EncryptInit_ex2(ivCipher, EVP_aes_128_ecb(), key, nullptr, nullptr) != 1) {
    return Fail("cipher set-up");
  }
  EVP_CIPHER_CTX_set_padding(cipher, 0);
  EVP_CIPHER_CTX_set_padding(ivCipher, 0);
  const std::unique_ptr<EVP_MAC, Free> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  const std::unique_ptr<EVP_MAC_CTX, Free> macOwner(mac != nullptr ? EVP_MAC_CTX_new(mac.get()) : nullptr);
  EVP_MAC_CTX* macCtx = macOwner.get();
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>("SHA1"), 0),
                         OSSL_PARAM_construct_end()};
  if (macCtx == nullptr || EVP_MAC_init(macCtx, macKey, sizeof macKey, params) != 1) return Fail("HMAC set-up");

  std::vector<unsigned char> datagram(kHeader + kPayload + kIcv, 0x45);
  unsigned char counter[16] = {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  uint64_t packets = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  for (;;) {
    // A batch between clock reads, so reading the clock costs nothing.
    for (int n = 0; n < 256; ++n) {
      int length = 0;
      std::memcpy(counter, &packets, sizeof packets);
      if (EVP_EncryptUpdate(ivCipher, &datagram[8], &length, counter, 16) != 1) return Fail("IV");
      if (EVP_EncryptInit_ex2(cipher, nullptr, nullptr, &datagram[8], nullptr) != 1 ||
          EVP_EncryptUpdate(cipher, &datagram[kHeader], &length, &datagram[kHeader], kPayload) != 1) {
        return Fail("encryption");
      }
      size_t macLength = 0;
      if (EVP_MAC_init(macCtx, nullptr, 0, nullptr) != 1 ||
          EVP_MAC_update(macCtx, datagram.data(), kHeader + kPayload) != 1 ||
          EVP_MAC_final(macCtx, digest, &macLength, sizeof digest) != 1) {
        return Fail("HMAC");
      }
      std::memcpy(&datagram[kHeader + kPayload], digest, kIcv);
      ++packets;
    }
    if (std::chrono::steady_clock::now() >= end) break;
  }
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.3f\n", static_cast<double>(packets) * kInner * 8 / elapsed / 1e9);
  return 0;
}
