// IDEA in CBC mode, taken from libgcrypt: the system's OpenSSL has no IDEA.
#pragma once

#include <cstdint>

#include "Brindleway/datapath/cipher_schedule.h"

namespace brindleway {

inline constexpr uint32_t IDEA_KEY_LENGTH = 16;

// Null when the key is not 16 bytes or libgcrypt refuses it.
CipherSchedulePtr MakeIdeaCbcSchedule(const uint8_t* key, uint32_t keyLength, bool encrypt);

}  // namespace brindleway
