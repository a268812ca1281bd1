// The UTF-8 <-> UTF-16 helpers live in the platform layer, where the
// user-interface model needs them too.
#pragma once

#include "platform/text/utf16.h"
