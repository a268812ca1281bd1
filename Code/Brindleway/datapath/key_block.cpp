#include "Brindleway/datapath/key_block.h"

#include <openssl/evp.h>

#include <memory>

#include "support/log.h"

namespace brindleway {

int DeriveKeyBlock(const std::array<uint8_t, kKeyMaterialLength>& material,
                   std::array<uint8_t, KEY_BLOCK_LENGTH>& block) {
  constexpr size_t kDigest = 20;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx) {
    LogPrint(LOG_ERR, "Alloc memory failed\n");
    return -1;
  }
  std::array<uint8_t, KEY_BLOCK_LENGTH> out{};
  for (size_t i = 0; i < KEY_BLOCK_LENGTH / kDigest; ++i) {
    // K1 digests the material; every later one digests all digests so far.
    const uint8_t* input = i == 0 ? material.data() : out.data();
    const size_t length = i == 0 ? material.size() : i * kDigest;
    unsigned int written = 0;
    if (EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), input, length) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), out.data() + i * kDigest, &written) != 1 || written != kDigest) {
      LogPrint(LOG_ERR, "Alloc memory failed\n");
      return -1;
    }
  }
  block = out;
  return 0;
}

}  // namespace brindleway
