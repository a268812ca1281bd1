// Encrypting a file:
//   1. open the replacement of the destination
//   2. RC4 available (the legacy provider)
//   3. the key: from the password, or random and sealed into the header
//   4. encrypt and write chunk by chunk
//   5. commit the replacement
// Decrypting mirrors it; the plain text is only ever written into the
// caller's buffer within its capacity.
#include "support/file_crypt.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "platform/crypto/protect.h"
#include "platform/fd_io.h"
#include "platform/replacement_file.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/md5_buffer.h"
#include "support/rc4_cipher.h"
#include "support/utf16.h"

namespace {

using Rc4Key = std::array<uint8_t, RC4_KEY_BYTES>;

struct WipedKey {
  Rc4Key bytes{};
  ~WipedKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

// MD5 of the password's UTF-16LE bytes.
bool KeyFromPassword(const char* password, Rc4Key& key) {
  std::string units = Utf16LeBytes(Utf8ToUtf16(password));
  const bool ok = Md5OfBuffer(reinterpret_cast<const uint8_t*>(units.data()), static_cast<uint32_t>(units.size()),
                              key.data()) == 0;
  OPENSSL_cleanse(units.data(), units.size());
  return ok;
}

// What both directions begin with: RC4 at hand and, given a password, the
// key made from it. False (logged) when either fails.
bool PrepareKey(const char* password, WipedKey& key) {
  if (!support::Rc4Available()) {
    LogPrint(LOG_ERR, "Error during CryptAcquireContext [%d]\n", platform::ERROR_NOT_SUPPORTED);
    return false;
  }
  if (password != nullptr && !KeyFromPassword(password, key.bytes)) {
    LogPrint(LOG_ERR, "Error during CryptDeriveKey!\n");
    return false;
  }
  return true;
}

}  // namespace

int EncryptFileWithPassword(const uint8_t* data, int length, const std::string& path, const char* password) {
  if (length < 0 || (data == nullptr && length > 0)) return 0;

  platform::ReplacementFile file;
  if (file.Open(path) != 0) {
    LogPrint(LOG_ERR, "Error opening destination ciphertext file: %s\n", path);
    return 0;
  }
  WipedKey key;
  if (!PrepareKey(password, key)) return 0;
  if (password == nullptr) {
    if (RAND_bytes(key.bytes.data(), RC4_KEY_BYTES) != 1) {
      LogPrint(LOG_ERR, "Error during CryptGenKey\n");
      return 0;
    }
    std::vector<uint8_t> blob;
    if (const uint32_t err = platform::crypto::ProtectData(key.bytes, "", blob); err != 0) {
      LogPrint(LOG_ERR, "User public key is not available and may not exist\n");
      return 0;
    }
    const uint32_t n = static_cast<uint32_t>(blob.size());
    const uint8_t header[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                               static_cast<uint8_t>(n >> 24)};
    if (file.Write(std::span(header)) != 0 || file.Write(blob) != 0) {
      LogPrint(LOG_ERR, "Error writing header\n");
      return 0;
    }
  }
  support::Rc4Cipher rc4;
  if (!rc4.Init(key.bytes)) {
    LogPrint(LOG_ERR, "Error during CryptEncrypt [%d]\n", platform::ERROR_NOT_SUPPORTED);
    return 0;
  }

  std::array<uint8_t, FILE_CRYPT_CHUNK> chunk{};
  for (int done = 0; done < length;) {
    const size_t n = static_cast<size_t>(std::min(FILE_CRYPT_CHUNK, length - done));
    if (!rc4.Apply(std::span(data + done, n), std::span(chunk.data(), n))) {
      LogPrint(LOG_ERR, "Error during CryptEncrypt [%d]\n", platform::ERROR_GEN_FAILURE);
      return 0;
    }
    if (file.Write(std::span(chunk.data(), n)) != 0) {
      LogPrint(LOG_ERR, "Error writing ciphertext\n");
      return 0;
    }
    done += static_cast<int>(n);
  }
  if (file.Commit() != 0) {
    LogPrint(LOG_ERR, "Error closing destination file\n");
    return 0;
  }
  return 1;
}

int DecryptFileWithPassword(uint8_t* out, uint32_t* length, const std::string& path, const char* password) {
  if (length == nullptr || (out == nullptr && *length > 0)) return 0;

  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st{};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    LogPrint(LOG_ERR, "Error opening ciphertext file!\n");
    return 0;
  }
  WipedKey key;
  if (!PrepareKey(password, key)) return 0;
  if (password == nullptr) {
    uint8_t header[4];
    if (!platform::ReadFull(fd.get(), header)) {
      LogPrint(LOG_ERR, "Error reading file header\n");
      return 0;
    }
    const uint64_t blobSize = static_cast<uint64_t>(header[0]) | static_cast<uint64_t>(header[1]) << 8 |
                              static_cast<uint64_t>(header[2]) << 16 | static_cast<uint64_t>(header[3]) << 24;
    // The blob lies inside the file: a larger length is damage, not a
    // reason to allocate it.
    if (blobSize > static_cast<uint64_t>(st.st_size) - sizeof header) {
      LogPrint(LOG_ERR, "Error reading file header\n");
      return 0;
    }
    std::vector<uint8_t> blob(blobSize);
    if (!platform::ReadFull(fd.get(), blob)) {
      LogPrint(LOG_ERR, "Error reading file header\n");
      return 0;
    }
    std::vector<uint8_t> unsealed;
    const uint32_t err = platform::crypto::UnprotectData(blob, unsealed);
    if (err != 0 || unsealed.size() != RC4_KEY_BYTES) {
      LogPrint(LOG_ERR, "Error during CryptImportKey [%d]\n", err != 0 ? err : platform::ERROR_INVALID_DATA);
      OPENSSL_cleanse(unsealed.data(), unsealed.size());
      return 0;
    }
    std::copy(unsealed.begin(), unsealed.end(), key.bytes.begin());
    OPENSSL_cleanse(unsealed.data(), unsealed.size());
  }
  support::Rc4Cipher rc4;
  if (!rc4.Init(key.bytes)) {
    LogPrint(LOG_ERR, "Error during CryptDecrypt [%d]\n", platform::ERROR_NOT_SUPPORTED);
    return 0;
  }

  const uint32_t capacity = *length;
  uint32_t total = 0;
  std::array<uint8_t, FILE_CRYPT_CHUNK> chunk{};
  for (;;) {
    const ssize_t n = platform::ReadUpTo(fd.get(), chunk);
    if (n < 0) {
      LogPrint(LOG_ERR, "Error reading ciphertext!\n");
      return 0;
    }
    if (n == 0) break;
    const auto piece = std::span(chunk.data(), static_cast<size_t>(n));
    if (!rc4.Apply(piece, piece)) {
      LogPrint(LOG_ERR, "Error during CryptDecrypt [%d]\n", platform::ERROR_GEN_FAILURE);
      return 0;
    }
    if (static_cast<uint64_t>(total) + piece.size() > capacity) {
      OPENSSL_cleanse(chunk.data(), chunk.size());
      LogPrint(LOG_ERR, "Too small buffer!\n");
      return 0;
    }
    std::copy(piece.begin(), piece.end(), out + total);
    total += static_cast<uint32_t>(piece.size());
  }
  OPENSSL_cleanse(chunk.data(), chunk.size());
  *length = total;
  return 1;
}
