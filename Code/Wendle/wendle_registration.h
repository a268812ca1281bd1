// The control's self-registration: its type library, its class with the
// control's entries, the property page's class, and both safety categories.
#pragma once

#include <string>

#include "platform/com/hresult.h"

// DllRegisterServer / DllUnregisterServer for the library at libraryPath.
// SELFREG_E_TYPELIB or SELFREG_E_CLASS on failure. Unregistering keeps the
// categories and the class's marks of them.
platform::com::HRESULT RegisterWendle(const std::string& libraryPath);
platform::com::HRESULT UnregisterWendle(const std::string& libraryPath);
