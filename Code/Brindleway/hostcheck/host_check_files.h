// The host-check files in the tunnel service's folder, and the only ways
// the service touches them. The script runs as the desktop user while the
// service is root, so every open is relative to the folder and never
// follows a link; the folder must be ours and writable by no one else, so
// the script's user can't swap a file for a link between two steps; the
// files the script writes are made fresh for that user before each run;
// whatever the service reads has a size limit.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace brindleway {

// The script as the gateway sent it: gzip-compressed UTF-8 text.
inline constexpr char kScriptDataFile[] = "SecurityCheck.data";
// Temporary: the unpacked script converted to UTF-16.
inline constexpr char kUnzipTempFile[] = "TempUnZipVBSFile.zbs";
// The script that runs.
inline constexpr char kScriptFile[] = "SecurityCheck.vbs";
// Written by the script: its result (sent to the gateway), its log, and an
// error text for the user.
inline constexpr char kCheckResultFile[] = "SecurityCheckResult.data";
inline constexpr char kCheckLogFile[] = "SecurityCheckLog.txt";
inline constexpr char kHostCheckErrorFile[] = "HostCheckErrorInfo.txt";
// Where a new script file is written before it replaces the old one.
inline constexpr char kScriptDataTempFile[] = "SecurityCheck.data.new";

using Md5Digest = std::array<uint8_t, 16>;

// The MD5 of bytes (script and result are compared by it); none when it
// cannot be computed.
std::optional<Md5Digest> Md5OfBytes(std::span<const uint8_t> bytes);

class HostCheckFolder {
 public:
  explicit HostCheckFolder(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // The whole regular file name, when it holds at most limit bytes.
  std::optional<std::string> Read(const char* name, size_t limit) const;
  // MD5 of the regular file name (at most limit bytes).
  std::optional<Md5Digest> Md5(const char* name, size_t limit) const;
  // The regular file name open for reading; invalid when there is none.
  platform::UniqueFd OpenRead(const char* name) const;
  // The regular file name exists and is not empty.
  bool HasContent(const char* name) const;
  // Writes bytes to tempName (made fresh with mode) and renames it over
  // name; on any failure the old file stays and tempName is gone.
  bool Replace(const char* name, std::string_view bytes, mode_t mode, const char* tempName) const;
  // Removes name (a link is removed, not followed); true when it is gone.
  bool Remove(const char* name) const;
  // A fresh empty file name owned by uid and gid, for the script to write.
  bool CreateFor(const char* name, uid_t uid, gid_t gid) const;
  // The folder is ours and no one else may create, rename or remove in it.
  bool IsGuarded() const;

 private:
  platform::UniqueFd OpenDir() const;

  std::string path_;
};

}  // namespace brindleway
