// The certificates a user can choose from for the USB-key login: one entry
// per certificate of a system store whose private key is there
// (HasPrivateKey), in store order, and the choice made among them.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "support/cert_settings.h"

// Longest display name an entry keeps, in UTF-16 units.
inline constexpr size_t CERT_ENTRY_NAME_UNITS = CERT_SETTINGS_TEXT_UNITS - 1;

struct CertSelector {
  // Each a CertSettings of one certificate: CertName (its simple display
  // name), CSPName (the provider of its key) and CertFingerPrint (its SHA-1
  // hash) with the length; the other fields zero.
  std::vector<CertSettings> entries;
  std::optional<size_t> chosen;  // index into entries
  uint32_t useDefault = 0;

  // Drops the entries and the choice.
  void Clear();
};

// Clears the selector's entries and fills them from the named system store
// of the current user. -2 when the store cannot be opened (the entries stay
// empty), else 0.
int EnumStoreCertificates(CertSelector& selector, std::string_view storeName);
