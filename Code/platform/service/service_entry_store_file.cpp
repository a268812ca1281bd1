// Service entries as one "Key=Value" file per service in <etc>/services/,
// named by the lower-cased service name; the Name line keeps the name as
// it was created.
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "platform/paths/paths.h"
#include "platform/service/key_value_file.h"
#include "platform/service/service.h"
#include "platform/service/service_name.h"
#include "platform/win32/win32_error.h"

namespace platform::service {
namespace {

std::string EntryPath(const std::string& name) {
  return paths::EtcDir() + "/services/" + detail::ServiceFileStem(name) + ".conf";
}

class FileServiceEntryStore final : public ServiceEntryStore {
 public:
  uint32_t Load(const std::string& name, ServiceConfig& out) override {
    if (!detail::IsValidServiceName(name)) return ERROR_INVALID_NAME;
    detail::KeyValues kv;
    uint32_t err = detail::ReadKeyValueFile(EntryPath(name), kv);
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
    if (err != ERROR_SUCCESS) return err;

    ServiceConfig config;
    config.name = kv.count("Name") ? kv["Name"] : name;
    config.displayName = kv["DisplayName"];
    config.binaryPathName = kv["ImagePath"];
    if (!detail::ParseNumber(kv["Type"], config.serviceType) ||
        !detail::ParseNumber(kv["Start"], config.startType) ||
        !detail::ParseNumber(kv["ErrorControl"], config.errorControl))
      return ERROR_GEN_FAILURE;  // a damaged entry: do not guess its start type
    out = std::move(config);
    return ERROR_SUCCESS;
  }

  uint32_t Save(const ServiceConfig& config) override {
    if (!detail::IsValidServiceName(config.name)) return ERROR_INVALID_NAME;
    return detail::WriteKeyValueFile(EntryPath(config.name),
                                     {{"Name", config.name},
                                      {"DisplayName", config.displayName},
                                      {"ImagePath", config.binaryPathName},
                                      {"Type", std::to_string(config.serviceType)},
                                      {"Start", std::to_string(config.startType)},
                                      {"ErrorControl", std::to_string(config.errorControl)}});
  }

  uint32_t Remove(const std::string& name) override {
    if (!detail::IsValidServiceName(name)) return ERROR_INVALID_NAME;
    if (::unlink(EntryPath(name).c_str()) == 0) return ERROR_SUCCESS;
    if (errno == ENOENT || errno == ENOTDIR) return ERROR_SERVICE_DOES_NOT_EXIST;
    return LastWin32Error();
  }
};

}  // namespace

std::unique_ptr<ServiceEntryStore> MakeFileServiceEntryStore() {
  return std::make_unique<FileServiceEntryStore>();
}

}  // namespace platform::service
