#include "platform/service/store_backed_manager.h"

#include "platform/service/service_lock.h"
#include "platform/service/service_name.h"
#include "platform/win32/win32_error.h"

namespace platform::service::detail {

bool IsValidStartType(uint32_t startType) {
  return startType == SERVICE_AUTO_START || startType == SERVICE_DEMAND_START ||
         startType == SERVICE_DISABLED;
}

uint32_t StoreBackedManager::CreateService(const ServiceConfig& config) {
  if (!IsValidServiceName(config.name)) return ERROR_INVALID_NAME;
  if (config.binaryPathName.empty() || !IsValidStartType(config.startType) || !AcceptsConfig(config))
    return ERROR_INVALID_PARAMETER;
  ServiceLock lock(config.name);
  if (lock.error()) return lock.error();
  ServiceConfig existing;
  const uint32_t err = store_->Load(config.name, existing);
  if (err == ERROR_SUCCESS) return ERROR_SERVICE_EXISTS;
  if (err != ERROR_SERVICE_DOES_NOT_EXIST) return err;
  return AddEntry(config);
}

uint32_t StoreBackedManager::OpenService(const std::string& name) {
  ServiceConfig config;
  return store_->Load(name, config);
}

uint32_t StoreBackedManager::QueryServiceConfig(const std::string& name, ServiceConfig& out) {
  return store_->Load(name, out);
}

uint32_t StoreBackedManager::ChangeStartType(const std::string& name, uint32_t startType) {
  if (!IsValidStartType(startType)) return ERROR_INVALID_PARAMETER;
  ServiceLock lock(name);
  if (lock.error()) return lock.error();
  ServiceConfig config;
  if (uint32_t err = store_->Load(name, config)) return err;
  if (uint32_t err = ApplyStartType(name, startType)) return err;
  config.startType = startType;
  return store_->Save(config);
}

}  // namespace platform::service::detail
