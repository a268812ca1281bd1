// The client application's one certificate choice (ClientApp owns it):
// read from the user's settings key at start, replaced by the Select
// Certificate dialog, read by the login before each USB-key login. Any
// thread.
#pragma once

#include <mutex>

#include "support/cert_settings.h"

class ClientCertSettings {
 public:
  // Zeroes the record and reads it from HKEY_CURRENT_USER
  // PRODUCT_SETTINGS_KEY; ReadCertSettings's result (a user without the
  // key leaves it zero).
  int Load();

  CertSettings Get() const;
  void Set(const CertSettings& settings);

 private:
  mutable std::mutex mutex_;
  CertSettings settings_;
};
