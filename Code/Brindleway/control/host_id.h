// The machine's identity as the login shows it to the gateway: a host
// identifier (MD5 of the board, processor and BIOS serials) and the host name.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace brindleway {

// The processor id: CPUID leaf 1 as "%08X%08X" of EDX then EAX; nullopt on
// processors without CPUID.
std::optional<std::string> ReadProcessorId();

// Where the serials come from; tests point these at fixtures.
struct HostIdSources {
  // Holds class/dmi/id/board_serial and class/dmi/id/product_serial.
  std::string sysfsRoot = "/sys";
  std::function<std::optional<std::string>()> processorId = ReadProcessorId;
};

// 32 lowercase hex digits of the MD5 of text; empty when hashing failed.
std::string MakeMD5(std::string_view text);

// True with the identifier in out; false, out untouched, when no serial
// could be read at all.
bool GetHostId(std::string& out, const HostIdSources& sources = HostIdSources{});

// True with the host name in out, false when the system gives none.
bool GetComputerHostName(std::string& out);

}  // namespace brindleway
