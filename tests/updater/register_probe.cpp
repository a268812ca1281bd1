// A component library for the updater's tests: its DllRegisterServer writes
// the path it was loaded from to $VQ_TEST_REGISTER_RECORD (whole or not at
// all) and answers S_OK.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" __attribute__((visibility("default"))) int32_t DllRegisterServer() {
  const char* record = std::getenv("VQ_TEST_REGISTER_RECORD");
  if (record == nullptr) return 1;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) == 0 || info.dli_fname == nullptr) return 1;
  const std::string partial = std::string(record) + ".part";
  FILE* file = std::fopen(partial.c_str(), "w");
  if (file == nullptr) return 1;
  std::fputs(info.dli_fname, file);
  std::fclose(file);
  return std::rename(partial.c_str(), record) == 0 ? 0 : 1;
}
