// Whether the USB key that holds the user's client certificate is present:
// the interactive user's "MY" store holds the certificate the settings
// choose (the provider's default one, or the one with the stored
// fingerprint).
#pragma once

#include <string>

// Reads the user's certificate settings (a missing IsUseDefaultCert counts
// as set). True when the key is available.
bool IsUsbKeyAvailable();

// The provider the PIN goes to under the same settings: CSPName, or with
// the default certificate DefaultCSPName, else the USB-key provider (ANSI).
std::string UsbKeyProviderName();
