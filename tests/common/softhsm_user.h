// A user with a USB key, for the certificate tests: a fresh VQ_ROOT, a test
// CA, and a SoftHSM2 token registered as the USB-key provider that holds
// the user's key and certificate (container "01").
#pragma once

#include <string>
#include <vector>

#include "common/softhsm_certs.h"
#include "common/softhsm_token.h"
#include "common/temp_root.h"
#include "support/cert_settings.h"

namespace vqtest {

// The settings that choose cert by its fingerprint.
inline CertSettings SettingsByFingerprint(X509* cert) {
  CertSettings settings;
  const std::vector<uint8_t> hash = Thumbprint(cert);
  std::copy(hash.begin(), hash.end(), settings.CertFingerPrint.begin());
  settings.CertFingerPrintLength = static_cast<uint32_t>(hash.size());
  return settings;
}

struct SoftHsmUser {
  SoftHsmUser() { token.Import(kKeyId, cert.get(), key.get()); }

  CertSettings SettingsFor(X509* chosen) const { return SettingsByFingerprint(chosen); }

  inline static const std::vector<uint8_t> kKeyId = {0x01};

  TempRoot root;
  TestCa ca;
  SoftHsmToken token{USB_KEY_PROVIDER_NAME};
  platform::crypto::EvpPkeyPtr key = MakeRsaKey();
  platform::crypto::X509Ptr cert = ca.Issue("Token User", key.get());
};

}  // namespace vqtest
