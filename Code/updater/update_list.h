// The gateway's update list: an XML document whose File elements, wherever
// they stand, each describe one client file.
//
//   <File>
//     <FileName>qimbo.exe</FileName>      name here, key of the version test
//     <FileVersion>1.0.2.0</FileVersion>  compared with the product version
//     <Length>123456</Length>             size, for the progress bars
//     <InstallDir>CURRENTDIR</InstallDir> or WINDOWSDIR, SYSTEMDIR
//     <LocalPath>sub\dir</LocalPath>      folders below the install folder
//     <URL>files/qimbo.exe</URL>          path on the gateway
//     <Register>YES</Register>  <Execute>YES</Execute>  <ExecutePar>...</ExecutePar>
//     ...
//   </File>
//
// Child names compare without regard to case, and the last of a repeated
// child counts; a value is the child's text without surrounding white space.
// No DTD is read and no entity of one is expanded.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "updater/constants.h"
#include "updater/target_path.h"

namespace thimbleset {

struct UpdateEntry {
  int64_t length = 0;
  std::string fileName;
  std::string fileVersion;
  std::string productVersion;
  bool registerFile = false;
  std::string installDir = kInstallCurrentDir;
  bool zipFile = false;
  bool forceOverwrite = false;
  bool execute = false;
  std::string executePar;
  std::string localPath;
  int32_t fileDateLow = 0;
  int32_t fileDateHigh = 0;
  std::string targetPath;  // computed after the element is read
  std::string url;
  std::string userName;
  std::string password;
  bool newer = false;  // set by TestVersion
};

class UpdateList {
 public:
  // The base folders of this process.
  UpdateList();
  explicit UpdateList(BaseFolders folders);

  // Empties the list and reads the file: one entry per File element in
  // document order. False, and the list empty, when the file is not a
  // well-formed document with an element, or an entry's target would not
  // stay below its base folder.
  bool Load(const std::string& path);

  // At the first entry named fileName (ASCII case ignored): sets its newer
  // flag to whether its FileVersion is newer than productVersion and
  // returns it. False when no entry has that name.
  bool TestVersion(std::string_view fileName, std::string_view productVersion);

  // The Length of the last newer entry named fileName; 0 when none.
  int64_t InstallerLength(std::string_view fileName);

  // The first entry, taken out of the list.
  std::optional<UpdateEntry> TakeFirst();

  size_t Count();

 private:
  std::mutex mutex_;
  const BaseFolders folders_;
  std::deque<UpdateEntry> entries_;
};

}  // namespace thimbleset
