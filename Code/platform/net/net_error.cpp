#include "platform/net/net_error.h"

#include <cerrno>

#include "platform/win32/win32_error.h"

namespace platform::net {

uint32_t Win32FromNetErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case EEXIST: return ERROR_OBJECT_ALREADY_EXISTS;
    case ESRCH:
    case ENOENT:
    case EADDRNOTAVAIL: return ERROR_NOT_FOUND;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENODEV:
    case ENETDOWN:
    case EINVAL:
    case ERANGE: return ERROR_INVALID_PARAMETER;
    default: return Win32FromErrno(err);
  }
}

}  // namespace platform::net
