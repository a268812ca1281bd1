// The status file of a service, <run>/services/<name>.status: the last
// status the service reported (or the supervisor wrote at start), and the
// pid and start time of the process it belongs to, so that a dead or reused
// pid is never taken for a running service.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/service/service.h"

namespace platform::service::detail {

struct StatusRecord {
  ServiceStatus status;
  pid_t pid = 0;
  uint64_t startTime = 0;  // /proc/<pid>/stat field 22
};

// Folder of the status and lock files.
std::string ServiceRunDir();

// 0, ERROR_FILE_NOT_FOUND when the service never wrote one, ERROR_GEN_FAILURE
// when it is damaged, or the Win32 code of the read error.
uint32_t ReadStatusRecord(const std::string& name, StatusRecord& out);

// Replaces the file atomically. 0 or a Win32 code.
uint32_t WriteStatusRecord(const std::string& name, const StatusRecord& record);

}  // namespace platform::service::detail
