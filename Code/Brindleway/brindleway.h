// Program entry of the tunnel service and its command line ("s:d").
#pragma once

namespace brindleway {

// _tmain: no argument runs the service body in the console; -s install,
// uninstall, start, stop or control; -d removes the adapter's connection key.
// 0 when the chosen action succeeded, else non-zero.
int BrindlewayMain(int argc, const char* const argv[]);

int ProcessOptions(int argc, const char* const argv[]);

// -1 when the virtual adapter is not found; else 0 or -1 after printing
// "Success!" or "Failure.".
int RemoveAdapterConnectionKey();

}  // namespace brindleway
