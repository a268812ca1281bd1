#include "common/fake_proc_root.h"

#include <filesystem>
#include <utility>

#include "common/temp_root.h"

namespace vqtest {

FakeProcRoot::FakeProcRoot(std::string dir) : dir_(std::move(dir)) { std::filesystem::create_directories(dir_); }

void FakeProcRoot::Add(int pid, const FakeProcess& process) const {
  const std::string base = dir_ + "/" + std::to_string(pid);
  std::filesystem::create_directories(base);
  if (process.exeTarget) std::filesystem::create_symlink(*process.exeTarget, base + "/exe");
  if (process.argv0) WriteFileBytes(base + "/cmdline", *process.argv0 + std::string(1, '\0') + "--flag" + std::string(1, '\0'));
  if (process.comm) WriteFileBytes(base + "/comm", *process.comm + "\n");
  if (process.uid) {
    const std::string real = std::to_string(*process.uid);
    const std::string effective = std::to_string(*process.uid + 1);
    WriteFileBytes(base + "/status", "Name:\t" + process.comm.value_or("") + "\nState:\tS (sleeping)\nUid:\t" + real +
                                         "\t" + effective + "\t" + real + "\t" + real + "\nGid:\t0\t0\t0\t0\n");
  }
}

void FakeProcRoot::AddNamed(int pid, const std::string& exeFile) const {
  Add(pid, {"/opt/app/" + exeFile, "/opt/app/" + exeFile, exeFile.substr(0, 15), std::nullopt});
}

}  // namespace vqtest
