// A folder laid out like /proc for process-list tests: one folder per pid
// with an "exe" link, "cmdline", "comm" and "status", each only when given.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vqtest {

struct FakeProcess {
  std::optional<std::string> exeTarget;  // what the exe link points at
  std::optional<std::string> argv0;      // cmdline = argv0 NUL "--flag" NUL
  std::optional<std::string> comm;       // written with its newline
  std::optional<uid_t> uid;              // status: this real uid, effective uid + 1
};

class FakeProcRoot {
 public:
  // Creates dir (and its parents).
  explicit FakeProcRoot(std::string dir);
  void Add(int pid, const FakeProcess& process) const;
  // A process that shows only its executable's name, the usual case.
  void AddNamed(int pid, const std::string& exeFile) const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace vqtest
