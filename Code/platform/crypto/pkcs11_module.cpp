#include "platform/crypto/pkcs11_module.h"

#include <libp11.h>
#include <openssl/sha.h>

#include <algorithm>

#include "platform/crypto/crypto_error.h"
#include "platform/crypto/pkcs11_error.h"
#include "platform/crypto/token_key.h"

namespace platform::crypto {
namespace {

Pkcs11Module::PinDigest DigestOf(std::string_view pin) {
  Pkcs11Module::PinDigest digest{};
  SHA256(reinterpret_cast<const unsigned char*>(pin.data()), pin.size(), digest.data());
  return digest;
}

}  // namespace

void Pkcs11Module::CtxDeleter::operator()(PKCS11_ctx_st* ctx) const {
  PKCS11_CTX_unload(ctx);
  PKCS11_CTX_free(ctx);
}

std::shared_ptr<Pkcs11Module> Pkcs11Module::Load(const std::string& path, uint32_t& error) {
  error = NTE_PROVIDER_DLL_FAIL;
  std::shared_ptr<Pkcs11Module> module(new Pkcs11Module(path));
  const Pkcs11ErrorScope errors;
  PKCS11_CTX* ctx = PKCS11_CTX_new();
  if (ctx == nullptr) return nullptr;
  if (PKCS11_CTX_load(ctx, path.c_str()) != 0) {
    PKCS11_CTX_free(ctx);
    return nullptr;
  }
  module->ctx_.reset(ctx);
  error = 0;
  return module;
}

Pkcs11Module::~Pkcs11Module() { ReleaseSlots(); }

void Pkcs11Module::ReleaseSlots() {
  if (slots_ != nullptr) PKCS11_release_all_slots(ctx_.get(), slots_, slotCount_);
  slots_ = nullptr;
  slotCount_ = 0;
  loginDigest_.reset();
}

PKCS11_SLOT* Pkcs11Module::TokenSlot() {
  const auto find = [this]() -> PKCS11_SLOT* {
    for (unsigned int i = 0; i < slotCount_; ++i) {
      PKCS11_SLOT* slot = &slots_[i];
      if (slot->token != nullptr && slot->token->initialized) return slot;
    }
    return nullptr;
  };
  // The slots already known keep their sessions and login; only when none
  // holds a token is the list read again, for a key plugged in since.
  if (PKCS11_SLOT* slot = find()) return slot;
  ReleaseSlots();
  if (PKCS11_enumerate_slots(ctx_.get(), &slots_, &slotCount_) != 0) {
    slots_ = nullptr;
    slotCount_ = 0;
    return nullptr;
  }
  return find();
}

uint32_t Pkcs11Module::Login(std::string_view pin) {
  std::lock_guard lock(mutex_);
  const Pkcs11ErrorScope errors;
  PKCS11_SLOT* slot = TokenSlot();
  if (slot == nullptr) return SCARD_E_NO_SMARTCARD;
  const PinDigest digest = DigestOf(pin);
  int loggedIn = 0;
  if (PKCS11_is_logged_in(slot, 0, &loggedIn) == 0 && loggedIn) {
    // The token would take any PIN now without checking it: the PIN that
    // made this login is kept (as a digest) to tell, and any other PIN gets
    // a fresh login. The same PIN keeps the login and the keys in use.
    if (loginDigest_ && *loginDigest_ == digest) return 0;
    PKCS11_logout(slot);
  }
  loginDigest_.reset();
  const std::string text(pin);
  if (PKCS11_login(slot, 0, text.c_str()) != 0) return errors.Error(SCARD_W_WRONG_CHV);
  loginDigest_ = digest;
  return 0;
}

uint32_t Pkcs11Module::Certificates(std::vector<TokenCertificate>& out) {
  out.clear();
  std::lock_guard lock(mutex_);
  const Pkcs11ErrorScope errors;
  PKCS11_SLOT* slot = TokenSlot();
  if (slot == nullptr) return SCARD_E_NO_SMARTCARD;
  PKCS11_CERT* certs = nullptr;
  unsigned int count = 0;
  if (PKCS11_enumerate_certs(slot->token, &certs, &count) != 0) return errors.Error(NTE_FAIL);
  for (unsigned int i = 0; i < count; ++i) {
    if (certs[i].x509 == nullptr) continue;
    TokenCertificate entry;
    entry.cert = ShareX509(certs[i].x509);
    entry.id.assign(certs[i].id, certs[i].id + certs[i].id_len);
    if (certs[i].label != nullptr) entry.label = certs[i].label;
    out.push_back(std::move(entry));
  }
  return 0;
}

std::shared_ptr<TokenKey> Pkcs11Module::FindPrivateKey(const std::vector<uint8_t>& id,
                                                       uint32_t& error) {
  std::lock_guard lock(mutex_);
  EvpPkeyPtr pkey = FindKeyLocked(id, error);
  if (!pkey) return nullptr;
  return std::make_shared<TokenKey>(shared_from_this(), id, std::move(pkey));
}

EvpPkeyPtr Pkcs11Module::FindKeyLocked(const std::vector<uint8_t>& id, uint32_t& error) {
  const Pkcs11ErrorScope errors;
  PKCS11_SLOT* slot = TokenSlot();
  if (slot == nullptr) {
    error = SCARD_E_NO_SMARTCARD;
    return nullptr;
  }
  PKCS11_KEY* keys = nullptr;
  unsigned int count = 0;
  if (PKCS11_enumerate_keys(slot->token, &keys, &count) != 0) {
    error = errors.Error(NTE_BAD_KEYSET);
    return nullptr;
  }
  for (unsigned int i = 0; i < count; ++i) {
    PKCS11_KEY& key = keys[i];
    if (!std::equal(id.begin(), id.end(), key.id, key.id + key.id_len)) continue;
    if (PKCS11_get_key_type(&key) != EVP_PKEY_RSA) {
      error = NTE_BAD_ALGID;
      return nullptr;
    }
    EvpPkeyPtr pkey(PKCS11_get_private_key(&key));
    if (!pkey) {
      error = errors.Error(NTE_NO_KEY);
      return nullptr;
    }
    error = 0;
    return pkey;
  }
  error = NTE_BAD_KEYSET;
  return nullptr;
}

}  // namespace platform::crypto
