// A file that is rewritten whole without ever being half-written: the new
// content goes to a temporary file beside it, is synced, and only then
// renamed over the old one. Until Commit succeeds the old file stays exactly
// as it was; a replacement that is dropped or fails leaves no temporary file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace platform {

class ReplacementFile {
 public:
  ReplacementFile() = default;
  // Removes the temporary file unless Commit succeeded.
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the temporary file beside path (the folder must exist); its mode
  // is 0666 less the umask, as a newly opened file's. 0 or a Win32 code.
  uint32_t Open(const std::string& path);
  // The file's permission bits exactly, umask or not. 0 or a Win32 code.
  uint32_t SetMode(unsigned mode);
  // 0 or a Win32 code (the disk is full, the file too large, ...).
  uint32_t Write(std::span<const uint8_t> bytes);
  uint32_t Write(std::string_view bytes);
  // Syncs, closes and renames over the target, then syncs the folder. 0 or a
  // Win32 code; after a failure the target is untouched.
  uint32_t Commit();

 private:
  void Discard();

  std::string path_;
  std::string temp_;
  UniqueFd fd_;
};

// Open, Write, Commit in one call.
uint32_t ReplaceFileContents(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace platform
