// The four exports of libWendle.so, the only symbols it shows.
#include "Wendle/wendle_registration.h"
#include "Wendle/wendle_server.h"
#include "platform/com/class_registry.h"

using namespace platform::com;

namespace {

std::string ThisLibrary() {
  static const char anchor = 0;
  return ModulePathOf(&anchor);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) HRESULT DllRegisterServer() { return RegisterWendle(ThisLibrary()); }

__attribute__((visibility("default"))) HRESULT DllUnregisterServer() { return UnregisterWendle(ThisLibrary()); }

__attribute__((visibility("default"))) HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** out) {
  return WendleGetClassObject(clsid, iid, out);
}

__attribute__((visibility("default"))) HRESULT DllCanUnloadNow() { return WendleCanUnloadNow(); }
}
