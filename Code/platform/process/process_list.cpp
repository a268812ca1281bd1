#include "platform/process/process_list.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

namespace platform::process {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

bool ParsePid(const char* name, pid_t& pid) {
  if (!name[0]) return false;
  long value = 0;
  for (const char* p = name; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > 0x3FFFFFFF) return false;
  }
  pid = static_cast<pid_t>(value);
  return value > 0;
}

// "Name:" and the real uid of "Uid:" from a status file.
bool ReadStatus(const std::string& path, std::string& comm, uid_t& uid) {
  std::ifstream in(path);
  if (!in) return false;
  bool haveUid = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Name:", 0) == 0) {
      size_t start = line.find_first_not_of(" \t", 5);
      comm = start == std::string::npos ? std::string() : line.substr(start);
    } else if (line.rfind("Uid:", 0) == 0) {
      std::istringstream fields(line.substr(4));
      unsigned long real = 0;
      if (fields >> real) {
        uid = static_cast<uid_t>(real);
        haveUid = true;
      }
    }
  }
  return haveUid;
}

std::string ProgramName(const std::string& cmdlinePath) {
  std::ifstream in(cmdlinePath, std::ios::binary);
  std::string argv0;
  std::getline(in, argv0, '\0');
  const size_t slash = argv0.rfind('/');
  return slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
}

}  // namespace

std::vector<ProcessEntry> ListProcesses(const std::string& procRoot) {
  std::vector<ProcessEntry> list;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(procRoot.c_str()));
  if (!dir) return list;
  while (const dirent* entry = ::readdir(dir.get())) {
    ProcessEntry process;
    if (!ParsePid(entry->d_name, process.pid)) continue;
    const std::string base = procRoot + "/" + entry->d_name;
    if (!ReadStatus(base + "/status", process.comm, process.uid)) continue;
    process.program = ProgramName(base + "/cmdline");
    if (process.program.empty()) process.program = process.comm;
    list.push_back(std::move(process));
  }
  std::sort(list.begin(), list.end(),
            [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; });
  return list;
}

}  // namespace platform::process
