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

const char* Win32ErrorText(uint32_t error) {
  switch (error) {
    case ERROR_SUCCESS: return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
    case ERROR_INVALID_DATA: return "The data is invalid.";
    case ERROR_WRITE_FAULT: return "The system cannot write to the specified device.";
    case ERROR_READ_FAULT: return "The system cannot read from the specified device.";
    case ERROR_GEN_FAILURE: return "A device attached to the system is not functioning.";
    case ERROR_HANDLE_EOF: return "Reached the end of the file.";
    case ERROR_NOT_SUPPORTED: return "The request is not supported.";
    case ERROR_FILE_EXISTS: return "The file exists.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_BROKEN_PIPE: return "The pipe has been ended.";
    case ERROR_INSUFFICIENT_BUFFER: return "The data area passed to a system call is too small.";
    case ERROR_INVALID_NAME: return "The filename, directory name, or volume label syntax is incorrect.";
    case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists.";
    case ERROR_PIPE_BUSY: return "All pipe instances are busy.";
    case ERROR_NO_DATA: return "The pipe is being closed.";
    case ERROR_MORE_DATA: return "More data is available.";
    case WAIT_TIMEOUT_ERROR: return "The wait operation timed out.";
    case ERROR_NO_MORE_ITEMS: return "No more data is available.";
    case ERROR_TOO_MANY_POSTS: return "Too many posts were made to a semaphore.";
    case ERROR_PIPE_CONNECTED: return "There is a process on other end of the pipe.";
    case ERROR_OPERATION_ABORTED:
      return "The I/O operation has been aborted because of either a thread exit or an application request.";
    case ERROR_IO_PENDING: return "Overlapped I/O operation is in progress.";
    case ERROR_REGISTRY_CORRUPT: return "The registry is corrupted.";
    case ERROR_REGISTRY_IO_FAILED: return "An I/O operation initiated by the registry failed unrecoverably.";
    case ERROR_KEY_DELETED: return "Illegal operation attempted on a registry key that has been marked for deletion.";
    case ERROR_SERVICE_REQUEST_TIMEOUT:
      return "The service did not respond to the start or control request in a timely fashion.";
    case ERROR_SERVICE_NO_THREAD: return "A thread could not be created for the service.";
    case ERROR_SERVICE_ALREADY_RUNNING: return "An instance of the service is already running.";
    case ERROR_SERVICE_DISABLED:
      return "The service cannot be started, either because it is disabled or because it has no enabled "
             "devices associated with it.";
    case ERROR_SERVICE_DOES_NOT_EXIST: return "The specified service does not exist as an installed service.";
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL: return "The service cannot accept control messages at this time.";
    case ERROR_SERVICE_NOT_ACTIVE: return "The service has not been started.";
    case ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
      return "The service process could not connect to the service controller.";
    case ERROR_SERVICE_MARKED_FOR_DELETE: return "The specified service has been marked for deletion.";
    case ERROR_SERVICE_EXISTS: return "The specified service already exists.";
    default: return "Unknown error";
  }
}

}  // namespace platform
