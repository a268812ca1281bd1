// The RC4 stream cipher of the encrypted files, from OpenSSL's legacy
// provider in its own library context (legacy_crypto_context.h), so the
// process's default context never offers legacy algorithms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace support {

class Rc4Cipher {
 public:
  Rc4Cipher();
  ~Rc4Cipher();
  Rc4Cipher(const Rc4Cipher&) = delete;
  Rc4Cipher& operator=(const Rc4Cipher&) = delete;

  // Starts the key stream of key (1 to 256 bytes). False when RC4 is not
  // available (no legacy provider) or the key is refused.
  bool Init(std::span<const uint8_t> key);
  // XORs the next in.size() bytes of the key stream into out (same size;
  // in and out may be the same buffer). Encrypting and decrypting are one.
  bool Apply(std::span<const uint8_t> in, std::span<uint8_t> out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether the legacy provider could be loaded.
bool Rc4Available();

}  // namespace support
