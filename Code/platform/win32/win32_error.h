// Win32 error numbers that pass through the system's results, the one
// table that maps errno onto them, and their texts.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_WRITE_FAULT = 29;
inline constexpr uint32_t ERROR_READ_FAULT = 30;
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_BROKEN_PIPE = 109;
inline constexpr uint32_t ERROR_HANDLE_EOF = 38;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_PIPE_BUSY = 231;
inline constexpr uint32_t ERROR_NO_DATA = 232;
inline constexpr uint32_t ERROR_MORE_DATA = 234;
inline constexpr uint32_t WAIT_TIMEOUT_ERROR = 258;
inline constexpr uint32_t ERROR_TOO_MANY_POSTS = 298;
inline constexpr uint32_t ERROR_PIPE_CONNECTED = 535;
inline constexpr uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr uint32_t ERROR_IO_PENDING = 997;
inline constexpr uint32_t ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr uint32_t ERROR_SERVICE_NO_THREAD = 1054;
inline constexpr uint32_t ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr uint32_t ERROR_SERVICE_DISABLED = 1058;
inline constexpr uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr uint32_t ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr uint32_t ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr uint32_t ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr uint32_t ERROR_SERVICE_EXISTS = 1073;
inline constexpr uint32_t ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
// Registry results.
inline constexpr uint32_t ERROR_INVALID_DATA = 13;
inline constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr uint32_t ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr uint32_t ERROR_REGISTRY_IO_FAILED = 1016;
inline constexpr uint32_t ERROR_KEY_DELETED = 1018;

// The Win32 number for an errno value (ERROR_GEN_FAILURE when none fits).
uint32_t Win32FromErrno(int err);

// Win32FromErrno(errno) of the calling thread.
uint32_t LastWin32Error();

// The system's text for a Win32 number (FormatMessage's), without a line
// end; "Unknown error" for a number this table does not hold.
const char* Win32ErrorText(uint32_t error);

}  // namespace platform
