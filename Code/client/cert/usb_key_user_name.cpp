#include "client/cert/usb_key_user_name.h"

#include <fmt/printf.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string_view>

#include "platform/crypto/cert_ptr.h"
#include "support/cert_settings.h"
#include "support/cryptoapi.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/text_convert.h"

using platform::crypto::CertContextPtr;

namespace {

// Bytes of the UTF-8 sequence that starts with lead (1 for a stray byte).
size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// The UTF-8 text converted to the ANSI code page, as many whole characters
// as fit in maxBytes.
std::string AnsiPrefix(std::string_view utf8, size_t maxBytes) {
  std::string out;
  for (size_t at = 0; at < utf8.size();) {
    const size_t length = std::min(SequenceLength(static_cast<unsigned char>(utf8[at])), utf8.size() - at);
    const std::string character = Utf8ToAnsi(utf8.substr(at, length));
    if (out.size() + character.size() > maxBytes) break;
    out += character;
    at += length;
  }
  return out;
}

// The UTF-8 text cut to at most maxBytes, never inside a character.
std::string Utf8Prefix(std::string_view utf8, size_t maxBytes) {
  size_t end = 0;
  while (end < utf8.size()) {
    const size_t length = std::min(SequenceLength(static_cast<unsigned char>(utf8[end])), utf8.size() - end);
    if (end + length > maxBytes) break;
    end += length;
  }
  return std::string(utf8.substr(0, end));
}

CertContextPtr FindUsbKeyCert(const CertSettings& settings) {
  if (settings.IsUseDefaultCert != 0) {
    const std::string provider = settings.DefaultCSPName.empty() ? USB_KEY_PROVIDER_NAME : settings.DefaultCSPName;
    return FindCertByCspName(Utf8ToAnsi(provider));
  }
  return FindCertBySettings(settings);
}

}  // namespace

int GetUsbKeyUserName(std::string& out) {
  CertSettings settings;
  // A user who never chose has no key: the zero record finds nothing.
  ReadCertSettings(settings, PRODUCT_SETTINGS_KEY);
  const CertContextPtr cert = FindUsbKeyCert(settings);
  if (!cert) return -2;

  const std::string ansiName = AnsiPrefix(cert->SimpleDisplayName(), USB_KEY_NAME_BYTES);
  std::string name = Utf8Prefix(AnsiToUtf8(ansiName), USB_KEY_NAME_BYTES);
  LogPrint(LOG_INFO, "CommonName = %s\n", name);

  platform::crypto::X509Ptr x509;
  platform::crypto::EvpPkeyPtr pkey;
  if (cryptoapi_get_cert_key(cert, x509, pkey) <= 0) {
    LogPrint(LOG_ERR, "Acquire certificate from USB key failed\n");
    return -1;
  }
  const ASN1_BIT_STRING* signature = nullptr;
  X509_get0_signature(&signature, nullptr, x509.get());
  const int digits = signature ? std::min(ASN1_STRING_length(signature), 4) : 0;
  for (int i = 0; i < digits; ++i) name += fmt::sprintf("%x", ASN1_STRING_get0_data(signature)[i]);
  cryptoapi_free_cert_key(x509, pkey);
  out = std::move(name);
  return 0;
}
