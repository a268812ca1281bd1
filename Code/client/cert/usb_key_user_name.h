// The login user name of a USB-key-only login, taken from the key's
// certificate: its display name and the start of its signature.
#pragma once

#include <cstddef>
#include <string>

// Bytes the name part may take; with at most eight digits after it the
// whole name fits a 33-byte buffer with its terminator.
inline constexpr size_t USB_KEY_NAME_BYTES = 23;

// Finds the certificate the user's stored choice names (ReadCertSettings):
// with IsUseDefaultCert the first "MY" certificate of DefaultCSPName, or of
// USB_KEY_PROVIDER_NAME when that is empty; else the one of CertFingerPrint
// (FindCertBySettings). out = its display name, at most USB_KEY_NAME_BYTES
// bytes in the ANSI code page and again in UTF-8, each cut between
// characters, followed by the first four bytes of its signature, each in
// lower-case hex without leading zero ("%x").
// 0; -2 when no certificate is found; -1 when its key cannot be bound
// (cryptoapi_get_cert_key). out is changed only on 0.
int GetUsbKeyUserName(std::string& out);
