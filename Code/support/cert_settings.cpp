#include "support/cert_settings.h"

#include <algorithm>

#include "platform/crypto/cert_store.h"
#include "platform/crypto/token_provider.h"
#include "platform/paths/paths.h"
#include "platform/process/user_context.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"
#include "support/impersonation.h"
#include "support/log.h"
#include "support/registry_value.h"
#include "support/text_convert.h"
#include "support/utf16.h"

namespace reg = platform::registry;
using platform::crypto::CertContext;
using platform::crypto::CertContextPtr;
using platform::crypto::CertStore;

namespace {

// A text value into its field: the units up to its first NUL or the end of
// its data, so a value stored without a terminator still ends where it
// does. A value larger than the field's buffer leaves the field alone.
void ReadText(const reg::Key& key, std::string_view name, std::string& field) {
  std::vector<uint8_t> data;
  if (key.QueryValue(name, nullptr, &data) != platform::ERROR_SUCCESS) return;
  if (data.size() > CERT_SETTINGS_TEXT_UNITS * 2) return;
  // 260 units without a terminator: the field keeps the 259 that fit with it.
  field = CutUtf8ToUnits(RegSzText(data), CERT_SETTINGS_TEXT_UNITS - 1);
}

void ReadFingerPrint(const reg::Key& key, CertSettings& out) {
  std::vector<uint8_t> data;
  if (key.QueryValue("CertFingerPrint", nullptr, &data) != platform::ERROR_SUCCESS) return;
  // A value that does not fit changes neither the bytes nor the length.
  if (data.size() > CERT_FINGERPRINT_BYTES) return;
  std::copy(data.begin(), data.end(), out.CertFingerPrint.begin());
  out.CertFingerPrintLength = static_cast<uint32_t>(data.size());
}

void ReadDword(const reg::Key& key, std::string_view name, uint32_t& field) {
  std::vector<uint8_t> data;
  if (key.QueryValue(name, nullptr, &data) != platform::ERROR_SUCCESS) return;
  if (std::optional<uint32_t> value = RegDwordValue(data)) field = *value;
}

// The settings' fingerprint as far as it is stored, never past its buffer.
std::span<const uint8_t> StoredFingerPrint(const CertSettings& settings) {
  const size_t length = std::min<size_t>(settings.CertFingerPrintLength, CERT_FINGERPRINT_BYTES);
  return std::span<const uint8_t>(settings.CertFingerPrint.data(), length);
}

bool MatchesSettings(const CertContext& cert, const CertSettings& settings, bool needDisplayName) {
  if (needDisplayName && cert.SimpleDisplayName().empty()) return false;
  if (!HasPrivateKey(cert)) return false;
  std::array<uint8_t, CERT_FINGERPRINT_BYTES> hash{};
  uint32_t length = 0;
  if (GetCertHashProperty(cert, hash, length) != 0) return false;
  return CompareFingerPrint(std::span<const uint8_t>(hash.data(), length),
                            StoredFingerPrint(settings));
}

CertContextPtr SearchMyStore(const CertSettings& settings, bool needDisplayName) {
  CertStore store;
  if (CertStore::OpenSystem("MY", store) != platform::ERROR_SUCCESS) return nullptr;
  for (const CertContextPtr& cert : store.certificates()) {
    if (MatchesSettings(*cert, settings, needDisplayName)) return cert;
  }
  return nullptr;
}

// Runs the enclosing search as the desktop user (as itself when there is
// none) and ends the impersonation on the way out.
class DesktopUserScope {
 public:
  DesktopUserScope() { ImpersonateExplorerUser(); }
  ~DesktopUserScope() { platform::process::RevertToSelf(); }
  DesktopUserScope(const DesktopUserScope&) = delete;
  DesktopUserScope& operator=(const DesktopUserScope&) = delete;
};

}  // namespace

int ReadCertSettings(CertSettings& out, std::string_view subkey) {
  reg::Key hive;
  if (reg::Key::Open(reg::HKEY_CURRENT_USER, "", reg::Access::Read, hive) !=
      platform::ERROR_SUCCESS)
    return -9;
  reg::Key key;
  if (hive.OpenSubKey(subkey, reg::Access::Read, key) != platform::ERROR_SUCCESS) return -2;
  ReadText(key, "CertName", out.CertName);
  ReadText(key, "CSPName", out.CSPName);
  ReadFingerPrint(key, out);
  ReadDword(key, "IsUseDefaultCert", out.IsUseDefaultCert);
  ReadText(key, "DefaultCSPName", out.DefaultCSPName);
  return 0;
}

CertContextPtr FindCertBySettings(const CertSettings& settings) {
  return SearchMyStore(settings, true);
}

int HasCertBySettings(const CertSettings& settings) {
  const DesktopUserScope asDesktopUser;
  return SearchMyStore(settings, false) ? 1 : 0;
}

CertContextPtr FindCertByCspName(std::string_view cspName) {
  CertStore store;
  if (CertStore::OpenSystem("MY", store) != platform::ERROR_SUCCESS) return nullptr;
  for (const CertContextPtr& cert : store.certificates()) {
    const auto& info = cert->keyProvInfo();
    if (info && Utf8ToAnsi(info->providerName) == cspName) return cert;
  }
  return nullptr;
}

int HasCertForCspName(std::string_view cspName) {
  const DesktopUserScope asDesktopUser;
  return FindCertByCspName(cspName) ? 1 : 0;
}

bool HasPrivateKey(const CertContext& cert) { return cert.keyProvInfo().has_value(); }

int GetCertHashProperty(const CertContext& cert, std::span<uint8_t> out, uint32_t& length) {
  const auto& hash = cert.sha1Hash();
  if (out.size() < hash.size()) return -2;
  std::copy(hash.begin(), hash.end(), out.begin());
  length = static_cast<uint32_t>(hash.size());
  return 0;
}

bool CompareFingerPrint(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

int SetUsbKeyPin(std::string_view cspName, std::string_view pin) {
  const std::string logPath = UsbKeyLogPath();
  platform::paths::CreateDirectories(logPath.substr(0, logPath.rfind('/')));
  const std::string provider = WideToUtf8(AnsiToWideBuffered(cspName));
  uint32_t error = 0;
  const std::shared_ptr<platform::crypto::TokenProvider> context =
      platform::crypto::TokenProvider::Open(provider, error);
  if (!context) {
    AppendDebugLog(logPath, "Fenn said : CryptAcquireContext Error = %x", error);
    return 0;
  }
  error = context->Login(AnsiToUtf8(pin));
  if (error != 0) {
    AppendDebugLog(logPath, "Fenn said : CryptSetProvParam Error = %x", error);
    return 0;
  }
  AppendDebugLog(logPath, "Fenn said : CryptSetProvParam OK!");
  return 1;
}

std::string UsbKeyLogPath() {
  std::string folder = LogFilePath();
  folder.erase(folder.rfind('/'));
  return folder + "/" + USB_KEY_LOG_NAME;
}
