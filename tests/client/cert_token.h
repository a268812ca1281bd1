// A user whose USB key holds several certificates, for the certificate
// choice tests: a fresh VQ_ROOT, a test CA, and a SoftHSM2 token registered
// as the USB-key provider. Certificates are added one by one, each with a
// new key and its own container id.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/softhsm_certs.h"
#include "common/softhsm_token.h"
#include "common/temp_root.h"
#include "platform/ui/ui_host.h"
#include "support/cert_settings.h"

namespace vqtest {

struct CertToken {
  struct Held {
    platform::crypto::EvpPkeyPtr key;
    platform::crypto::X509Ptr cert;
  };

  // A certificate of the CA for a new key, written to the token with CKA_ID
  // id, its key too when withKey.
  X509* AddToToken(const std::string& commonName, uint8_t id, bool withKey = true);
  // A certificate of the CA whose key is nowhere: written to the user's
  // "MY" folder as PEM (AddCertificate) or as a DER file; or kept only here.
  enum class Place { PemInMyFolder, DerInMyFolder, Nowhere };
  X509* AddWithoutKey(const std::string& commonName, Place place);

  TempRoot root;
  TestCa ca;
  SoftHsmToken token{USB_KEY_PROVIDER_NAME};
  std::vector<Held> held;
};

// The settings that name cert by its fingerprint, as an entry of the
// certificate list has them.
CertSettings EntryFor(X509* cert);

// The client's string table of a language, from the source tree.
platform::ui::StringSource ClientStrings(uint16_t language);

// The current user's settings-key values, by name (type and data).
struct StoredValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  bool operator==(const StoredValue&) const = default;
};
std::map<std::string, StoredValue> StoredCertValues();

// The signature digits GetUsbKeyUserName appends for cert.
std::string SignatureDigits(X509* cert);

}  // namespace vqtest
