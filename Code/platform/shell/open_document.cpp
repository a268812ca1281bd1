#include "platform/shell/open_document.h"

#include "platform/shell/open_url.h"
#include "platform/win32/win32_error.h"

namespace platform::shell {

uint32_t OpenDocument(const std::string& path) {
  if (path.empty() || path.front() != '/') return ERROR_INVALID_PARAMETER;
  return OpenUrl(path);
}

}  // namespace platform::shell
