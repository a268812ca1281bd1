#include "Wendle/usb_key_check.h"

#include "support/cert_settings.h"
#include "support/registry_helpers.h"
#include "support/text_convert.h"

namespace {

CertSettings ReadSettings() {
  CertSettings settings;
  settings.IsUseDefaultCert = 1;
  ReadCertSettings(settings, PRODUCT_SETTINGS_KEY);
  return settings;
}

std::string DefaultProvider(const CertSettings& settings) {
  return settings.DefaultCSPName.empty() ? std::string(USB_KEY_PROVIDER_NAME) : Utf8ToAnsi(settings.DefaultCSPName);
}

}  // namespace

bool IsUsbKeyAvailable() {
  const CertSettings settings = ReadSettings();
  if (settings.IsUseDefaultCert) return HasCertForCspName(DefaultProvider(settings)) == 1;
  return HasCertBySettings(settings) == 1;
}

std::string UsbKeyProviderName() {
  const CertSettings settings = ReadSettings();
  if (!settings.IsUseDefaultCert) return Utf8ToAnsi(settings.CSPName);
  return DefaultProvider(settings);
}
