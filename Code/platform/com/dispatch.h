// Scripting by name: IDispatch and the member table an object's dispatch
// is built from (the type library of its methods). Names match without
// regard to case; arguments are coerced to the member's types the way a
// script host coerces them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace platform::com {

using DISPID = int32_t;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_ABOUTBOX = -552;

inline constexpr uint16_t DISPATCH_METHOD = 0x1;
inline constexpr uint16_t DISPATCH_PROPERTYGET = 0x2;

class IDispatch : public IUnknown {
 public:
  // One dispid per name; DISP_E_UNKNOWNNAME when any is unknown (its id
  // DISPID_UNKNOWN, the others filled).
  virtual HRESULT GetIDsOfNames(std::span<const std::string> names, DISPID* ids) = 0;
  // args in call order. DISP_E_MEMBERNOTFOUND, DISP_E_BADPARAMCOUNT, or
  // DISP_E_TYPEMISMATCH / DISP_E_OVERFLOW with *argErr the argument's index.
  // result (may be null) gets the member's value, VT_EMPTY for none.
  virtual HRESULT Invoke(DISPID id, uint16_t flags, std::span<const Variant> args, Variant* result,
                         uint32_t* argErr) = 0;

 protected:
  ~IDispatch() = default;
};

struct DispMember {
  DISPID id = DISPID_UNKNOWN;
  std::string_view name;
  std::vector<VARTYPE> params;
  VARTYPE result = VT_EMPTY;  // VT_EMPTY: the member returns nothing
};

class DispatchTable {
 public:
  DispatchTable(std::initializer_list<DispMember> members) : members_(members) {}

  HRESULT IdsOfNames(std::span<const std::string> names, DISPID* ids) const;
  const DispMember* Find(DISPID id) const;
  // The member and its arguments coerced to its parameter types.
  HRESULT Prepare(DISPID id, uint16_t flags, std::span<const Variant> args, std::vector<Variant>& coerced,
                  uint32_t* argErr, const DispMember*& member) const;
  std::span<const DispMember> members() const { return members_; }

 private:
  std::vector<DispMember> members_;
};

// Calls a member by name on an object: the names, then the call.
HRESULT InvokeByName(IDispatch& object, const std::string& name, std::span<const Variant> args, Variant* result,
                     uint32_t* argErr = nullptr);

}  // namespace platform::com
