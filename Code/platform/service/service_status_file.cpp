#include "platform/service/service_status_file.h"

#include <string>

#include "platform/paths/paths.h"
#include "platform/service/key_value_file.h"
#include "platform/service/service_name.h"
#include "platform/win32/win32_error.h"

namespace platform::service::detail {
namespace {

std::string StatusPath(const std::string& name) {
  return ServiceRunDir() + "/" + ServiceFileStem(name) + ".status";
}

}  // namespace

std::string ServiceRunDir() { return paths::RunDir() + "/services"; }

uint32_t ReadStatusRecord(const std::string& name, StatusRecord& out) {
  if (!IsValidServiceName(name)) return ERROR_INVALID_NAME;
  KeyValues kv;
  uint32_t err = ReadKeyValueFile(StatusPath(name), kv);
  if (err == ERROR_PATH_NOT_FOUND) return ERROR_FILE_NOT_FOUND;
  if (err != ERROR_SUCCESS) return err;

  StatusRecord r;
  uint32_t pid = 0;
  ServiceStatus& s = r.status;
  if (!ParseNumber(kv["Type"], s.serviceType) || !ParseNumber(kv["State"], s.currentState) ||
      !ParseNumber(kv["ControlsAccepted"], s.controlsAccepted) ||
      !ParseNumber(kv["Win32ExitCode"], s.win32ExitCode) ||
      !ParseNumber(kv["ServiceSpecificExitCode"], s.serviceSpecificExitCode) ||
      !ParseNumber(kv["CheckPoint"], s.checkPoint) || !ParseNumber(kv["WaitHint"], s.waitHint) ||
      !ParseNumber(kv["Pid"], pid) || !ParseNumber(kv["StartTime"], r.startTime) ||
      pid > static_cast<uint32_t>(INT32_MAX))
    return ERROR_GEN_FAILURE;
  r.pid = static_cast<pid_t>(pid);
  out = r;
  return ERROR_SUCCESS;
}

uint32_t WriteStatusRecord(const std::string& name, const StatusRecord& record) {
  if (!IsValidServiceName(name)) return ERROR_INVALID_NAME;
  const ServiceStatus& s = record.status;
  return WriteKeyValueFile(StatusPath(name),
                           {{"Type", std::to_string(s.serviceType)},
                            {"State", std::to_string(s.currentState)},
                            {"ControlsAccepted", std::to_string(s.controlsAccepted)},
                            {"Win32ExitCode", std::to_string(s.win32ExitCode)},
                            {"ServiceSpecificExitCode", std::to_string(s.serviceSpecificExitCode)},
                            {"CheckPoint", std::to_string(s.checkPoint)},
                            {"WaitHint", std::to_string(s.waitHint)},
                            {"Pid", std::to_string(record.pid)},
                            {"StartTime", std::to_string(record.startTime)}});
}

}  // namespace platform::service::detail
