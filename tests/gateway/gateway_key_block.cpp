#include "gateway/gateway_key_block.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace vqgw {
namespace {

constexpr size_t kDigestBytes = 20;

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

KeyBlock DeriveGatewayKeyBlock(std::span<const uint8_t, kKeyMaterialBytes> keyMaterial) {
  static_assert(kKeyBlockBytes % kDigestBytes == 0);
  KeyBlock block{};
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::runtime_error("EVP_MD_CTX_new");
  for (size_t done = 0; done < kKeyBlockBytes; done += kDigestBytes) {
    // K1 hashes the material; every later digest hashes all digests so far.
    const uint8_t* input = done == 0 ? keyMaterial.data() : block.data();
    const size_t inputLength = done == 0 ? keyMaterial.size() : done;
    unsigned int written = 0;
    if (EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), input, inputLength) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), block.data() + done, &written) != 1 || written != kDigestBytes) {
      throw std::runtime_error("SHA-1 failed");
    }
  }
  return block;
}

}  // namespace vqgw
