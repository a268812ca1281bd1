// Where a file of the update list goes on this machine: a base folder chosen
// by InstallDir, the entry's LocalPath below it, then its FileName.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace thimbleset {

// The three base folders, captured once.
struct BaseFolders {
  std::string current;  // the current folder ("CURRENTDIR" and unknown words)
  std::string windows;  // "WINDOWSDIR": where programs are found by name
  std::string system;   // "SYSTEMDIR": where libraries are found by name

  // The current folder of the process and the paths layer's two folders.
  static BaseFolders OfThisProcess();
};

// base/FileName, or base/LocalPath/FileName with '\' in LocalPath taken as
// a folder separator. Empty when the result would not stay below its base:
// a FileName that is not one plain component (empty, ".", "..", with '/'
// or '\'), or a LocalPath that is absolute or has a ".." part.
std::optional<std::string> TargetPath(const BaseFolders& folders, std::string_view installDir,
                                      std::string_view localPath, std::string_view fileName);

}  // namespace thimbleset
