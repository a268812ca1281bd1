#include "Brindleway/datapath/crypt_algo.h"

#include "Brindleway/datapath/algo_list.h"
#include "Brindleway/datapath/evp_cbc.h"
#include "Brindleway/datapath/idea_cbc.h"

namespace brindleway {
namespace {

// Blowfish keys beyond this many bytes are not used by the cipher.
constexpr uint32_t kBlowfishMaxKey = 72;

int NullCbc(uint8_t*, CipherSchedulePtr&, uint8_t*, uint32_t) { return 0; }
int NullKey(const uint8_t*, uint32_t, CipherSchedulePtr& schedule) {
  schedule.reset();
  return 0;
}

int EncryptCbc(uint8_t* iv, CipherSchedulePtr& schedule, uint8_t* data, uint32_t len) {
  if (schedule == nullptr || !schedule->Encrypts()) return -1;
  return schedule->Cbc(iv, data, len);
}
int DecryptCbc(uint8_t* iv, CipherSchedulePtr& schedule, uint8_t* data, uint32_t len) {
  if (schedule == nullptr || schedule->Encrypts()) return -1;
  return schedule->Cbc(iv, data, len);
}

int SetSchedule(CipherSchedulePtr made, CipherSchedulePtr& schedule) {
  schedule = std::move(made);
  return schedule != nullptr ? 0 : -1;
}

template <bool Encrypt>
int BlowfishKey(const uint8_t* key, uint32_t keylen, CipherSchedulePtr& schedule) {
  // An empty key would leave the schedule reading outside it; longer keys
  // than the cipher takes are cut as its own key set-up cuts them.
  if (keylen == 0) {
    schedule.reset();
    return -1;
  }
  if (keylen > kBlowfishMaxKey) keylen = kBlowfishMaxKey;
  return SetSchedule(MakeEvpCbcSchedule("BF-CBC", key, keylen, Encrypt), schedule);
}

// A cipher of one key length, by its EVP name.
template <const char* EvpName, uint32_t KeyLength, bool Encrypt>
int FixedLengthKey(const uint8_t* key, uint32_t keylen, CipherSchedulePtr& schedule) {
  schedule.reset();
  if (keylen != KeyLength) return -1;
  return SetSchedule(MakeEvpCbcSchedule(EvpName, key, keylen, Encrypt), schedule);
}

constexpr char kDesCbc[] = "DES-CBC";
// EDE with three independent keys: bytes 0-7, 8-15 and 16-23 in that order.
constexpr char kDes3Cbc[] = "DES-EDE3-CBC";
constexpr char kCastCbc[] = "CAST5-CBC";

template <bool Encrypt>
int AesKey(const uint8_t* key, uint32_t keylen, CipherSchedulePtr& schedule) {
  schedule.reset();
  const char* name = keylen == 16 ? "AES-128-CBC" : keylen == 24 ? "AES-192-CBC" : keylen == 32 ? "AES-256-CBC" : nullptr;
  if (name == nullptr) return -1;
  return SetSchedule(MakeEvpCbcSchedule(name, key, keylen, Encrypt), schedule);
}

template <bool Encrypt>
int IdeaKey(const uint8_t* key, uint32_t keylen, CipherSchedulePtr& schedule) {
  schedule.reset();
  if (keylen != IDEA_KEY_LENGTH) return -1;
  return SetSchedule(MakeIdeaCbcSchedule(key, keylen, Encrypt), schedule);
}

constexpr crypt_algo kIdea{nullptr, "idea_cbc", 8, 8, EncryptCbc, DecryptCbc, IdeaKey<true>, IdeaKey<false>};
constexpr crypt_algo kCast{&kIdea, "cast_cbc", 8, 8, EncryptCbc, DecryptCbc,
                           FixedLengthKey<kCastCbc, 16, true>, FixedLengthKey<kCastCbc, 16, false>};
constexpr crypt_algo kDes3{&kCast, "des3_cbc", 8, 8, EncryptCbc, DecryptCbc,
                           FixedLengthKey<kDes3Cbc, 24, true>, FixedLengthKey<kDes3Cbc, 24, false>};
constexpr crypt_algo kAes{&kDes3, "aes_cbc", 16, 16, EncryptCbc, DecryptCbc, AesKey<true>, AesKey<false>};
constexpr crypt_algo kDes{&kAes, "des_cbc", 8, 8, EncryptCbc, DecryptCbc,
                          FixedLengthKey<kDesCbc, 8, true>, FixedLengthKey<kDesCbc, 8, false>};
constexpr crypt_algo kBlowfish{&kDes, "blowfish_cbc", 8, 8, EncryptCbc, DecryptCbc, BlowfishKey<true>, BlowfishKey<false>};
constexpr crypt_algo kNull8{&kBlowfish, "null8", 8, 8, NullCbc, NullCbc, NullKey, NullKey};
constexpr crypt_algo kNull{&kNull8, "null", 0, 1, NullCbc, NullCbc, NullKey, NullKey};

}  // namespace

const crypt_algo* crypt_algo_list() { return &kNull; }

const crypt_algo* find_crypt_algo(const char* name) { return FindAlgoByName(crypt_algo_list(), name); }

}  // namespace brindleway
