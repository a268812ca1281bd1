// Creating objects of registered classes (CoCreateInstance by ProgID):
// ProgID -> CLSID -> InprocServer32 -> dlopen -> DllGetClassObject. The
// loader keeps each library it loaded and unloads one only when the
// library's DllCanUnloadNow says no object or lock of it is left.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"

namespace platform::com {

// The exports of an in-process server.
using DllGetClassObjectFn = HRESULT (*)(const CLSID& clsid, const IID& iid, void** out);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

class ComponentLoader {
 public:
  ComponentLoader() = default;
  // Unloads what may be unloaded; a library with objects still alive stays
  // loaded for the rest of the process.
  ~ComponentLoader();
  ComponentLoader(const ComponentLoader&) = delete;
  ComponentLoader& operator=(const ComponentLoader&) = delete;

  // REGDB_E_CLASSNOTREG (unknown ProgID or class), CO_E_DLLNOTFOUND (the
  // library does not load), CO_E_ERRORINDLL (no DllGetClassObject), or
  // the factory's result.
  HRESULT CreateInstanceByProgId(std::string_view progId, const IID& iid, void** out);
  HRESULT CreateInstance(const CLSID& clsid, const IID& iid, void** out);
  HRESULT GetClassObject(const CLSID& clsid, const IID& iid, void** out);

  // CoFreeUnusedLibraries: dlclose of every library whose DllCanUnloadNow
  // answers S_OK.
  void FreeUnusedLibraries();
  size_t LoadedCount() const;

 private:
  struct Module {
    void* handle = nullptr;
    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;
  };
  HRESULT Load(const std::string& path, Module*& out);

  mutable std::mutex mutex_;
  std::map<std::string, Module> modules_;  // by library path
};

}  // namespace platform::com
