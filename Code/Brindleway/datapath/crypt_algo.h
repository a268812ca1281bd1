// The cipher table of the packet encapsulation: named CBC ciphers, each
// behind one calling form, in one list searched by name.
#pragma once

#include <cstdint>

#include "Brindleway/datapath/cipher_schedule.h"

namespace brindleway {

// Largest IV of the table (AES).
inline constexpr uint32_t CRYPT_MAX_IV_LENGTH = 16;

struct crypt_algo {
  const crypt_algo* next;
  const char* name;
  uint8_t ivlen;
  uint8_t blocksize;
  // CBC in place over len bytes (a multiple of blocksize) with a schedule
  // made by set_encrypt_key / set_decrypt_key; iv ends as the last
  // ciphertext block. 0, or -1 for a missing or wrong-direction schedule or
  // a failing primitive. The null ciphers do nothing and return 0.
  int (*encrypt)(uint8_t* iv, CipherSchedulePtr& schedule, uint8_t* data, uint32_t len);
  int (*decrypt)(uint8_t* iv, CipherSchedulePtr& schedule, uint8_t* data, uint32_t len);
  // 0, or nonzero for a key of the wrong length or one the primitive
  // refuses (or whose provider is not loaded); schedule is replaced.
  int (*set_encrypt_key)(const uint8_t* key, uint32_t keylen, CipherSchedulePtr& schedule);
  int (*set_decrypt_key)(const uint8_t* key, uint32_t keylen, CipherSchedulePtr& schedule);
};

// Head of the list: "null", "null8", "blowfish_cbc", "des_cbc", "aes_cbc",
// "des3_cbc", "cast_cbc", "idea_cbc".
const crypt_algo* crypt_algo_list();

// First entry whose name equals name exactly, or null.
const crypt_algo* find_crypt_algo(const char* name);

}  // namespace brindleway
