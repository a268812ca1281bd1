#include "platform/com/component_loader.h"

#include <dlfcn.h>

#include "platform/com/class_registry.h"
#include "platform/com/unknown.h"

namespace platform::com {

ComponentLoader::~ComponentLoader() { FreeUnusedLibraries(); }

HRESULT ComponentLoader::Load(const std::string& path, Module*& out) {
  if (auto it = modules_.find(path); it != modules_.end()) {
    out = &it->second;
    return S_OK;
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return CO_E_DLLNOTFOUND;
  Module m;
  m.handle = handle;
  m.getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
  m.canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
  if (!m.getClassObject) {
    dlclose(handle);
    return CO_E_ERRORINDLL;
  }
  out = &modules_.emplace(path, m).first->second;
  return S_OK;
}

HRESULT ComponentLoader::GetClassObject(const CLSID& clsid, const IID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  std::string path;
  if (const HRESULT hr = InprocServerOf(clsid, path); FAILED(hr)) return hr;
  std::lock_guard lock(mutex_);
  Module* m = nullptr;
  if (const HRESULT hr = Load(path, m); FAILED(hr)) return hr;
  return m->getClassObject(clsid, iid, out);
}

HRESULT ComponentLoader::CreateInstance(const CLSID& clsid, const IID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ComPtr<IClassFactory> factory;
  if (const HRESULT hr = GetClassObject(clsid, IID_IClassFactory, factory.PutVoid()); FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, iid, out);
}

HRESULT ComponentLoader::CreateInstanceByProgId(std::string_view progId, const IID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  CLSID clsid;
  if (const HRESULT hr = CLSIDFromProgID(progId, clsid); FAILED(hr)) return hr;
  return CreateInstance(clsid, iid, out);
}

void ComponentLoader::FreeUnusedLibraries() {
  std::lock_guard lock(mutex_);
  for (auto it = modules_.begin(); it != modules_.end();) {
    if (it->second.canUnloadNow && it->second.canUnloadNow() == S_OK) {
      dlclose(it->second.handle);
      it = modules_.erase(it);
    } else {
      ++it;
    }
  }
}

size_t ComponentLoader::LoadedCount() const {
  std::lock_guard lock(mutex_);
  return modules_.size();
}

}  // namespace platform::com
