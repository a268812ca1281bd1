#include "support/md5_buffer.h"

#include <openssl/evp.h>

#include <cstring>

int Md5OfBuffer(const uint8_t* data, uint32_t length, uint8_t out[MD5_DIGEST_BYTES]) {
  if (data == nullptr || out == nullptr) return -1;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data, length, digest, &size, EVP_md5(), nullptr) != 1 || size != MD5_DIGEST_BYTES) return -1;
  std::memcpy(out, digest, MD5_DIGEST_BYTES);
  return 0;
}
