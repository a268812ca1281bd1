// Program entry of the tunnel service and its command line ("s:d").
#pragma once

#include <string>
#include <string_view>

#include "platform/registry/registry.h"

namespace brindleway {

// _tmain: no argument runs the service body in the console; -s install,
// uninstall, start, stop or control; -d removes the adapter's connection key.
// 0 when the chosen action succeeded, else non-zero.
int BrindlewayMain(int argc, const char* const argv[]);

int ProcessOptions(int argc, const char* const argv[]);

// -1 when the virtual adapter is not found; else as
// RemoveAdapterConnectionKeyFor.
int RemoveAdapterConnectionKey();

// Deletes the adapter's connection key (HKEY_LOCAL_MACHINE, network class
// key\<guid>) with all its subkeys and prints "Success!" (0) or "Failure."
// (-1) on standard output. A missing key counts as deleted.
int RemoveAdapterConnectionKeyFor(const std::string& guid);

// The recursive delete of parent\name: prints "Key not found." (success)
// or "Error opening key." (failure) on the way; stops with a failure at the
// first subkey it cannot delete.
bool DeleteRegistryTree(const platform::registry::Key& parent, std::string_view name);

}  // namespace brindleway
