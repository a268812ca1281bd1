#include "platform/win32/win32_error.h"

#include <cerrno>

namespace platform {

uint32_t Win32FromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE:
    case ECONNRESET: return ERROR_BROKEN_PIPE;
    case ECONNREFUSED: return ERROR_FILE_NOT_FOUND;
    case EAGAIN: return ERROR_PIPE_BUSY;
    case ETIMEDOUT: return WAIT_TIMEOUT_ERROR;
    case EMSGSIZE: return ERROR_MORE_DATA;
    case ENOSPC:
    case EIO: return ERROR_WRITE_FAULT;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    default: return ERROR_GEN_FAILURE;
  }
}

uint32_t LastWin32Error() { return Win32FromErrno(errno); }

}  // namespace platform
