// The gateway's own derivation of the 200-byte key block from the 48 bytes
// of key material the client sent, written from the derivation rule alone:
//   K1 = SHA-1(material); Ki = SHA-1(K1 || ... || Ki-1) for i = 2..10;
//   block = K1 || ... || K10.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vqgw {

inline constexpr size_t kKeyMaterialBytes = 48;
inline constexpr size_t kKeyBlockBytes = 200;
using KeyBlock = std::array<uint8_t, kKeyBlockBytes>;

// Throws std::runtime_error when OpenSSL fails.
KeyBlock DeriveGatewayKeyBlock(std::span<const uint8_t, kKeyMaterialBytes> keyMaterial);

}  // namespace vqgw
