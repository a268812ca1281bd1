#include "platform/com/dispatch.h"

#include <strings.h>

namespace platform::com {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

HRESULT DispatchTable::IdsOfNames(std::span<const std::string> names, DISPID* ids) const {
  if (!ids) return E_POINTER;
  HRESULT hr = S_OK;
  for (size_t i = 0; i < names.size(); ++i) {
    ids[i] = DISPID_UNKNOWN;
    for (const DispMember& m : members_)
      if (SameName(m.name, names[i])) ids[i] = m.id;
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

const DispMember* DispatchTable::Find(DISPID id) const {
  for (const DispMember& m : members_)
    if (m.id == id) return &m;
  return nullptr;
}

HRESULT DispatchTable::Prepare(DISPID id, uint16_t flags, std::span<const Variant> args,
                               std::vector<Variant>& coerced, uint32_t* argErr, const DispMember*& member) const {
  member = Find(id);
  if (!member || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  if (args.size() != member->params.size()) return DISP_E_BADPARAMCOUNT;
  coerced.assign(args.size(), Variant());
  for (size_t i = 0; i < args.size(); ++i) {
    if (const HRESULT hr = ChangeType(args[i], member->params[i], coerced[i]); FAILED(hr)) {
      if (argErr) *argErr = static_cast<uint32_t>(i);
      return hr == E_INVALIDARG ? DISP_E_TYPEMISMATCH : hr;
    }
  }
  return S_OK;
}

HRESULT InvokeByName(IDispatch& object, const std::string& name, std::span<const Variant> args, Variant* result,
                     uint32_t* argErr) {
  DISPID id = DISPID_UNKNOWN;
  if (const HRESULT hr = object.GetIDsOfNames(std::span(&name, 1), &id); FAILED(hr)) return hr;
  return object.Invoke(id, DISPATCH_METHOD, args, result, argErr);
}

}  // namespace platform::com
