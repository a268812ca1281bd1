#include "client/cert/client_cert_settings.h"

#include "support/registry_helpers.h"

int ClientCertSettings::Load() {
  CertSettings read;
  const int result = ReadCertSettings(read, PRODUCT_SETTINGS_KEY);
  Set(read);
  return result;
}

CertSettings ClientCertSettings::Get() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void ClientCertSettings::Set(const CertSettings& settings) {
  std::lock_guard lock(mutex_);
  settings_ = settings;
}
