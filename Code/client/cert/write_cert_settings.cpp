#include "client/cert/write_cert_settings.h"

#include <algorithm>

#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"
#include "support/registry_value.h"

namespace reg = platform::registry;

int WriteCertSettings(const CertSettings& settings, std::string_view subkey) {
  reg::Key key;
  if (reg::Key::Create(reg::HKEY_CURRENT_USER, subkey, reg::Access::Write, key) !=
      platform::ERROR_SUCCESS)
    return -2;
  if (!settings.CertName.empty() &&
      key.SetValue("CertName", reg::REG_SZ, RegSzBytes(settings.CertName)) != platform::ERROR_SUCCESS)
    return -3;
  if (!settings.CSPName.empty() &&
      key.SetValue("CSPName", reg::REG_SZ, RegSzBytes(settings.CSPName)) != platform::ERROR_SUCCESS)
    return -4;
  // Never more than the field holds, whatever the length says.
  const size_t length = std::min<size_t>(settings.CertFingerPrintLength, CERT_FINGERPRINT_BYTES);
  if (length != 0 &&
      key.SetValue("CertFingerPrint", reg::REG_BINARY,
                   std::span<const uint8_t>(settings.CertFingerPrint.data(), length)) != platform::ERROR_SUCCESS)
    return -5;
  if (key.SetValue("IsUseDefaultCert", reg::REG_DWORD, RegDwordBytes(settings.IsUseDefaultCert)) !=
      platform::ERROR_SUCCESS)
    return -6;
  return 0;
}
