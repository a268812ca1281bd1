// vqregsvr [/u] [/s] LIBRARY: loads a component library and calls its
// DllRegisterServer (or DllUnregisterServer with /u). /s prints nothing.
// Exit status 0 when the export answered S_OK.
#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/com/component_loader.h"
#include "platform/com/hresult.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: vqregsvr [/u] [/s] LIBRARY\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace platform::com;
  bool unregister = false;
  bool silent = false;
  std::string library;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "/u" || arg == "-u" || arg == "/U")
      unregister = true;
    else if (arg == "/s" || arg == "-s" || arg == "/S")
      silent = true;
    else if (library.empty() && !arg.empty())
      library = arg;  // an absolute path starts with '/' too
    else
      return Usage();
  }
  if (library.empty()) return Usage();
  // A bare name would make dlopen search the library path instead.
  if (library.find('/') == std::string::npos) library = "./" + library;

  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (!silent) std::fprintf(stderr, "LoadLibrary(\"%s\") failed: %s\n", library.c_str(), dlerror());
    return 3;
  }
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  const auto fn = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, entry));
  if (!fn) {
    if (!silent) std::fprintf(stderr, "%s was not found in %s.\n", entry, library.c_str());
    dlclose(handle);
    return 4;
  }
  const HRESULT hr = fn();
  if (!silent) {
    if (hr == S_OK)
      std::printf("%s in %s succeeded.\n", entry, library.c_str());
    else
      std::fprintf(stderr, "%s in %s failed.\nReturn code was: 0x%08x\n", entry, library.c_str(),
                   static_cast<unsigned>(hr));
  }
  // The library's statics end here, before the process's own.
  dlclose(handle);
  return hr == S_OK ? 0 : 5;
}
