// Files kept encrypted on disk (the tunnel service's stored gateway
// certificate) with a 128-bit RC4 key.
//
// With a password the key is the MD5 of the password's UTF-16LE bytes
// (no terminator) and the file is the RC4 ciphertext alone, as long as the
// data. Without one the key is random and the file carries it, sealed for
// the current user by the data protection layer:
//   0  4  key blob length N (little-endian)
//   4  N  key blob
//   4+N   RC4 ciphertext
//
// A file is replaced whole (temporary file, sync, rename): a failed write
// leaves the previous file as it was. Failures are logged at LOG_ERR.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int RC4_KEY_BYTES = 16;
// The pieces the data is encrypted and decrypted in.
inline constexpr int FILE_CRYPT_CHUNK = 1000;

// Writes length bytes of data encrypted to path. password is UTF-8 text, or
// null for a random key sealed for the current user. 1 success, 0 failure.
int EncryptFileWithPassword(const uint8_t* data, int length, const std::string& path, const char* password);

// Decrypts the file at path into out. *length holds the capacity of out on
// entry and the plain length after success. 1 success, 0 failure (also
// when the data would not fit: "Too small buffer!").
int DecryptFileWithPassword(uint8_t* out, uint32_t* length, const std::string& path, const char* password);
