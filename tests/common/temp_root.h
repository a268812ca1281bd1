// A fresh VQ_ROOT for one test, with HOME, XDG_CONFIG_HOME and TMPDIR inside
// it; the previous environment comes back and the folder is removed at the end.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace vqtest {

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  // path() + rel
  std::string At(const std::string& rel) const { return path_ + rel; }

 private:
  std::string path_;
  std::map<std::string, std::optional<std::string>> saved_;
};

// Whole file as bytes ("" when missing).
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Anything at path (a dangling link too).
bool PathExists(const std::string& path);

}  // namespace vqtest
