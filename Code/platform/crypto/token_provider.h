// The USB-key provider (the stand-in for a smart-card CSP): a provider name
// is registered in HKEY_LOCAL_MACHINE
//   SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>
// with the REG_SZ value "Image Path", the path of a PKCS#11 module. A key
// container of the provider is a key on the module's token, named by the
// hex form of its CKA_ID; its certificate is the certificate object with the
// same CKA_ID. The PIN is the token user's C_Login.
//
// Modules stay loaded process-wide once opened, so a login outlives the
// call that made it and every later user of the provider (the TLS
// handshake's signatures) finds it in force. CloseTokenProviders ends that.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto/pkcs11_module.h"

namespace platform::crypto {

class TokenKey;

inline constexpr char kProviderRegistryKey[] =
    "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
inline constexpr char kProviderImagePathValue[] = "Image Path";

class TokenProvider {
 public:
  // Acquires the provider registered under name (names match without regard
  // to case, as registry names do). Null with error NTE_KEYSET_NOT_DEF when
  // it is not registered or has no module path, NTE_PROVIDER_DLL_FAIL when
  // its module cannot be loaded.
  static std::shared_ptr<TokenProvider> Open(std::string_view name, uint32_t& error);

  // The names of every registered provider with a module path, as stored.
  static std::vector<std::string> RegisteredNames();

  // The name as registered.
  const std::string& name() const { return name_; }

  // Pkcs11Module::Login.
  uint32_t Login(std::string_view pin) const;
  // Pkcs11Module::CheckTokenPresent: a pulled key is forgotten.
  bool CheckTokenPresent() const;
  // Pkcs11Module::Certificates.
  uint32_t Certificates(std::vector<TokenCertificate>& out) const;
  // The key of a container: NTE_BAD_KEYSET for a malformed container name or
  // one the token does not show (private keys show after a login).
  std::shared_ptr<TokenKey> AcquireKey(std::string_view container, uint32_t& error) const;

  TokenProvider(std::string name, std::shared_ptr<Pkcs11Module> module)
      : name_(std::move(name)), module_(std::move(module)) {}

 private:
  std::string name_;
  std::shared_ptr<Pkcs11Module> module_;
};

// Lets go of every module the providers loaded: logins end and the modules
// unload once no key of theirs is still held. The next Open loads afresh
// (and reads the module's configuration again).
void CloseTokenProviders();

}  // namespace platform::crypto
