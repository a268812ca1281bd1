// A stand-in installer: writes how it was started to the file
// $VQ_TEST_INSTALLER_RECORD (its arguments, one a line, then whether it
// session and how many descriptors it holds) and ends.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const char* record = std::getenv("VQ_TEST_INSTALLER_RECORD");
  if (record == nullptr) return 2;
  std::string text;
  for (int i = 0; i < argc; ++i) text += std::string("arg=") + argv[i] + "\n";
  text += "session=" + std::to_string(::getsid(0)) + "\n";
  int fds = -1;  // the directory's own descriptor is not counted
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++fds;
    }
    ::closedir(dir);
  }
  text += "descriptors=" + std::to_string(fds) + "\n";
  // Whole or not at all: the test waits for the name.
  const std::string partial = std::string(record) + ".part";
  FILE* file = std::fopen(partial.c_str(), "w");
  if (file == nullptr) return 1;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
  return std::rename(partial.c_str(), record) == 0 ? 0 : 1;
}
