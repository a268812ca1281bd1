#include "Brindleway/datapath/esp_sa.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <new>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "support/log.h"

namespace brindleway {
namespace {

struct HashChoice {
  const char* entry;  // null: no HMAC
  uint16_t id;
  const char* logLine;
};

HashChoice ChooseHash(uint16_t hashId) {
  switch (hashId) {
    case ESP_HASH_MD5: return {"hmac-md5-96", hashId, "Hash algorithm: MD5\n"};
    case ESP_HASH_SHA1: return {"hmac-sha1-96", hashId, "Hash algorithm: SHA-1\n"};
    case ESP_HASH_SHA256: return {"hmac-sha256-96", hashId, "Hash algorithm: SHA-256\n"};
    case ESP_HASH_SHA384: return {"hmac-sha384-96", hashId, "Hash algorithm: SHA-384\n"};
    case ESP_HASH_SHA512: return {"hmac-sha512-96", hashId, "Hash algorithm: SHA-512\n"};
    case ESP_HASH_NULL: return {nullptr, hashId, "Hash algorithm: NULL\n"};
    default: return {"hmac-sha1-96", ESP_HASH_SHA1, "Default hash algorithm: SHA-1\n"};
  }
}

struct CipherChoice {
  const char* entry;
  uint32_t keyLength;
  uint16_t id;
  const char* logLine;
};

CipherChoice ChooseCipher(uint16_t encryptionId) {
  switch (encryptionId) {
    case ESP_ENC_DES: return {"des_cbc", 8, encryptionId, "Encryption algorithm: DES\n"};
    case ESP_ENC_3DES: return {"des3_cbc", 24, encryptionId, "Encryption algorithm: 3DES\n"};
    case ESP_ENC_NULL: return {"null", 0, encryptionId, "Encryption algorithm: NULL\n"};
    case ESP_ENC_AES: return {"aes_cbc", 16, encryptionId, "Encryption algorithm: AES\n"};
    case ESP_ENC_AES192: return {"aes_cbc", 24, encryptionId, "Encryption algorithm: AES192\n"};
    case ESP_ENC_AES256: return {"aes_cbc", 32, encryptionId, "Encryption algorithm: AES256\n"};
    default: return {"des3_cbc", 24, ESP_ENC_3DES, "Default encryption algorithm: 3DES\n"};
  }
}

// Fills the algorithm, keys and schedules of one SA. False when a key is
// refused.
bool KeySa(sa_desc& sa, const crypt_algo* crypt, const auth_algo* auth, const uint8_t* authKey, uint16_t authKeyLength,
           const uint8_t* cryptKey, uint32_t cryptKeyLength, bool outbound) {
  sa.crypt = crypt;
  sa.auth = auth;
  sa.auth_key_len = authKeyLength;
  std::memcpy(sa.auth_key, authKey, authKeyLength);
  sa.enc_key_len = cryptKeyLength;
  std::memcpy(sa.enc_key, cryptKey, cryptKeyLength);
  const int keyResult = outbound ? crypt->set_encrypt_key(sa.enc_key, sa.enc_key_len, sa.schedule)
                                 : crypt->set_decrypt_key(sa.enc_key, sa.enc_key_len, sa.schedule);
  if (keyResult != 0) return false;
  return auth == nullptr || sa.hmac.Init(auth, sa.auth_key, sa.auth_key_len) == 0;
}

void SetStamps(sa_desc& sa) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  for (int64_t& stamp : sa.stamps) stamp = now;
}

std::atomic<EspRandomBytes> g_randomBytes{&RAND_priv_bytes};

// The key of the outbound SA's IV source, wiped when it goes.
struct IvKey {
  uint8_t bytes[ESP_IV_KEY_LENGTH] = {};
  ~IvKey() { OPENSSL_cleanse(bytes, sizeof bytes); }
  bool Draw() { return g_randomBytes.load()(bytes, static_cast<int>(sizeof bytes)) == 1; }
};

}  // namespace

EspRandomBytes esp_set_random_bytes(EspRandomBytes source) {
  return g_randomBytes.exchange(source != nullptr ? source : &RAND_priv_bytes);
}

sa_desc::~sa_desc() {
  OPENSSL_cleanse(enc_key, sizeof enc_key);
  OPENSSL_cleanse(auth_key, sizeof auth_key);
}

EspSaState& esp_sa_state() {
  static EspSaState state;
  return state;
}

EspKeySlices esp_key_slices(uint32_t h, uint32_t k) {
  return EspKeySlices{0, h, h + k, 2 * h + k, 2 * h + 2 * k};
}

int esp_sa_setup(uint32_t ownSpi, uint32_t gatewaySpi, std::span<const uint8_t> keyBlock, uint16_t encryptionId,
                 uint16_t hashId, uint32_t localAddress, uint32_t gatewayAddress) {
  // Drawn first, whatever the cipher: a failing random source fails every
  // set-up, not only those whose IVs would depend on it.
  IvKey ivKey;
  if (!ivKey.Draw()) {
    LogPrint(LOG_ERR, "Encap ESP new failed\n");
    return -1;
  }

  std::unique_ptr<sa_desc> inbound(new (std::nothrow) sa_desc);
  std::unique_ptr<sa_desc> outbound(new (std::nothrow) sa_desc);
  if (inbound == nullptr || outbound == nullptr) {
    LogPrint(LOG_ERR, "malloc sa_desc fails");
    return -1;
  }
  EspSaState& state = esp_sa_state();
  inbound->spi = ownSpi;
  outbound->spi = gatewaySpi;
  inbound->xform = &state.transform;
  outbound->xform = &state.transform;

  const HashChoice hash = ChooseHash(hashId);
  const auth_algo* auth = hash.entry != nullptr ? find_auth_algo(hash.entry) : nullptr;
  DebugTrace(TRACE_SETUP, hash.logLine);
  const uint16_t authKeyLength = auth != nullptr ? auth->digest_length : 0;

  const CipherChoice cipher = ChooseCipher(encryptionId);
  const crypt_algo* crypt = find_crypt_algo(cipher.entry);
  DebugTrace(TRACE_SETUP, cipher.logLine);

  const EspKeySlices slices = esp_key_slices(authKeyLength, cipher.keyLength);
  if (crypt == nullptr || keyBlock.size() < KEY_BLOCK_LENGTH || slices.end > keyBlock.size()) {
    LogPrint(LOG_ERR, "Invalid crypt key\n");
    return -1;
  }
  const uint8_t* block = keyBlock.data();
  const bool keyed = KeySa(*inbound, crypt, auth, block + slices.inboundAuth, authKeyLength,
                           block + slices.inboundCrypt, cipher.keyLength, false) &&
                     KeySa(*outbound, crypt, auth, block + slices.outboundAuth, authKeyLength,
                           block + slices.outboundCrypt, cipher.keyLength, true);
  if (!keyed) {
    LogPrint(LOG_ERR, "Invalid crypt key\n");
    return -1;
  }
  if (crypt->ivlen > 0) {
    outbound->ivSource = EspIvSource::Make(ivKey.bytes);
    if (outbound->ivSource == nullptr) {
      LogPrint(LOG_ERR, "Encap ESP new failed\n");
      return -1;
    }
  }
  SetStamps(*inbound);
  SetStamps(*outbound);
  outbound->dst = sa_address{gatewayAddress, ESP_SA_PORT};
  outbound->src = sa_address{localAddress, ESP_SA_PORT};

  std::scoped_lock guard(state.lock, state.inboundLock);
  std::strcpy(state.transform.name, "ipesp");
  state.transform.header_length = ESP_HEADER_LENGTH;
  state.aging = state.current;
  state.current = sa_peer{inbound.get(), outbound.get(), &state.transform};
  state.inboundList.push_back(std::move(inbound));
  state.outboundList.push_back(std::move(outbound));
  state.cipherId = cipher.id;
  state.hashId = hash.id;
  return 0;
}

const sa_peer* find_peer_by_spi_locked(EspSaState& state, uint32_t spi) {
  if (state.current.inbound != nullptr && state.current.inbound->spi == spi) return &state.current;
  if (state.aging.inbound != nullptr && state.aging.inbound->spi == spi) return &state.aging;
  return nullptr;
}

std::optional<sa_peer> find_peer_by_spi(uint32_t spi) {
  EspSaState& state = esp_sa_state();
  std::lock_guard<std::mutex> guard(state.lock);
  const sa_peer* peer = find_peer_by_spi_locked(state, spi);
  if (peer == nullptr) return std::nullopt;
  return *peer;
}

void remove_aging_peer() {
  EspSaState& state = esp_sa_state();
  std::scoped_lock guard(state.lock, state.inboundLock);
  // The timer may fire after a close already emptied the slots.
  if (state.aging.inbound == nullptr || state.aging.outbound == nullptr) return;
  LogPrint(LOG_DEBUG, "remove_aging_peer............\n");
  LogPrint(LOG_DEBUG, "local spi = %ld, remote spi = %d  ............\n", static_cast<int32_t>(state.aging.inbound->spi),
           static_cast<int32_t>(state.aging.outbound->spi));
  state.aging = sa_peer{};
}

void esp_sa_cleanup() {
  EspSaState& state = esp_sa_state();
  std::scoped_lock guard(state.lock, state.inboundLock);
  state.cipherId = 0;
  state.hashId = 0;
  state.transform = esp_transform{};
  std::memset(state.sentSpis, 0, sizeof state.sentSpis);
  state.current = sa_peer{};
  state.aging = sa_peer{};
  state.inboundList.clear();
  state.outboundList.clear();
}

uint16_t esp_cipher_id() {
  EspSaState& state = esp_sa_state();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.cipherId;
}

uint16_t esp_hash_id() {
  EspSaState& state = esp_sa_state();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.hashId;
}

}  // namespace brindleway
