// The virtual adapter in the registry: its GUID (the class subkey whose
// ComponentId is "vqsvc"), its connection name (the Linux interface name),
// its interface index, and the TCP/IP binding order (`Bind`) as text with one
// entry per line.
#pragma once

#include <cstdint>
#include <string>

// The network adapter class key: one subkey per adapter with ComponentId and
// NetCfgInstanceId.
inline constexpr char kAdapterClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
// Below it "<GUID>\Connection" holds the connection name (`Name`).
inline constexpr char kNetworkConnectionsKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
inline constexpr char kTcpipLinkageKey[] = "SYSTEM\\CurrentControlSet\\services\\Tcpip\\Linkage";
inline constexpr char kTunComponentId[] = "vqsvc";
// Capacity of the adapter texts, in UTF-16 units with the terminator.
inline constexpr int kAdapterTextUnits = 256;

// The NetCfgInstanceId of the last class subkey whose REG_SZ ComponentId is
// "vqsvc" exactly, cut to size - 1 units. 0, or -1 when there is none.
int GetTunAdapterGuid(std::string& out, int size = kAdapterTextUnits);

// The REG_SZ `Name` of the adapter's connection key. 0 or the registry's
// Win32 code (13 when the value is not REG_SZ, 234 when it is longer than
// size - 1 units).
uint32_t GetAdapterConnectionName(const std::string& guid, std::string& name,
                                  uint32_t size = kAdapterTextUnits);

// The REG_SZ `DriverDesc` of the class subkey whose NetCfgInstanceId is
// guid: 0, the registry's Win32 code, or 1168 when no subkey has the GUID.
uint32_t GetAdapterDescription(const std::string& guid, std::string& description);

// The interface index of the adapter: its connection name is the name of
// the Linux interface. -1 when it cannot be found.
int64_t GetAdapterIndexByGuid(const std::string& guid);

// GetTunAdapterGuid then GetAdapterIndexByGuid: 0, or -1.
int GetTunAdapterIndex(uint32_t& index);

// The index of the interface named adapterName exactly, or -1.
int64_t GetAdapterIndexByName(const std::string& adapterName);

// `Bind` as one text, its strings separated by LF. Returns the registry's
// Win32 code; out is unchanged on failure.
uint32_t ReadTcpipBind(std::string& out);
// Writes the text back as REG_MULTI_SZ, each LF ending one string. Returns
// the registry's Win32 code.
uint32_t SetTcpipLinkageBind(const std::string& lines);

// The conversions between the two forms, on UTF-16 units: every NUL between
// two strings becomes LF (the final terminators stay); every LF becomes NUL.
std::u16string MultiSzToLines(std::u16string units);
std::u16string LinesToMultiSz(std::u16string units);
