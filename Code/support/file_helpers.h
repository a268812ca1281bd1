// Small file helpers: length, whole-file read, existence, recursive folder
// creation. Paths are the platform's ("/" separated, UTF-8).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The file's length; -1 after printing (standard output) "The file %s was
// not opened\n", "Rest File postion Failed\n" or "End File postion Failed\n".
int64_t GetFileLength(const char* path);

// The whole file (c_str() ends it with a zero). It is read in pieces of
// READ_WHOLE_FILE_CHUNK bytes with a pause of READ_WHOLE_FILE_PAUSE_MS after
// each. Nothing when the file cannot be opened ("The file %s was not
// opened\n" on standard output) or read.
inline constexpr size_t READ_WHOLE_FILE_CHUNK = 1024;
inline constexpr int READ_WHOLE_FILE_PAUSE_MS = 100;
std::optional<std::string> ReadWholeFile(const char* path);

// 1 when path names an existing file that can be opened for reading, else 0
// (folders are not files).
int FileExists(const char* path);

// Creates the folder, first its missing parents (the text up to the last
// "/") the same way. Nonzero when the folder exists afterwards, also when it
// was already there or another process made it meanwhile; 0 otherwise
// (also when a file of that name is in the way).
int CreateDirectoryRecursive(const char* path);
