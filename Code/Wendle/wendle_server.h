// The in-process server of the control: its class factory, the count of
// live objects and locks, and what the library's four exports do.
#pragma once

#include <string>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"

platform::com::HRESULT WendleGetClassObject(const platform::com::CLSID& clsid, const platform::com::IID& iid,
                                            void** out);
// S_OK when no object and no lock of the library is left, else S_FALSE.
platform::com::HRESULT WendleCanUnloadNow();
