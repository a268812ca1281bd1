// Stores the user's certificate choice in the current user's hive, where
// ReadCertSettings and the tunnel service find it.
#pragma once

#include <string_view>

#include "support/cert_settings.h"

// Opens HKEY_CURRENT_USER\subkey for writing, creating it when missing (a
// user who never chose before has none), and writes CertName and CSPName
// (REG_SZ, each only when not empty), CertFingerPrint (REG_BINARY of its
// length, only when that is not 0) and IsUseDefaultCert (REG_DWORD); a
// value left out keeps what the hive had. DefaultCSPName is never written.
// 0; -2 when the key cannot be opened or created; -3, -4, -5 or -6 when
// CertName, CSPName, CertFingerPrint or IsUseDefaultCert cannot be written
// (the values before it are written then, those after it are not).
int WriteCertSettings(const CertSettings& settings, std::string_view subkey);
