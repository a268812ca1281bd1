// For the lifetime of the object the tunnel service finds no desktop user
// to act for, so it reads this process's user's hive and store.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace vqtest {

class NoDesktopShells {
 public:
  NoDesktopShells() {
    if (const char* old = std::getenv("VQ_DESKTOP_SHELLS")) saved_ = old;
    ::setenv("VQ_DESKTOP_SHELLS", "vq-no-such-shell", 1);
  }
  ~NoDesktopShells() {
    if (saved_)
      ::setenv("VQ_DESKTOP_SHELLS", saved_->c_str(), 1);
    else
      ::unsetenv("VQ_DESKTOP_SHELLS");
  }
  NoDesktopShells(const NoDesktopShells&) = delete;
  NoDesktopShells& operator=(const NoDesktopShells&) = delete;

 private:
  std::optional<std::string> saved_;
};

}  // namespace vqtest
