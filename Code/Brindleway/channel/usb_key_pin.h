// The set-up's USB-key PIN step: the desktop user's certificate settings
// name the provider, which gets the connection record's PIN.
#pragma once

#include "support/conn_info.h"

namespace brindleway {

// True when the provider took the PIN.
bool UsbKeyPinStep(const conn_info& info);

}  // namespace brindleway
