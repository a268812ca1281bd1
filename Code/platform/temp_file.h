// GetTempFileName for a file that lives only as long as its owner: an
// empty file with a fresh name "PREFIXxxxxxxSUFFIX" made in a folder (mode
// 0600, never an existing name), removed again when the owner goes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

class ScopedTempFile {
 public:
  ScopedTempFile() = default;
  ~ScopedTempFile();  // removes the file
  ScopedTempFile(const ScopedTempFile&) = delete;
  ScopedTempFile& operator=(const ScopedTempFile&) = delete;

  // 0, or a Win32 code when the folder holds no new file.
  uint32_t Create(const std::string& folder, std::string_view prefix, std::string_view suffix);
  void Remove();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace platform
