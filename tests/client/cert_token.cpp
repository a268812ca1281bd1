#include "client/cert_token.h"

#include <fmt/printf.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

#include "platform/crypto/cert_context.h"
#include "platform/crypto/cert_store.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "support/language_strings.h"
#include "support/registry_helpers.h"

namespace vqtest {

namespace reg = platform::registry;

X509* CertToken::AddToToken(const std::string& commonName, uint8_t id, bool withKey) {
  Held h{MakeRsaKey(), nullptr};
  h.cert = ca.Issue(commonName, h.key.get());
  token.Import({id}, h.cert.get(), withKey ? h.key.get() : nullptr);
  held.push_back(std::move(h));
  return held.back().cert.get();
}

X509* CertToken::AddWithoutKey(const std::string& commonName, Place place) {
  Held h{MakeRsaKey(), nullptr};
  h.cert = ca.Issue(commonName, h.key.get());
  const std::string folder = platform::paths::CertStoreDir("MY");
  if (place == Place::PemInMyFolder) {
    platform::crypto::CertStore store;
    if (platform::crypto::CertStore::OpenSystem("MY", store) != 0 || store.AddCertificate(h.cert.get()) != 0)
      throw std::runtime_error("cannot add to MY");
  } else if (place == Place::DerInMyFolder) {
    std::filesystem::create_directories(folder);
    const std::vector<uint8_t> der = CertDer(h.cert.get());
    WriteFileBytes(folder + "/" + commonName + ".der", std::string(der.begin(), der.end()));
  }
  held.push_back(std::move(h));
  return held.back().cert.get();
}

CertSettings EntryFor(X509* cert) {
  CertSettings settings;
  const std::vector<uint8_t> hash = Thumbprint(cert);
  std::copy(hash.begin(), hash.end(), settings.CertFingerPrint.begin());
  settings.CertFingerPrintLength = static_cast<uint32_t>(hash.size());
  settings.CertName = platform::crypto::CertContext::Create(cert)->SimpleDisplayName();
  settings.CSPName = USB_KEY_PROVIDER_NAME;
  return settings;
}

platform::ui::StringSource ClientStrings(uint16_t language) {
  auto table = LoadLanguageStrings(VQ_CLIENT_DIR, language);
  if (!table) throw std::runtime_error("no client strings for " + std::to_string(language));
  auto shared = std::make_shared<LanguageStrings>(std::move(*table));
  return [shared](uint32_t id) { return shared->Find(id); };
}

std::map<std::string, StoredValue> StoredCertValues() {
  std::map<std::string, StoredValue> out;
  reg::Key key;
  if (reg::Key::Open(reg::HKEY_CURRENT_USER, PRODUCT_SETTINGS_KEY, reg::Access::Read, key) != 0) return out;
  for (const char* name : {"CertName", "CSPName", "CertFingerPrint", "IsUseDefaultCert", "DefaultCSPName"}) {
    StoredValue value;
    if (key.QueryValue(name, &value.type, &value.data) == 0) out[name] = value;
  }
  return out;
}

std::string SignatureDigits(X509* cert) {
  const ASN1_BIT_STRING* signature = nullptr;
  X509_get0_signature(&signature, nullptr, cert);
  std::string digits;
  for (int i = 0; i < 4; ++i) digits += fmt::sprintf("%x", ASN1_STRING_get0_data(signature)[i]);
  return digits;
}

}  // namespace vqtest
