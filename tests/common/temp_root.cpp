#include "common/temp_root.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vqtest {

TempRoot::TempRoot() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vqroot.XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  const std::map<std::string, std::string> env = {
      {"VQ_ROOT", path_},
      {"HOME", path_ + "/home"},
      {"XDG_CONFIG_HOME", path_ + "/home/.config"},
      {"TMPDIR", path_ + "/tmp"},
  };
  for (const auto& [name, value] : env) {
    const char* old = std::getenv(name.c_str());
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  std::filesystem::create_directories(path_ + "/home/.config");
  std::filesystem::create_directories(path_ + "/tmp");
}

TempRoot::~TempRoot() {
  for (const auto& [name, value] : saved_) {
    if (value) ::setenv(name.c_str(), value->c_str(), 1);
    else ::unsetenv(name.c_str());
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool PathExists(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace vqtest
