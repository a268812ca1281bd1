// A SoftHSM2 token for one test, kept inside the test's VQ_ROOT: its own
// configuration (SOFTHSM2_CONF, restored at the end) and token folder, an
// initialised token with a user PIN, and the provider registered in
// HKEY_LOCAL_MACHINE the way the USB-key provider is (token_provider.h).
// Keys and certificates are written with pkcs11-tool, as a token would be
// personalised; nothing of SoftHSM is loaded into the test process until the
// code under test loads it. Needs a vqtest::TempRoot alive around it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto/cert_ptr.h"

namespace vqtest {

class SoftHsmToken {
 public:
  static constexpr char kUserPin[] = "246810";
  static constexpr char kSoPin[] = "13579135";

  explicit SoftHsmToken(const std::string& providerName);
  ~SoftHsmToken();
  SoftHsmToken(const SoftHsmToken&) = delete;
  SoftHsmToken& operator=(const SoftHsmToken&) = delete;

  // The SoftHSM2 module of this machine.
  static std::string ModulePath();

  // Writes cert (public) and key (private, when given) with CKA_ID id.
  void Import(const std::vector<uint8_t>& id, X509* cert, EVP_PKEY* key);

  const std::string& providerName() const { return providerName_; }

  // The key pulled out: the token folder moves away, so a loaded module
  // shows no token once it reads its slots again. PutBack() moves it home;
  // a loaded module sees it again only after a reload
  // (CloseTokenProviders).
  void Pull();
  void PutBack();

 private:
  void Run(const std::vector<std::string>& argv);

  std::string providerName_;
  std::string dir_;
  std::optional<std::string> savedConf_;
};

}  // namespace vqtest
