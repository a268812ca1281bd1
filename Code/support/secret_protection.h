// Saved secrets (passwords and USB-key PINs of saved connections): sealed
// for the current user by the data protection layer and kept as base64 text
// (padding, CR LF after every 76 characters).
//
// The secret is sealed as its UTF-8 bytes, so every character comes back as
// it went in, whatever the code pages are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The description sealed with every secret.
inline constexpr char kSecretDescription[] = "Fenn";
// At most this many bytes of secret, of base64 text, and of decoded blob.
// The text's limit binds first: sealing adds a fixed overhead and base64 a
// third, so a secret of more than about 720 bytes is refused (the secrets
// kept are passwords of at most 127).
inline constexpr size_t kSecretMaxBytes = 1023;
inline constexpr size_t kSecretTextMaxChars = 1023;
inline constexpr size_t kSecretBlobMaxBytes = 1023;

// Seals plain and stores the base64 text in out. False (out unchanged) when
// plain or the text would exceed its limit or the sealing fails.
bool ProtectPassword(std::string_view plain, std::string& out);

// The reverse: false (out unchanged) for text that is over its limits, does
// not decode to a blob of this user, or was changed.
bool UnprotectPassword(std::string_view text, std::string& out);

// The same, run only when both pointers are set and *in is not empty; false
// without running (out untouched) otherwise.
bool ProtectPasswordIfSet(const std::string* in, std::string* out);
bool UnprotectPasswordIfSet(const std::string* in, std::string* out);
