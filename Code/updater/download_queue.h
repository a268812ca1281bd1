// The files an update fetches: one download item per update list entry,
// in list order, held by a queue with its own lock.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "updater/constants.h"
#include "updater/download_item.h"
#include "updater/update_list.h"

namespace thimbleset {

class DownloadQueue {
 public:
  void Append(std::unique_ptr<DownloadItem> item);
  // The first item, or null; it stays in the queue.
  DownloadItem* First();
  bool Contains(const DownloadItem* item);
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
