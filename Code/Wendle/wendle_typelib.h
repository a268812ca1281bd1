// The control's type library: the methods of _DWendle as a dispatch table,
// and its registration.
#pragma once

#include <string>

#include "platform/com/class_registry.h"
#include "platform/com/dispatch.h"

const platform::com::DispatchTable& WendleDispatchTable();

// WendleLib for the library file at libraryPath.
platform::com::TypeLibRegistration WendleTypeLib(const std::string& libraryPath);
