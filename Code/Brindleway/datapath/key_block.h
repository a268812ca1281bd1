// The key block of the data path: ten chained SHA-1 digests of the client's
// 48 bytes of key material. K1 = SHA-1(material), Ki = SHA-1(K1 || ... ||
// Ki-1); the block is K1 || ... || K10 and the SAs cut their keys from it.
#pragma once

#include <array>
#include <cstdint>

#include "Brindleway/common/constants.h"

namespace brindleway {

inline constexpr size_t kKeyMaterialLength = 48;

// 0, or -1 when no digest context could be had.
int DeriveKeyBlock(const std::array<uint8_t, kKeyMaterialLength>& material,
                   std::array<uint8_t, KEY_BLOCK_LENGTH>& block);

}  // namespace brindleway
