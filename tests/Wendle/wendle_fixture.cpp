#include "Wendle/wendle_fixture.h"

#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "Wendle/cx_log.h"
#include "common/eventually.h"
#include "platform/paths/paths.h"
#include "platform/text/utf16.h"
#include "support/registry_helpers.h"

namespace vqtest {

namespace {

TempRoot& RootOf(std::optional<TempRoot>& own, TempRoot* existing) {
  if (existing) return *existing;
  own.emplace();
  return *own;
}

}  // namespace

WendleRoot::WendleRoot(TempRoot* existing) : root_(RootOf(own_, existing)) {}

void WendleRoot::InstallFakeClient() {
  if (RegWriteProductValue("QIMBO_HOME", kClientHome) != 0) throw std::runtime_error("QIMBO_HOME");
  const std::string bin = root_.At(std::string(kClientHome) + "/bin");
  std::filesystem::create_directories(bin);
  const std::string program = bin + "/Marrowlantern";
  // Arguments NUL-separated, so blanks and line ends show as they came.
  WriteFileBytes(program,
                 "#!/bin/sh\n"
                 "out=\"$(dirname \"$0\")/run\"\n"
                 "pwd > \"$out.cwd.tmp\"\n"
                 "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$out.argv.tmp\"\n"
                 "mv \"$out.argv.tmp\" \"$out.argv\"; mv \"$out.cwd.tmp\" \"$out.cwd\"\n");
  ::chmod(program.c_str(), 0755);
}

bool WendleRoot::ClientRan() {
  return std::filesystem::exists(root_.At(std::string(kClientHome) + "/bin/run.cwd"));
}

std::vector<std::string> WendleRoot::ClientArgv(bool wait) {
  if (wait) Eventually([&] { return ClientRan(); });
  if (!ClientRan()) return {};
  const std::string bytes = ReadFileBytes(root_.At(std::string(kClientHome) + "/bin/run.argv"));
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\0') {
      out.push_back(bytes.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

std::string WendleRoot::ClientCwd() {
  std::string cwd = ReadFileBytes(root_.At(std::string(kClientHome) + "/bin/run.cwd"));
  if (!cwd.empty() && cwd.back() == '\n') cwd.pop_back();
  return cwd;
}

void WendleRoot::HoldClientLock() {
  if (clientLock_.Acquire("Global\\VardenlowMarrowlantern", platform::InstanceLock::Role::Console) != 0)
    throw std::runtime_error("client lock");
}

std::string WendleRoot::WendleLogBytes() {
  CxLog* log = CxLog::Instance();
  log->Flush();
  return ReadFileBytes(log->path());
}

std::string WendleRoot::WendleLogText() {
  const std::string bytes = WendleLogBytes();
  if (bytes.size() < 2) return {};
  return Utf16ToUtf8(Utf16FromLeBytes(bytes.substr(2)));
}

}  // namespace vqtest
