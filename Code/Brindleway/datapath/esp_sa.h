// Security associations of the data path. Every key exchange (first connect
// and each rekey) builds one pair: an inbound SA that checks and decrypts
// the gateway's datagrams and an outbound SA that encrypts and
// authenticates ours. The previous pair stays as the aging peer until the
// channel thread removes it, so datagrams in flight under the old keys are
// still accepted.
//
// Set-up, in order:
//  1. draw the 32-byte random key of the outbound SA's IVs (esp_iv.h);
//     when the random source fails the set-up fails: an IV is never made
//     from anything predictable;
//  2. pick the hash and the cipher by the negotiated ids (unknown ids fall
//     back to SHA-1 and 3DES);
//  3. cut the keys from the key block: the first HMAC and cipher keys key
//     the gateway's direction (our inbound SA), the next ones ours;
//  4. build the key schedules and HMAC states, and the outbound SA's IV
//     source (none for the NULL cipher, which has no IV);
//  5. under both locks: current pair -> aging slot, new pair -> current.
//
// Process-wide state. The SA lock serialises encapsulation (with it the
// outbound SA's sequence number, IV source and cipher context) and what
// the status reads; the inbound lock serialises decapsulation, so that
// packets can be decrypted on one thread while others are encrypted on
// another. Changing the peer slots (set-up, the aging peer's removal,
// clean-up) takes both at once, so either one is enough to read them. An
// inbound SA is only used under the inbound lock, an outbound SA only
// under the SA lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "Brindleway/datapath/auth_algo.h"
#include "Brindleway/datapath/cipher_schedule.h"
#include "Brindleway/datapath/crypt_algo.h"
#include "Brindleway/datapath/esp_iv.h"

namespace brindleway {

inline constexpr uint32_t SA_MAX_CRYPT_KEY_LENGTH = 32;

// IPv4 address in network order, as the socket layer holds it.
struct sa_address {
  uint32_t address = 0;
  uint16_t port = 0;
};

// The one ESP transform: carried directly in UDP, no outer IP header.
struct esp_transform {
  char name[20] = {};
  uint32_t header_length = 0;
};

struct sa_desc {
  sa_desc() = default;
  ~sa_desc();
  sa_desc(const sa_desc&) = delete;
  sa_desc& operator=(const sa_desc&) = delete;

  // All zero in an inbound SA; the outbound SA's destination is the
  // gateway, its source our local address.
  sa_address spare;
  sa_address dst;
  sa_address src;
  uint32_t spi = 0;
  // Pre-incremented: the first packet carries 1.
  uint32_t seq = 0;
  uint8_t enc_key[SA_MAX_CRYPT_KEY_LENGTH] = {};
  uint32_t enc_key_len = 0;
  CipherSchedulePtr schedule;
  const crypt_algo* crypt = nullptr;
  uint8_t auth_key[AUTH_MAX_KEY_LENGTH] = {};
  uint16_t auth_key_len = 0;
  HmacKey hmac;
  // Null when the hash is NULL (no ICV).
  const auth_algo* auth = nullptr;
  const esp_transform* xform = nullptr;
  // The outbound SA's IVs, keyed at set-up; null in an inbound SA and for
  // a cipher without IV.
  std::unique_ptr<EspIvSource> ivSource;
  // Creation time, seconds since 1970.
  int64_t stamps[3] = {};
};

struct sa_peer {
  sa_desc* inbound = nullptr;
  sa_desc* outbound = nullptr;
  const esp_transform* xform = nullptr;
};

struct EspSaState {
  std::mutex lock;
  std::mutex inboundLock;
  sa_peer current;
  sa_peer aging;
  // Owners of every descriptor since the channel opened (two per key
  // exchange); freed only by esp_sa_cleanup.
  std::vector<std::unique_ptr<sa_desc>> inboundList;
  std::vector<std::unique_ptr<sa_desc>> outboundList;
  esp_transform transform;
  // The last three SPIs sent, oldest first.
  uint32_t sentSpis[3] = {};
  // Ids the status reply shows; 0 without SAs.
  uint16_t cipherId = 0;
  uint16_t hashId = 0;
};

// The process-wide state. Its members other than the locks are read and
// written only with the locks held as above.
EspSaState& esp_sa_state();

// Where each key lies in the key block, for HMAC key length h and cipher
// key length k.
struct EspKeySlices {
  uint32_t inboundAuth;    // 0 .. h-1
  uint32_t inboundCrypt;   // h .. h+k-1
  uint32_t outboundAuth;   // h+k .. 2h+k-1
  uint32_t outboundCrypt;  // 2h+k .. 2h+2k-1
  uint32_t end;            // 2h+2k
};
EspKeySlices esp_key_slices(uint32_t authKeyLength, uint32_t cryptKeyLength);

// ownSpi: the SPI the gateway sends to (our inbound SA); gatewaySpi: the one
// we send to. keyBlock: KEY_BLOCK_LENGTH bytes. Addresses in network order.
// 0, or -1 (slots untouched) when an SA could not be built or the random
// source failed.
int esp_sa_setup(uint32_t ownSpi, uint32_t gatewaySpi, std::span<const uint8_t> keyBlock, uint16_t encryptionId,
                 uint16_t hashId, uint32_t localAddress, uint32_t gatewayAddress);

// The random source of esp_sa_setup: OpenSSL's RAND_priv_bytes (its DRBG
// for secret values), or for a test one that fails; 1 on success as
// OpenSSL's. Null puts RAND_priv_bytes back. Returns the source it
// replaced.
using EspRandomBytes = int (*)(unsigned char* buffer, int length);
EspRandomBytes esp_set_random_bytes(EspRandomBytes source);

// The current or the aging pair whose inbound SPI is spi (current first).
std::optional<sa_peer> find_peer_by_spi(uint32_t spi);
// The same for a caller that holds the SA lock or the inbound lock.
const sa_peer* find_peer_by_spi_locked(EspSaState& state, uint32_t spi);

// Empties the aging slot; its descriptors stay until esp_sa_cleanup.
void remove_aging_peer();

// Ends every SA; called at channel close after the data-path threads ended.
void esp_sa_cleanup();

// The negotiated ids for the status reply (after the fallbacks), 0 when no
// SA is set up.
uint16_t esp_cipher_id();
uint16_t esp_hash_id();

}  // namespace brindleway
