// What the service manager backends share: entries kept in a
// ServiceEntryStore, created and changed under the service's lock. A
// backend adds its own steps through the hooks and does the rest
// (delete, start, control, status) itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/service/service.h"

namespace platform::service::detail {

bool IsValidStartType(uint32_t startType);

class StoreBackedManager : public ServiceManager {
 public:
  explicit StoreBackedManager(std::unique_ptr<ServiceEntryStore> store) : store_(std::move(store)) {}

  // ERROR_INVALID_NAME, ERROR_INVALID_PARAMETER (no image path, an unknown
  // start type, or what AcceptsConfig refuses), ERROR_SERVICE_EXISTS, or
  // what AddEntry returns.
  uint32_t CreateService(const ServiceConfig& config) final;
  uint32_t OpenService(const std::string& name) final;
  uint32_t QueryServiceConfig(const std::string& name, ServiceConfig& out) final;
  // The entry is saved only when ApplyStartType succeeded.
  uint32_t ChangeStartType(const std::string& name, uint32_t startType) final;

 protected:
  // The backend's own checks of a new entry.
  virtual bool AcceptsConfig(const ServiceConfig&) { return true; }
  // Adds a checked entry whose name is free; called under its lock.
  virtual uint32_t AddEntry(const ServiceConfig& config) { return store_->Save(config); }
  // The backend's part of a start type change of an existing entry; called
  // under its lock, before the entry is saved.
  virtual uint32_t ApplyStartType(const std::string&, uint32_t) { return 0; }

  std::unique_ptr<ServiceEntryStore> store_;
};

}  // namespace platform::service::detail
