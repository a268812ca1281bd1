// Data protection for the current user (what the system used the Windows
// data-protection API for): a blob that only the same user can open again.
//
// The secret is sealed with AES-256-GCM under a 32-byte key that belongs to
// the user: the file ProtectKeyPath() (mode 0600), made on first use. The
// description travels in the blob in clear and is bound to it as associated
// data. Another user's blob, one made under a replaced key, or a blob
// changed in any byte does not open.
//
// Blob layout (all lengths little-endian):
//   0   4   magic "VQP1"
//   4   4   description length D
//   8   D   description (UTF-8)
//   8+D 12  nonce
//   20+D n  ciphertext, as long as the data
//   end 16  tag
// The associated data is the 8 + D bytes in front of the nonce.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::crypto {

// <user application data>/tarnwickgate/protect.key of the user the calling
// thread acts for.
std::string ProtectKeyPath();

// Seals data (empty is allowed) for the current user. 0 with blob set, or a
// Win32 code: 5 when the key file cannot be made or used (another owner,
// other rights, not a file of 32 bytes), 8 when OpenSSL fails.
uint32_t ProtectData(std::span<const uint8_t> data, std::string_view description,
                     std::vector<uint8_t>& blob);

// Opens a blob of ProtectData. 0 with data (and description, when wanted)
// set; 13 (ERROR_INVALID_DATA) for a blob that is malformed, changed, or
// sealed under another key (also when the user has no key file yet: none is
// made here, nothing could open anyway); 5 as above for an unusable key file.
uint32_t UnprotectData(std::span<const uint8_t> blob, std::vector<uint8_t>& data,
                       std::string* description = nullptr);

}  // namespace platform::crypto
