// The client certificate a USB-key login uses: the choice the client
// application stored in the user's hive (CertSettings), the searches of the
// user's "MY" store by that choice or by the provider that holds the key,
// and the PIN handed to the USB key's provider before the TLS handshake.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/crypto/cert_context.h"

// Capacities of the record's fields: texts in UTF-16 units with their
// terminator, the fingerprint in bytes.
inline constexpr size_t CERT_SETTINGS_TEXT_UNITS = 260;
inline constexpr size_t CERT_FINGERPRINT_BYTES = 260;

// The USB key's provider, the one the callers name by default.
inline constexpr char USB_KEY_PROVIDER_NAME[] = "Tarnwickgate Cryptographic Service Provider";

// Debug file of the PIN step ("C:\USBKeyLog.txt"), kept in the log folder.
inline constexpr char USB_KEY_LOG_NAME[] = "USBKeyLog.txt";

struct CertSettings {
  std::string CertName;        // display name of the chosen certificate
  std::string CSPName;         // provider that holds its key
  std::string DefaultCSPName;  // provider used when the default certificate is chosen
  std::array<uint8_t, CERT_FINGERPRINT_BYTES> CertFingerPrint{};  // SHA-1 hash property
  uint32_t CertFingerPrintLength = 0;                             // bytes used in CertFingerPrint
  uint32_t IsUseDefaultCert = 0;  // nonzero: the provider's default certificate
};

// Reads CertName, CSPName, DefaultCSPName (REG_SZ), CertFingerPrint
// (REG_BINARY) and IsUseDefaultCert (REG_DWORD) of subkey in the current
// user's hive (the impersonated user's when the thread impersonates). A
// value that is missing or does not fit its field (a text of 260 or more
// units, a fingerprint over 260 bytes, a number not 4 bytes long) leaves
// its field as the caller set it. 0; -9 when the hive cannot be opened; -2
// when subkey cannot be opened.
int ReadCertSettings(CertSettings& out, std::string_view subkey);

// The first certificate of the "MY" store with a simple display name, a
// private key (HasPrivateKey) and a SHA-1 hash equal to the settings'
// fingerprint (its length taken at most CERT_FINGERPRINT_BYTES); null when
// none matches.
platform::crypto::CertContextPtr FindCertBySettings(const CertSettings& settings);
// The same search without the display-name condition, run as the desktop
// user; the thread's impersonation has ended when it returns. 1 found, 0 not.
int HasCertBySettings(const CertSettings& settings);

// The first certificate of the "MY" store whose key provider is cspName
// (ANSI text), compared exactly, case included; null when none.
platform::crypto::CertContextPtr FindCertByCspName(std::string_view cspName);
// The same search run as the desktop user; 1 or 0, impersonation ended.
int HasCertForCspName(std::string_view cspName);

// False only when the certificate has no key property; a key that cannot
// be reached now (no PIN yet, USB key pulled) still counts as present.
bool HasPrivateKey(const platform::crypto::CertContext& cert);

// The SHA-1 hash property into out, its length into length: 0, or -2 when
// out cannot hold it.
int GetCertHashProperty(const platform::crypto::CertContext& cert, std::span<uint8_t> out,
                        uint32_t& length);

// True when both have the same length and the same bytes.
bool CompareFingerPrint(std::span<const uint8_t> a, std::span<const uint8_t> b);

// Hands pin to the USB-key provider cspName (ANSI text) for its key
// operations. A failure to reach the provider or a refused PIN is appended
// to the debug file. Nonzero on success, 0 on failure.
int SetUsbKeyPin(std::string_view cspName, std::string_view pin);

// The path of the PIN step's debug file.
std::string UsbKeyLogPath();
