// Saved logins that an earlier version kept as values of the settings key
// under HKEY_LOCAL_MACHINE; they move into the key=value settings list once.
#pragma once

#include "support/config_list.h"

// What ImportRegistryLogins met.
struct RegistryLoginImport {
  bool found = false;  // LoginUserNum is in the registry
  int added = 0;       // entries put into the list
};

// Reads LoginUserNum; when present puts it, each "LoginUser%d" (1 to n) that
// can be read, and LoginUserCurrent when present at the front of the list,
// in that order. A key the list already holds is left out: the list's value
// was saved later than the registry's.
RegistryLoginImport ImportRegistryLogins(ConfigList& list);

// Deletes LoginUserCurrent, DefaultVPNServer, DefaultVPNPort, each
// "LoginUser%d" of the stored LoginUserNum, then LoginUserNum. 0 when none
// of them is left (missing ones count as deleted), -1 otherwise.
int DeleteRegistryLogins();
