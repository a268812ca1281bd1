// The files an update fetches: one download item per update list entry,
// in list order, held by a queue with its own lock.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "updater/constants.h"
#include "updater/update_list.h"

namespace thimbleset {

struct DownloadItem {
  bool statusReporting = false;
  uint32_t kind = DOWNLOAD_KIND_UPDATE;
  std::string targetPath;
  std::string name;
  std::string url;  // empty when the entry names no file on the gateway
  uint32_t expectedLength = 0;
  bool registerFile = false;
  bool zipFile = false;
  bool forceOverwrite = false;
  bool execute = false;
  std::string executePar;
};

class DownloadQueue {
 public:
  void Append(std::unique_ptr<DownloadItem> item);
  // The first item, or null; it stays in the queue.
  DownloadItem* First();
  // Takes the item out of the queue and destroys it; false when it is not in it.
  bool Remove(const DownloadItem* item);
  size_t Count();
  void Clear();

 private:
  std::mutex mutex_;
  std::list<std::unique_ptr<DownloadItem>> items_;
};

// After a check that found a newer installer: one item of kind "update"
// per entry of the list, every entry in order (the list is left empty),
// fetched from "SCHEME://HOST:PORT/URL" of the list URL's scheme, host and
// port and the entry's URL. False when the list URL does not split.
bool FillDownloadQueue(const std::string& listUrl, UpdateList& list, DownloadQueue& queue);

}  // namespace thimbleset
