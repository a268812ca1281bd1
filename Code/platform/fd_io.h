// Whole byte ranges over a file descriptor: short transfers are continued
// and interrupted calls made again.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

namespace platform {

// Exactly out.size() bytes; false on an error or an end of file before.
bool ReadFull(int fd, std::span<uint8_t> out);

// Up to out.size() bytes, fewer only at the end of the file; -1 on an error.
ssize_t ReadUpTo(int fd, std::span<uint8_t> out);

// All of data; false on an error or a write that takes nothing.
bool WriteFull(int fd, std::span<const uint8_t> data);

// The whole file at path into out: 0, or the errno of the open or read
// (ENOENT: there is no such file).
int ReadFileBytes(const std::string& path, std::string& out);

}  // namespace platform
