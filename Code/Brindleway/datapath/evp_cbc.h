// CBC ciphers of OpenSSL's EVP layer as key schedules: one cipher context
// per key, keyed once; the IV comes with each call and costs one XOR of a
// block, not a new set-up of the context.
#pragma once

#include <cstdint>

#include "Brindleway/datapath/cipher_schedule.h"

namespace brindleway {

// cipherName: an EVP name ("AES-128-CBC", "DES-EDE3-CBC", "BF-CBC", ...),
// fetched from the ESP library context. A variable-length cipher
// (Blowfish) takes keyLength as its key length. Null when the cipher is
// unavailable or refuses the key.
CipherSchedulePtr MakeEvpCbcSchedule(const char* cipherName, const uint8_t* key, uint32_t keyLength, bool encrypt);

}  // namespace brindleway
