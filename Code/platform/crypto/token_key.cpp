#include "platform/crypto/token_key.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <mutex>

#include "platform/crypto/crypto_error.h"
#include "platform/crypto/pkcs11_error.h"
#include "platform/crypto/pkcs11_module.h"

namespace platform::crypto {
namespace {

struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

int OpenSslPadding(RsaPadding padding) {
  return padding == RsaPadding::Pkcs1 ? RSA_PKCS1_PADDING : RSA_NO_PADDING;
}

// Size() - 11 bytes of data at most for PKCS #1 type 1 or 2 padding,
// exactly Size() bytes for the raw operation.
bool InputFits(size_t length, size_t keySize, RsaPadding padding) {
  if (padding == RsaPadding::None) return length == keySize;
  return length > 0 && length + 11 <= keySize;
}

// One RSA operation with the token's key: init and run are EVP_PKEY_sign_init and EVP_PKEY_sign, or
// their decrypt twins; refused is the code when the token turns it down.
using PkeyInit = int (*)(EVP_PKEY_CTX*);
using PkeyRun = int (*)(EVP_PKEY_CTX*, unsigned char*, size_t*, const unsigned char*, size_t);
uint32_t RunRsa(EVP_PKEY* key, PkeyInit init, PkeyRun run, uint32_t refused, std::span<const uint8_t> input,
                RsaPadding padding, size_t keySize, std::vector<uint8_t>& out) {
  const Pkcs11ErrorScope errors;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), OpenSslPadding(padding)) <= 0)
    return NTE_FAIL;
  std::vector<uint8_t> result(keySize, 0);
  size_t length = result.size();
  if (run(ctx.get(), result.data(), &length, input.data(), input.size()) <= 0) return errors.Error(refused);
  result.resize(length);
  out = std::move(result);
  return 0;
}

}  // namespace

TokenKey::TokenKey(std::shared_ptr<Pkcs11Module> module, std::vector<uint8_t> id, EvpPkeyPtr key)
    : module_(std::move(module)), id_(std::move(id)), key_(std::move(key)) {
  const int size = EVP_PKEY_get_size(key_.get());
  size_ = size > 0 ? static_cast<size_t>(size) : 0;
}

template <typename Op>
uint32_t TokenKey::WithKey(Op op) const {
  const uint32_t error = op(key_.get());
  if (error != NTE_NO_KEY) return error;
  uint32_t findError = 0;
  EvpPkeyPtr found = module_->FindKeyLocked(id_, findError);
  if (!found) return error;
  key_ = std::move(found);
  return op(key_.get());
}

TokenKey::~TokenKey() {
  std::lock_guard lock(module_->mutex_);
  key_.reset();
}

size_t TokenKey::Size() const { return size_; }

uint32_t TokenKey::PrivateEncrypt(std::span<const uint8_t> data, RsaPadding padding,
                                  std::vector<uint8_t>& out) const {
  out.clear();
  const size_t keySize = Size();
  if (!InputFits(data.size(), keySize, padding)) return NTE_BAD_LEN;
  std::lock_guard lock(module_->mutex_);
  return WithKey([&](EVP_PKEY* key) {
    return RunRsa(key, EVP_PKEY_sign_init, EVP_PKEY_sign, NTE_FAIL, data, padding, keySize, out);
  });
}

uint32_t TokenKey::Decrypt(std::span<const uint8_t> input, RsaPadding padding,
                           std::vector<uint8_t>& out) const {
  out.clear();
  const size_t keySize = Size();
  if (input.size() != keySize) return NTE_BAD_LEN;
  std::lock_guard lock(module_->mutex_);
  return WithKey([&](EVP_PKEY* key) {
    return RunRsa(key, EVP_PKEY_decrypt_init, EVP_PKEY_decrypt, NTE_BAD_DATA, input, padding, keySize, out);
  });
}

}  // namespace platform::crypto
