// The IVs of the outbound SA: a fresh, unpredictable IV for every datagram.
//
// IV n (n = 1, 2, ... over the SA's life) is the first IV-length bytes of
// AES-256-ECB(K, n as a 16-byte big-endian block), K drawn at random when
// the SA is set up and used for nothing else: the encrypted-counter method
// of NIST SP 800-38A, Appendix C. Without K the next IV cannot be told from
// the ones seen (AES is a pseudo-random permutation), and no IV depends on
// the ciphertext of the datagram before it, as the chained IV it replaces
// did. The counter never repeats within the SA (Next refuses to wrap it),
// so AES being a permutation no two 16-byte IVs of one SA are equal; the
// 8-byte IVs of DES, 3DES, Blowfish, CAST and IDEA are the first half of
// such a block.
//
// The counter blocks are encrypted kIvBatch at a time into a small buffer
// (one EVP call per batch instead of one per datagram); nothing is
// allocated per datagram. The wire carries the IV as before and the
// receiver takes it from there, so nothing changes for any peer.
//
// Not thread-safe: the SA that owns it uses it under the SA lock only.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <span>

namespace brindleway {

inline constexpr uint32_t ESP_IV_KEY_LENGTH = 32;
inline constexpr uint32_t ESP_IV_BLOCK = 16;

class EspIvSource {
 public:
  // Keyed with key (the caller draws it and cleanses its copy); null when
  // AES-256-ECB is unavailable.
  static std::unique_ptr<EspIvSource> Make(std::span<const uint8_t, ESP_IV_KEY_LENGTH> key);
  EspIvSource(const EspIvSource&) = delete;
  EspIvSource& operator=(const EspIvSource&) = delete;

  // Writes the next IV's first length bytes (at most 16) to iv: 0, or -1
  // when the cipher failed or the counter is spent (never in practice:
  // 2^64 datagrams); no IV is repeated either way.
  int Next(uint8_t* iv, uint32_t length);

 private:
  static constexpr uint32_t kIvBatch = 8;
  struct CtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const noexcept;
  };
  using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;
  explicit EspIvSource(CtxPtr ctx) : m_ctx(std::move(ctx)) {}
  int Refill();

  CtxPtr m_ctx;
  // The counter of the last block encrypted into m_blocks.
  uint64_t m_counter = 0;
  // m_blocks[m_next] is the next IV; kIvBatch: the batch is used up.
  uint32_t m_next = kIvBatch;
  uint8_t m_blocks[kIvBatch][ESP_IV_BLOCK] = {};
};

}  // namespace brindleway
