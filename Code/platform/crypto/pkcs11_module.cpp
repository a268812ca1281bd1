#include "platform/crypto/pkcs11_module.h"

#include <dlfcn.h>
#include <libp11.h>
#include <openssl/sha.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <string>
#include <vector>

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

// A PKCS#11 text field: fixed length, padded with blanks.
std::string FieldText(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::string FieldText(const unsigned char* field, size_t size) {
  return FieldText(std::string(reinterpret_cast<const char*>(field), size));
}

}  // namespace

struct Pkcs11Module::EntryPoints {
  void* library = nullptr;
  CK_FUNCTION_LIST* functions = nullptr;
};

void Pkcs11Module::EntryPointsDeleter::operator()(EntryPoints* entry) const {
  if (entry->library != nullptr) dlclose(entry->library);
  delete entry;
}

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
  // The module libp11 has loaded and initialised, not a second copy: its
  // slot list is the one libp11's slots stand for.
  if (void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    module->entry_.reset(new EntryPoints{library, nullptr});
    const auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
    if (getList == nullptr || getList(&module->entry_->functions) != CKR_OK) module->entry_.reset();
  }
  error = 0;
  return module;
}

Pkcs11Module::~Pkcs11Module() {
  ReleaseSlots();
  for (const SlotList& list : retired_) PKCS11_release_all_slots(ctx_.get(), list.slots, list.count);
}

void Pkcs11Module::ReleaseSlots() {
  if (slots_ != nullptr) PKCS11_release_all_slots(ctx_.get(), slots_, slotCount_);
  slots_ = nullptr;
  slotCount_ = 0;
  loginDigest_.reset();
}

PKCS11_SLOT* Pkcs11Module::KnownTokenSlot() const {
  for (unsigned int i = 0; i < slotCount_; ++i) {
    PKCS11_SLOT* slot = &slots_[i];
    if (slot->token != nullptr && slot->token->initialized) return slot;
  }
  return nullptr;
}

PKCS11_SLOT* Pkcs11Module::TokenSlot() {
  // The slots already known keep their sessions and login; only when none
  // holds a token is the list read again, for a key plugged in since.
  if (PKCS11_SLOT* slot = KnownTokenSlot()) return slot;
  ReleaseSlots();
  if (!SlotsReadable()) return nullptr;
  if (PKCS11_enumerate_slots(ctx_.get(), &slots_, &slotCount_) != 0) {
    slots_ = nullptr;
    slotCount_ = 0;
    return nullptr;
  }
  return KnownTokenSlot();
}

bool Pkcs11Module::SlotIds(bool tokenPresent, std::vector<CK_SLOT_ID>& ids) const {
  CK_FUNCTION_LIST* const f = entry_->functions;
  const CK_BBOOL present = tokenPresent ? CK_TRUE : CK_FALSE;
  for (;;) {
    CK_ULONG count = 0;
    if (f->C_GetSlotList(present, nullptr, &count) != CKR_OK) return false;
    ids.resize(count);
    const CK_RV rv = f->C_GetSlotList(present, ids.data(), &count);
    if (rv == CKR_BUFFER_TOO_SMALL) continue;  // a slot came meanwhile
    if (rv != CKR_OK) return false;
    ids.resize(count);
    return true;
  }
}

bool Pkcs11Module::SlotsReadable() const {
  if (!entry_) return true;
  CK_FUNCTION_LIST* const f = entry_->functions;
  std::vector<CK_SLOT_ID> ids;
  if (!SlotIds(false, ids)) return true;  // libp11 finds out for itself
  for (const CK_SLOT_ID id : ids) {
    CK_SLOT_INFO slot{};
    if (f->C_GetSlotInfo(id, &slot) != CKR_OK) return false;
    if ((slot.flags & CKF_TOKEN_PRESENT) == 0) continue;
    CK_TOKEN_INFO info{};
    const CK_RV rv = f->C_GetTokenInfo(id, &info);
    if (rv != CKR_OK && rv != CKR_TOKEN_NOT_PRESENT && rv != CKR_TOKEN_NOT_RECOGNIZED) return false;
  }
  return true;
}

bool Pkcs11Module::StillPresent(PKCS11_SLOT* slot) const {
  CK_FUNCTION_LIST* const f = entry_->functions;
  const CK_SLOT_ID id = PKCS11_get_slotid_from_slot(slot);
  // Slots with a token now; a module that cannot say keeps what it has.
  std::vector<CK_SLOT_ID> present;
  if (!SlotIds(true, present)) return true;
  if (std::find(present.begin(), present.end(), id) == present.end()) return false;
  CK_TOKEN_INFO info{};
  if (f->C_GetTokenInfo(id, &info) != CKR_OK) return false;
  if ((info.flags & CKF_TOKEN_INITIALIZED) == 0) return false;
  // Another token put into the same slot is not the one logged in to.
  const std::string known = slot->token->serialnr != nullptr ? slot->token->serialnr : "";
  return FieldText(info.serialNumber, sizeof info.serialNumber) == FieldText(known);
}

bool Pkcs11Module::CheckTokenPresent() {
  std::lock_guard lock(mutex_);
  if (!entry_) return true;
  PKCS11_SLOT* slot = KnownTokenSlot();
  if (slot == nullptr) return true;
  if (StillPresent(slot)) return true;
  // Kept, not released: a key handle found on them may still be held.
  retired_.push_back({slots_, slotCount_});
  slots_ = nullptr;
  slotCount_ = 0;
  loginDigest_.reset();
  return false;
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
