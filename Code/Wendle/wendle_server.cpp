#include "Wendle/wendle_server.h"

#include <atomic>
#include <new>

#include "Wendle/wendle_ctrl.h"
#include "Wendle/wendle_ids.h"

using namespace platform::com;

namespace {

std::atomic<long> g_moduleRefs{0};

class CWendleFactory final : public IClassFactory {
 public:
  CWendleFactory() { WendleModuleAddRef(); }

  HRESULT QueryInterface(const IID& iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.Add(); }
  uint32_t Release() override {
    const uint32_t left = refs_.Drop();
    if (left == 0) delete this;
    return left;
  }

  HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* ctrl = new (std::nothrow) CWendleCtrl();
    if (!ctrl) return E_OUTOFMEMORY;
    const HRESULT hr = ctrl->QueryInterface(iid, out);
    ctrl->Release();  // the creator's reference; QueryInterface holds the page's
    return hr;
  }
  HRESULT LockServer(bool lock) override {
    if (lock)
      WendleModuleAddRef();
    else
      WendleModuleRelease();
    return S_OK;
  }

 private:
  ~CWendleFactory() { WendleModuleRelease(); }
  RefCount refs_;
};

}  // namespace

void WendleModuleAddRef() { ++g_moduleRefs; }
void WendleModuleRelease() { --g_moduleRefs; }

HRESULT WendleGetClassObject(const CLSID& clsid, const IID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  // The property page has no frame to be shown in here: only the control
  // is made.
  if (clsid != wendle::CLSID_Wendle) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) CWendleFactory();
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(iid, out);
  factory->Release();
  return hr;
}

HRESULT WendleCanUnloadNow() { return g_moduleRefs.load() == 0 ? S_OK : S_FALSE; }
