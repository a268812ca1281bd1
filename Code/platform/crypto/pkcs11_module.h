// One PKCS#11 module loaded through libp11: its token, the login on it, the
// certificates it holds and its private keys. The module stays initialised
// (and a login stays in force) for as long as the object lives. Every call
// is serialised on the module, so threads may share it; the token is the
// first slot that holds an initialised token (the slots are read again
// while none does, so a key plugged in later is found).
//
// The slots once read are kept, with their sessions, login and cached
// object lists, until CheckTokenPresent finds the token gone: only then is
// what libp11 knows of it dropped, so a key pulled out stops showing its
// certificates.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto/cert_ptr.h"

struct PKCS11_ctx_st;
struct PKCS11_slot_st;

namespace platform::crypto {

class TokenKey;

// A certificate object of the token.
struct TokenCertificate {
  X509Ptr cert;
  std::vector<uint8_t> id;  // CKA_ID
  std::string label;        // CKA_LABEL
};

class Pkcs11Module : public std::enable_shared_from_this<Pkcs11Module> {
 public:
  // Loads and initialises the module at path; null with error
  // NTE_PROVIDER_DLL_FAIL when it cannot be loaded.
  static std::shared_ptr<Pkcs11Module> Load(const std::string& path, uint32_t& error);
  ~Pkcs11Module();
  Pkcs11Module(const Pkcs11Module&) = delete;
  Pkcs11Module& operator=(const Pkcs11Module&) = delete;

  const std::string& path() const { return path_; }

  // C_Login as the token's user. A login in force stays when pin is the
  // one that made it; any other PIN ends it and is checked by the token (a
  // wrong PIN leaves the token logged out). 0, SCARD_W_WRONG_CHV,
  // SCARD_W_CHV_BLOCKED, SCARD_E_NO_SMARTCARD or another code of the
  // token's failure.
  uint32_t Login(std::string_view pin);

  // Asks the module itself whether the token in use is still there (in the
  // slot list of present tokens, with the same serial number, initialised).
  // A token that is gone has its slots and their cached objects dropped and
  // its login forgotten; the next call reads the slots again. A token still
  // present keeps sessions and login. True when a token is in use and
  // present, or none was in use yet.
  bool CheckTokenPresent();

  // The token's certificate objects (public objects: no login needed).
  // 0 or SCARD_E_NO_SMARTCARD.
  uint32_t Certificates(std::vector<TokenCertificate>& out);

  // The RSA private key whose CKA_ID is id. Private keys show only after a
  // login: before it (and for an id without a key) error is NTE_BAD_KEYSET.
  std::shared_ptr<TokenKey> FindPrivateKey(const std::vector<uint8_t>& id, uint32_t& error);

  using PinDigest = std::array<uint8_t, 32>;

 private:
  friend class TokenKey;
  struct CtxDeleter {
    void operator()(PKCS11_ctx_st* ctx) const;
  };

  // The module's own entry points (pkcs11_module.cpp).
  struct EntryPoints;
  struct EntryPointsDeleter {
    void operator()(EntryPoints* entry) const;
  };
  struct SlotList {
    PKCS11_slot_st* slots = nullptr;
    unsigned int count = 0;
  };

  explicit Pkcs11Module(std::string path) : path_(std::move(path)) {}
  // The token's slot, or null; the caller holds mutex_.
  PKCS11_slot_st* TokenSlot();
  // The known slot holding an initialised token, without reading the slots
  // again; the caller holds mutex_.
  PKCS11_slot_st* KnownTokenSlot() const;
  // The token in slot as the module sees it now; the caller holds mutex_.
  bool StillPresent(PKCS11_slot_st* slot) const;
  // The module's slot ids (all, or those holding a token); false when it
  // cannot say. The caller holds mutex_ and entry_ is set.
  bool SlotIds(bool tokenPresent, std::vector<unsigned long>& ids) const;
  // False when libp11 would refuse the whole slot list: a slot reported
  // holding a token whose details cannot be read (a pulled key the module
  // still lists). libp11 loses that slot's bookkeeping on every such
  // refusal, so the list is not asked for then. The caller holds mutex_.
  bool SlotsReadable() const;
  // libp11's handle of the key with CKA_ID id; the caller holds mutex_.
  EvpPkeyPtr FindKeyLocked(const std::vector<uint8_t>& id, uint32_t& error);
  void ReleaseSlots();

  std::string path_;
  std::mutex mutex_;
  std::unique_ptr<PKCS11_ctx_st, CtxDeleter> ctx_;
  // For the questions libp11 has no call for: the library libp11 loaded,
  // held once more, and its function list. Null: presence is not checked.
  std::unique_ptr<EntryPoints, EntryPointsDeleter> entry_;
  PKCS11_slot_st* slots_ = nullptr;  // owned by ctx_, released before it
  unsigned int slotCount_ = 0;
  // Slot lists of pulled tokens: a key handle found on them may still be
  // held (TokenKey), and libp11 frees a key with its slot, so they go with
  // the module.
  std::vector<SlotList> retired_;
  std::optional<PinDigest> loginDigest_;  // SHA-256 of the PIN of the login in force
};

}  // namespace platform::crypto
