#include "Brindleway/control/host_id.h"

#include <openssl/evp.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cstdio>
#include <fstream>
#include <iterator>

#include "support/log.h"

namespace brindleway {
namespace {

// A value this short is no serial (placeholders such as "0" or "NA").
constexpr size_t kMinSerialLength = 4;
// Longest host name kept, as the login's buffer.
constexpr size_t kHostNameSize = 260;

std::optional<std::string> ReadSysfsValue(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string value((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' ' ||
                            value.back() == '\t' || value.back() == '\0')) {
    value.pop_back();
  }
  return value;
}

// Appends "%d%s" of one obtained value; a short one counts as empty.
void AppendPart(std::string& text, std::string value) {
  if (value.size() < kMinSerialLength) value.clear();
  text += std::to_string(value.size());
  text += value;
}

// One source's part of the original text: logged and appended when the
// source gave a value, its failure logged when not. True when it gave one.
bool TakePart(std::string& original, const std::optional<std::string>& value, std::string_view foundFormat,
              std::string_view missingText) {
  if (!value) {
    LogPrint(LOG_DEBUG, missingText);
    return false;
  }
  LogPrint(LOG_DEBUG, foundFormat, *value);
  AppendPart(original, *value);
  return true;
}

}  // namespace

std::optional<std::string> ReadProcessorId() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return std::nullopt;
  char text[17];
  std::snprintf(text, sizeof text, "%08X%08X", edx, eax);
  return std::string(text);
#else
  return std::nullopt;
#endif
}

std::string MakeMD5(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1 || length != 16) return {};
  std::string hex;
  char pair[3];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

bool GetHostId(std::string& out, const HostIdSources& sources) {
  const std::string dmi = sources.sysfsRoot + "/class/dmi/id/";
  std::string original;
  // Every source is asked, in this order, whatever the ones before gave.
  const bool board = TakePart(original, ReadSysfsValue(dmi + "board_serial"), "Get SerialNumber = %s \n",
                              "Get SerialNumber erro \n");
  const bool processor = TakePart(original, sources.processorId ? sources.processorId() : std::nullopt,
                                  "Get ProcessorId = %s  \n", "Get ProcessorId erro \n");
  const bool bios = TakePart(original, ReadSysfsValue(dmi + "product_serial"), "Get SerialNumber = %s  \n",
                             "Get SerialNumber error  \n");

  if (!board && !processor && !bios) return false;
  LogPrint(LOG_DEBUG, "Get MakeMD5 begin  strOriginalPCID = %s  \n", original);
  std::string id = MakeMD5(original);
  if (id.empty()) return false;
  out = std::move(id);
  return true;
}

bool GetComputerHostName(std::string& out) {
  char name[kHostNameSize + 1] = {};
  if (::gethostname(name, kHostNameSize) != 0) return false;
  name[kHostNameSize] = '\0';
  if (name[0] == '\0') return false;
  out = name;
  return true;
}

}  // namespace brindleway
