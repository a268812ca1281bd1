// libPelldorn.so as its callers use it: loaded at run time, bound by the
// export's name, and reading the caller's current directory.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "avdetect/detector_log.h"
#include "common/temp_root.h"

namespace {

struct LibraryCloser {
  void operator()(void* handle) const { ::dlclose(handle); }
};
using Library = std::unique_ptr<void, LibraryCloser>;

// Changes the current directory for its lifetime.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::filesystem::path& dir) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~CurrentDirectory() {
    std::error_code ec;
    std::filesystem::current_path(saved_, ec);
  }
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::filesystem::path saved_;
};

TEST(PelldornLibraryTest, ExportsOnlyPelldornProc) {
  Library lib(::dlopen(PELLDORN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL));
  ASSERT_TRUE(lib) << ::dlerror();
  EXPECT_NE(::dlsym(lib.get(), "PelldornProc"), nullptr);
  // The detector and the support code linked into the library stay inside.
  EXPECT_EQ(::dlsym(lib.get(), "_ZN11CAvDetector11ExecuteProcEv"), nullptr);
  EXPECT_EQ(::dlsym(lib.get(),
                    "_Z18AppendDebugLogTextRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEESt17basic_string_"
                    "viewIcS2_E"),
            nullptr);
}

TEST(PelldornLibraryTest, UsesTheCallersCurrentDirectory) {
  vqtest::TempRoot root;
  const std::filesystem::path listing = std::filesystem::path(root.path()) / "with-signatures";
  const std::filesystem::path bare = std::filesystem::path(root.path()) / "without";
  std::filesystem::create_directories(listing);
  std::filesystem::create_directories(bare);
  // This test program is a running process of the list.
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  vqtest::WriteFileBytes((listing / "signatures.ini").string(), "[Test]\nNAME_LIST=" + self + "\n");

  Library lib(::dlopen(PELLDORN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL));
  ASSERT_TRUE(lib) << ::dlerror();
  using Proc = int32_t (*)();
  const auto proc = reinterpret_cast<Proc>(::dlsym(lib.get(), "PelldornProc"));
  ASSERT_NE(proc, nullptr);

  {
    CurrentDirectory cd(listing);
    EXPECT_EQ(proc(), 1);
  }
  const std::string listingDir = std::filesystem::canonical(listing).string();
  const auto found = avtest::ReadDetectorLog(listingDir + "/PelldornLog.txt");
  ASSERT_GE(found.messages.size(), 2u);
  EXPECT_EQ(found.messages[1], "m_strFilePath is \"" + listingDir + "/signatures.ini\"");
  EXPECT_EQ(found.messages.back(), "Detected anti-virus process \"" + self + "\".");

  {
    CurrentDirectory cd(bare);
    EXPECT_EQ(proc(), -1);
  }
  const std::string bareDir = std::filesystem::canonical(bare).string();
  EXPECT_EQ(avtest::ReadDetectorLog(bareDir + "/PelldornLog.txt").messages,
            avtest::NoSignatureLines(bareDir + "/signatures.ini"));
  // The first directory's log did not grow.
  EXPECT_EQ(avtest::ReadDetectorLog(listingDir + "/PelldornLog.txt").messages.size(), found.messages.size());
}

}  // namespace
