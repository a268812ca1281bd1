// The HMAC table of the packet encapsulation: named hash functions in one
// list searched by name, and esp_hmac, the HMAC (RFC 2104) cut to the
// table's ICV length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace brindleway {

// Longest HMAC key the encapsulation takes (the longest digest).
inline constexpr uint32_t AUTH_MAX_KEY_LENGTH = 64;
inline constexpr uint32_t AUTH_MAX_DIGEST_LENGTH = 64;
inline constexpr uint32_t AUTH_MAX_ICV_LENGTH = 32;

struct auth_algo {
  const auth_algo* next;
  const char* name;
  uint8_t digest_length;
  // HMAC block: 128 for SHA-384 and SHA-512, else 64.
  uint8_t block_size;
  // Bytes of the HMAC carried on the wire.
  uint8_t icv_length;
  // EVP digest name; null for "hmac-null", which hashes nothing.
  const char* digest_name;
};

// Head of the list: "hmac-null", "hmac-rmd160-96", "hmac-sha512-96",
// "hmac-sha384-96", "hmac-sha256-96", "hmac-sha1-96", "hmac-md5-96".
const auth_algo* auth_algo_list();

// First entry whose name equals name exactly, or null.
const auth_algo* find_auth_algo(const char* name);

// One HMAC key with its inner and outer hash states taken once, so that a
// packet costs two state copies and the hashing of its own bytes. Not
// thread-safe: its owner serialises the calls.
class HmacKey {
 public:
  HmacKey();
  ~HmacKey();
  HmacKey(const HmacKey&) = delete;
  HmacKey& operator=(const HmacKey&) = delete;

  // 0, or -1 for a key longer than AUTH_MAX_KEY_LENGTH or a digest the
  // library can't give. "hmac-null" takes any key and hashes nothing.
  int Init(const auth_algo* algo, const uint8_t* key, uint32_t keyLength);
  void Clear();
  const auth_algo* Algo() const { return m_algo; }

  // Full digest (digest_length bytes) into out. 0 or -1.
  int Compute(const uint8_t* data, size_t length, uint8_t* out);

 private:
  struct States;
  const auth_algo* m_algo = nullptr;
  std::unique_ptr<States> m_states;
};

inline constexpr int ESP_HMAC_CHECK = 0;
inline constexpr int ESP_HMAC_WRITE = 1;

// Mode ESP_HMAC_CHECK compares the ICV in icv with the computed one (in
// constant time): 0 when equal, nonzero otherwise. Mode ESP_HMAC_WRITE
// writes the ICV into icv and returns 0. Nonzero too when the HMAC can't be
// computed (a key of more than 64 bytes).
int esp_hmac(const auth_algo* algo, const uint8_t* data, size_t length, uint8_t* icv, int mode, const uint8_t* key,
             uint16_t keyLength);
// The same with a key whose states were taken already.
int esp_hmac(HmacKey& key, const uint8_t* data, size_t length, uint8_t* icv, int mode);

}  // namespace brindleway
