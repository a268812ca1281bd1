#include "platform/temp_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/win32/win32_error.h"

namespace platform {

ScopedTempFile::~ScopedTempFile() { Remove(); }

uint32_t ScopedTempFile::Create(const std::string& folder, std::string_view prefix, std::string_view suffix) {
  Remove();
  std::string pattern = folder + "/" + std::string(prefix) + "XXXXXX" + std::string(suffix);
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemps(name.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (fd < 0) return Win32FromErrno(errno);
  ::close(fd);
  path_.assign(name.data());
  return 0;
}

void ScopedTempFile::Remove() {
  if (path_.empty()) return;
  ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace platform
