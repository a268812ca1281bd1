// The token keys are legacy RSA keys carrying an RSA_METHOD: OpenSSL 3
// marks that interface deprecated, yet it is the one that lets a key whose
// private half lives elsewhere sign in TLS without writing a whole
// provider. This file alone opts into it.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "support/cryptoapi.h"

#include <openssl/crypto.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/crypto/crypto_error.h"
#include "platform/crypto/token_key.h"
#include "platform/crypto/token_provider.h"
#include "platform/win32/win32_error.h"
#include "support/cryptoapi_error.h"

using platform::crypto::CertContextPtr;
using platform::crypto::CertStore;
using platform::crypto::EvpPkeyPtr;
using platform::crypto::RsaPadding;
using platform::crypto::TokenKey;
using platform::crypto::X509Ptr;
using platform::crypto::X509StorePtr;

namespace {

struct RsaDeleter {
  void operator()(RSA* rsa) const { RSA_free(rsa); }
};
using RsaPtr = std::unique_ptr<RSA, RsaDeleter>;

struct RsaMethodDeleter {
  void operator()(RSA_METHOD* method) const { RSA_meth_free(method); }
};

struct BnDeleter {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

struct X509SigDeleter {
  void operator()(X509_SIG* sig) const { X509_SIG_free(sig); }
};

// What the key's extra data holds: the store certificate and, once
// acquired, its key on the token. Owned by the RSA key (freed by finish).
class KeyBinding {
 public:
  explicit KeyBinding(CertContextPtr cert) : cert_(std::move(cert)) {}

  // The token key, acquired on first need: 0 or the failure's code.
  uint32_t Acquire(std::shared_ptr<TokenKey>& out) {
    std::lock_guard lock(mutex_);
    if (!key_) {
      const auto& info = cert_->keyProvInfo();
      if (!info) return platform::crypto::CRYPT_E_NO_KEY_PROPERTY;
      uint32_t error = 0;
      const auto provider = platform::crypto::TokenProvider::Open(info->providerName, error);
      if (!provider) return error;
      key_ = provider->AcquireKey(info->containerName, error);
      if (!key_) return error;
    }
    out = key_;
    return 0;
  }

  void Release() {
    std::lock_guard lock(mutex_);
    key_.reset();
  }

 private:
  CertContextPtr cert_;
  std::mutex mutex_;
  std::shared_ptr<TokenKey> key_;
};

int BindingIndex() {
  static const int index = RSA_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

KeyBinding* BindingOf(const RSA* rsa) {
  return static_cast<KeyBinding*>(RSA_get_ex_data(rsa, BindingIndex()));
}

// The key of rsa, with a failure put on the error queue.
std::shared_ptr<TokenKey> TokenKeyOf(const RSA* rsa) {
  KeyBinding* binding = BindingOf(rsa);
  if (binding == nullptr) {
    cryptoapi_error(platform::crypto::NTE_BAD_KEYSET,
                    CRYPTOAPI_F_CRYPT_ACQUIRE_CERTIFICATE_PRIVATE_KEY, __FILE__, __LINE__);
    return nullptr;
  }
  std::shared_ptr<TokenKey> key;
  if (uint32_t error = binding->Acquire(key); error != 0) {
    cryptoapi_error(error, CRYPTOAPI_F_CRYPT_ACQUIRE_CERTIFICATE_PRIVATE_KEY, __FILE__, __LINE__);
    return nullptr;
  }
  return key;
}

// out into to as a number of RSA_size bytes: shorter results get leading
// zeros, longer ones than the modulus are refused.
bool CopyModulusSized(const std::vector<uint8_t>& out, unsigned char* to, const RSA* rsa) {
  const size_t size = static_cast<size_t>(RSA_size(rsa));
  if (out.size() > size) return false;
  const size_t pad = size - out.size();
  std::memset(to, 0, pad);
  std::memcpy(to + pad, out.data(), out.size());
  return true;
}

std::optional<RsaPadding> TokenPadding(int padding) {
  if (padding == RSA_PKCS1_PADDING) return RsaPadding::Pkcs1;
  if (padding == RSA_NO_PADDING) return RsaPadding::None;
  return std::nullopt;
}

// One of the token key's private operations on flen bytes at from, for
// the RSA method: the result in out, or false with the failure on the
// error queue.
using TokenOperation = uint32_t (TokenKey::*)(std::span<const uint8_t>, RsaPadding, std::vector<uint8_t>&) const;
bool RunOnToken(TokenOperation operation, int flen, const unsigned char* from, RSA* rsa, int padding,
                std::vector<uint8_t>& out) {
  const std::optional<RsaPadding> tokenPadding = TokenPadding(padding);
  if (!tokenPadding || flen < 0) {
    ERR_raise(ERR_LIB_RSA, RSA_R_UNKNOWN_PADDING_TYPE);
    return false;
  }
  const std::shared_ptr<TokenKey> key = TokenKeyOf(rsa);
  if (!key) return false;
  if (uint32_t error = ((*key).*operation)({from, static_cast<size_t>(flen)}, *tokenPadding, out); error != 0) {
    cryptoapi_error(error, CRYPTOAPI_F_CRYPT_SIGN_HASH, __FILE__, __LINE__);
    return false;
  }
  return true;
}

int PrivateEncrypt(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
  std::vector<uint8_t> out;
  if (!RunOnToken(&TokenKey::PrivateEncrypt, flen, from, rsa, padding, out)) return -1;
  if (!CopyModulusSized(out, to, rsa)) {
    cryptoapi_error(platform::crypto::NTE_BAD_LEN, CRYPTOAPI_F_CRYPT_SIGN_HASH, __FILE__, __LINE__);
    return -1;
  }
  return RSA_size(rsa);
}

int PrivateDecrypt(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
  std::vector<uint8_t> out;
  if (!RunOnToken(&TokenKey::Decrypt, flen, from, rsa, padding, out)) return -1;
  // to holds RSA_size bytes.
  if (out.size() > static_cast<size_t>(RSA_size(rsa))) {
    cryptoapi_error(platform::crypto::NTE_BAD_LEN, CRYPTOAPI_F_CRYPT_SIGN_HASH, __FILE__, __LINE__);
    return -1;
  }
  std::copy(out.begin(), out.end(), to);
  return static_cast<int>(out.size());
}

// The digests a signature may be over, with their lengths.
struct SignDigest {
  int nid;
  unsigned int length;
};
constexpr SignDigest kSignDigests[] = {
    {NID_md2, 16},    {NID_md4, 16},    {NID_md5, 16},    {NID_sha1, 20},
    {NID_sha224, 28}, {NID_sha256, 32}, {NID_sha384, 48}, {NID_sha512, 64},
};
constexpr unsigned int kMd5Sha1Length = 36;

// What CKM_RSA_PKCS signs for a digest: its DigestInfo, or the bare
// MD5+SHA-1 pair of TLS 1.0 and 1.1. Nothing (with the error) for another
// digest or a digest of the wrong length.
std::optional<std::vector<uint8_t>> SignInput(int type, const unsigned char* m, unsigned int length,
                                              uint32_t& error, int& function) {
  if (type == NID_md5_sha1) {
    if (length != kMd5Sha1Length) {
      error = platform::crypto::NTE_BAD_LEN;
      function = CRYPTOAPI_F_CRYPT_SET_HASH_PARAM;
      return std::nullopt;
    }
    return std::vector<uint8_t>(m, m + length);
  }
  const SignDigest* digest = std::find_if(std::begin(kSignDigests), std::end(kSignDigests),
                                          [type](const SignDigest& d) { return d.nid == type; });
  if (digest == std::end(kSignDigests)) {
    error = platform::crypto::NTE_BAD_ALGID;
    function = CRYPTOAPI_F_CRYPT_CREATE_HASH;
    return std::nullopt;
  }
  if (digest->length != length) {
    error = platform::crypto::NTE_BAD_LEN;
    function = CRYPTOAPI_F_CRYPT_SET_HASH_PARAM;
    return std::nullopt;
  }
  error = platform::crypto::NTE_FAIL;
  function = CRYPTOAPI_F_CRYPT_CREATE_HASH;
  std::unique_ptr<X509_SIG, X509SigDeleter> info(X509_SIG_new());
  if (!info) return std::nullopt;
  X509_ALGOR* algorithm = nullptr;
  ASN1_OCTET_STRING* value = nullptr;
  X509_SIG_getm(info.get(), &algorithm, &value);
  if (X509_ALGOR_set0(algorithm, OBJ_nid2obj(type), V_ASN1_NULL, nullptr) != 1 ||
      ASN1_OCTET_STRING_set(value, m, static_cast<int>(length)) != 1)
    return std::nullopt;
  unsigned char* der = nullptr;
  const int derLength = i2d_X509_SIG(info.get(), &der);
  if (derLength <= 0) return std::nullopt;
  std::vector<uint8_t> encoded(der, der + derLength);
  OPENSSL_free(der);
  return encoded;
}

int Sign(int type, const unsigned char* m, unsigned int length, unsigned char* sigret,
         unsigned int* siglen, const RSA* rsa) {
  uint32_t error = 0;
  int function = 0;
  const std::optional<std::vector<uint8_t>> input = SignInput(type, m, length, error, function);
  if (!input) {
    cryptoapi_error(error, function, __FILE__, __LINE__);
    return 0;
  }
  const std::shared_ptr<TokenKey> key = TokenKeyOf(rsa);
  if (!key) return 0;
  std::vector<uint8_t> signature;
  if (error = key->PrivateEncrypt(*input, RsaPadding::Pkcs1, signature); error != 0) {
    cryptoapi_error(error, CRYPTOAPI_F_CRYPT_SIGN_HASH, __FILE__, __LINE__);
    return 0;
  }
  // sigret holds RSA_size bytes: a longer signature is refused.
  if (!CopyModulusSized(signature, sigret, rsa)) {
    cryptoapi_error(platform::crypto::NTE_BAD_LEN, CRYPTOAPI_F_CRYPT_SIGN_HASH, __FILE__, __LINE__);
    return 0;
  }
  *siglen = static_cast<unsigned int>(RSA_size(rsa));
  return 1;
}

int Verify(int type, const unsigned char* m, unsigned int length, const unsigned char* signature,
           unsigned int signatureLength, const RSA* rsa) {
  RsaPtr publicKey(RSAPublicKey_dup(rsa));
  if (!publicKey) return 0;
  return RSA_verify(type, m, length, signature, signatureLength, publicKey.get());
}

int Init(RSA* rsa) {
  KeyBinding* binding = BindingOf(rsa);
  if (binding == nullptr) return 0;
  // Without a PIN yet the token shows no key: the first private operation
  // tries again, so a failure here is no error of the caller's.
  ERR_set_mark();
  std::shared_ptr<TokenKey> key;
  const bool acquired = binding->Acquire(key) == 0;
  ERR_pop_to_mark();
  return acquired ? 1 : 0;
}

int Finish(RSA* rsa) {
  std::unique_ptr<KeyBinding> binding(BindingOf(rsa));
  if (binding) {
    binding->Release();
    RSA_set_ex_data(rsa, BindingIndex(), nullptr);
  }
  return 1;
}

std::unique_ptr<RSA_METHOD, RsaMethodDeleter> CreateMethod() {
  std::unique_ptr<RSA_METHOD, RsaMethodDeleter> method(
      RSA_meth_new(CRYPTOAPI_RSA_METHOD_NAME, RSA_METHOD_FLAG_NO_CHECK));
  if (!method) return nullptr;
  const RSA_METHOD* standard = RSA_PKCS1_OpenSSL();
  RSA_meth_set_pub_enc(method.get(), RSA_meth_get_pub_enc(standard));
  RSA_meth_set_pub_dec(method.get(), RSA_meth_get_pub_dec(standard));
  RSA_meth_set_priv_enc(method.get(), PrivateEncrypt);
  RSA_meth_set_priv_dec(method.get(), PrivateDecrypt);
  RSA_meth_set_bn_mod_exp(method.get(), RSA_meth_get_bn_mod_exp(standard));
  RSA_meth_set_init(method.get(), Init);
  RSA_meth_set_finish(method.get(), Finish);
  RSA_meth_set_sign(method.get(), Sign);
  RSA_meth_set_verify(method.get(), Verify);
  return method;
}

constexpr size_t kMaxThumbprintBytes = 255;

// Hex digit pairs, each optionally followed by blanks; nothing when the
// text is empty, holds anything else, splits a pair or runs past 255 bytes.
std::optional<std::vector<uint8_t>> ParseThumbprint(std::string_view text) {
  std::vector<uint8_t> bytes;
  size_t i = 0;
  while (i < text.size()) {
    if (i + 1 >= text.size()) return std::nullopt;
    const int high = OPENSSL_hexchar2int(static_cast<unsigned char>(text[i]));
    const int low = OPENSSL_hexchar2int(static_cast<unsigned char>(text[i + 1]));
    if (high < 0 || low < 0) return std::nullopt;
    if (bytes.size() == kMaxThumbprintBytes) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    i += 2;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  }
  if (bytes.empty()) return std::nullopt;
  return bytes;
}

}  // namespace

const RSA_METHOD* cryptoapi_rsa_method() {
  static const std::unique_ptr<RSA_METHOD, RsaMethodDeleter> method = CreateMethod();
  return method.get();
}

int cryptoapi_get_cert_key(const CertContextPtr& cert, X509Ptr& x509, EvpPkeyPtr& pkey) {
  if (!cert) return 0;
  const std::vector<uint8_t>& encoded = cert->encoded();
  const unsigned char* cursor = encoded.data();
  X509Ptr built(d2i_X509(nullptr, &cursor, static_cast<long>(encoded.size())));
  if (!built) return -1;
  EVP_PKEY* publicKey = X509_get0_pubkey(built.get());
  if (publicKey == nullptr || !EVP_PKEY_is_a(publicKey, "RSA")) return -1;
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  EVP_PKEY_get_bn_param(publicKey, OSSL_PKEY_PARAM_RSA_N, &n);
  EVP_PKEY_get_bn_param(publicKey, OSSL_PKEY_PARAM_RSA_E, &e);
  BnPtr modulus(n);
  BnPtr exponent(e);
  if (!modulus || !exponent) return -1;

  const RSA_METHOD* method = cryptoapi_rsa_method();
  RsaPtr rsa(RSA_new());
  if (!rsa || method == nullptr ||
      RSA_set0_key(rsa.get(), modulus.get(), exponent.get(), nullptr) != 1)
    return -1;
  modulus.release();
  exponent.release();
  auto binding = std::make_unique<KeyBinding>(cert);
  if (RSA_set_ex_data(rsa.get(), BindingIndex(), binding.get()) != 1) return -1;
  // From here the key owns the binding: the method's finish frees it.
  binding.release();
  // The private half lives on the token; the method signs and verifies
  // itself (OpenSSL 3 always takes a method's own sign and verify).
  RSA_set_flags(rsa.get(), RSA_FLAG_EXT_PKEY);
  RSA_set_method(rsa.get(), method);

  EvpPkeyPtr key(EVP_PKEY_new());
  if (!key || EVP_PKEY_assign_RSA(key.get(), rsa.get()) != 1) return -1;
  rsa.release();
  x509 = std::move(built);
  pkey = std::move(key);
  return 1;
}

int cryptoapi_free_cert_key(X509Ptr& x509, EvpPkeyPtr& pkey) {
  x509.reset();
  pkey.reset();
  return 0;
}

CertContextPtr cryptoapi_find_cert(std::string_view selector, const CertStore& store) {
  constexpr std::string_view kSubject = "SUBJ:";
  constexpr std::string_view kThumb = "THUMB:";
  if (selector.substr(0, kSubject.size()) == kSubject) {
    const std::string_view text = selector.substr(kSubject.size());
    for (const CertContextPtr& cert : store.certificates()) {
      if (cert->SubjectContains(text)) return cert;
    }
    return nullptr;
  }
  if (selector.substr(0, kThumb.size()) == kThumb) {
    const std::optional<std::vector<uint8_t>> thumbprint =
        ParseThumbprint(selector.substr(kThumb.size()));
    if (!thumbprint) return nullptr;
    for (const CertContextPtr& cert : store.certificates()) {
      const auto& hash = cert->sha1Hash();
      if (std::equal(hash.begin(), hash.end(), thumbprint->begin(), thumbprint->end())) return cert;
    }
  }
  return nullptr;
}

X509StorePtr cryptoapi_load_system_stores() {
  X509StorePtr trust(X509_STORE_new());
  if (!trust) return nullptr;
  for (const char* name : {"ROOT", "CA"}) {
    CertStore store;
    if (uint32_t error = CertStore::OpenSystem(name, store); error != platform::ERROR_SUCCESS) {
      cryptoapi_error(error, CRYPTOAPI_F_CERT_OPEN_SYSTEM_STORE, __FILE__, __LINE__);
      return nullptr;
    }
    for (const CertContextPtr& cert : store.certificates())
      X509_STORE_add_cert(trust.get(), cert->x509());
    for (const auto& crl : store.crls()) X509_STORE_add_crl(trust.get(), crl.get());
  }
  return trust;
}

uint32_t cryptoapi_nid_to_alg(int nid) {
  switch (nid) {
    case NID_md2: return CALG_MD2;
    case NID_md4: return CALG_MD4;
    case NID_md5: return CALG_MD5;
    case NID_sha:
    case NID_sha1: return CALG_SHA1;
    case NID_sha256: return CALG_SHA_256;
    case NID_sha384: return CALG_SHA_384;
    case NID_sha512: return CALG_SHA_512;
    default: return CALG_SSL3_SHAMD5;
  }
}
