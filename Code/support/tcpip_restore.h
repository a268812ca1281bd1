// A copy of the TCP/IP interface settings in a .reg file of the install
// folder, written and read back with the registry tool.
#pragma once

#include <string>

// The key the copy holds.
inline constexpr char kTcpipInterfacesKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";

// <program files>/Vardenlow/Vardenlow Marrowlantern/Restore.reg
std::string TcpipRestoreFilePath();

// The registry tool: $VQ_REGEDIT when set, else vqregedit beside the running
// program, else vqregedit from PATH.
std::string RegistryToolPath();

// restore != 0: imports the file ("/s"); 0: exports the key into it ("/e").
// Runs the registry tool (arguments as a vector, no shell) and waits for it:
// nonzero when it ran and succeeded, 0 otherwise.
int RestoreTcpipInterfaces(int restore);
