// The component model's base interfaces. Only abstract classes like these
// cross the boundary of a library loaded with dlopen: calls are virtual,
// identity comes from QueryInterface by IID (never RTTI), and an object is
// freed by its own library when its last reference goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"

namespace platform::com {

class IUnknown {
 public:
  // S_OK with *out referenced, or E_NOINTERFACE with *out null.
  virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  // The object is gone once this returned 0.
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;  // never deleted through the interface
};

class IClassFactory : public IUnknown {
 public:
  // outer must be null (no aggregation: CLASS_E_NOAGGREGATION).
  virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) = 0;
  // Keeps the library loaded while locked.
  virtual HRESULT LockServer(bool lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// Owns one reference.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  ComPtr(const ComPtr& other) : p_(other.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  // Takes over a reference the caller already holds.
  static ComPtr Attach(T* p) {
    ComPtr out;
    out.p_ = p;
    return out;
  }
  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // For out parameters: releases what is held, then receives.
  void** PutVoid() {
    Reset();
    return reinterpret_cast<void**>(&p_);
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // The same object as another interface.
  template <typename U>
  HRESULT As(const IID& iid, ComPtr<U>& out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(iid, out.PutVoid());
  }

 private:
  T* p_ = nullptr;
};

// The reference count of an object; the object's class deletes itself
// when Release reaches 0.
class RefCount {
 public:
  uint32_t Add() { return ++count_; }
  uint32_t Drop() { return --count_; }

 private:
  std::atomic<uint32_t> count_{1};  // the creator's reference
};

}  // namespace platform::com
