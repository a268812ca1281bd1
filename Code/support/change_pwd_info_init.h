// Clears a password-change record before it is filled.
#pragma once

#include "support/conn_info.h"

// Empties user name, old and new password; the passwords' previous bytes
// are overwritten first so no copy of them stays behind in the buffers.
void InitChangePwdInfo(change_pwd_info* info);
