#include "updater/download_queue.h"

#include <utility>

#include "updater/list_url.h"

namespace thimbleset {

void DownloadQueue::Append(std::unique_ptr<DownloadItem> item) {
  std::lock_guard lock(mutex_);
  items_.push_back(std::move(item));
}

DownloadItem* DownloadQueue::First() {
  std::lock_guard lock(mutex_);
  return items_.empty() ? nullptr : items_.front().get();
}

bool DownloadQueue::Contains(const DownloadItem* item) {
  std::lock_guard lock(mutex_);
  for (const auto& held : items_)
    if (held.get() == item) return true;
  return false;
}

bool DownloadQueue::Remove(const DownloadItem* item) {
  std::unique_ptr<DownloadItem> removed;
  {
    std::lock_guard lock(mutex_);
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (it->get() != item) continue;
      removed = std::move(*it);
      items_.erase(it);
      break;
    }
  }
  // Destroyed outside the lock: an item may wait for its worker.
  return removed != nullptr;
}

size_t DownloadQueue::Count() {
  std::lock_guard lock(mutex_);
  return items_.size();
}

void DownloadQueue::Clear() {
  std::list<std::unique_ptr<DownloadItem>> items;
  {
    std::lock_guard lock(mutex_);
    items.swap(items_);
  }
}

bool FillDownloadQueue(const std::string& listUrl, UpdateList& list, DownloadQueue& queue) {
  const std::optional<ListUrl> url = SplitListUrl(listUrl);
  if (!url) return false;
  while (std::optional<UpdateEntry> entry = list.TakeFirst()) {
    auto item = std::make_unique<DownloadItem>();
    item->statusReporting = true;
    item->kind = DOWNLOAD_KIND_UPDATE;
    item->targetPath = entry->targetPath;
    item->name = entry->fileName;
    // Without a URL the entry has nothing to fetch; joined, it would fetch
    // the portal's front page as the file.
    if (!entry->url.empty())
      item->url = ServerUrl(url->url, entry->url);
    item->expectedLength = static_cast<uint32_t>(entry->length);
    item->registerFile = entry->registerFile;
    item->zipFile = entry->zipFile;
    item->forceOverwrite = entry->forceOverwrite;
    item->execute = entry->execute;
    item->executePar = entry->executePar;
    queue.Append(std::move(item));
  }
  return true;
}

}  // namespace thimbleset
