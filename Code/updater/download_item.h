// One file of an update: where it comes from, where it goes, what happens
// to it once it is there, and the worker thread that fetches it.
//
// The worker, step by step:
//   1. an empty URL ends with 9, one that does not split with 1;
//   2. GET with "Accept: */*" and "User-Agent: Vardenlow Thimbleset"; a
//      certificate of an unknown authority or for another name passes, one
//      out of date or broken does not (2); the process's cookies of that
//      server go along; a redirect within the scheme is followed, at most 5;
//   3. a status other than 200 ends with the status;
//   4. the folder of the target is made when missing, the body goes to
//      "<target>.update" (8 when it cannot be made or written); each piece
//      is reported with its size;
//   5. a body cut short ends with 6, a cancel with 8, and in both cases the
//      partial ".update" file is removed;
//   6. the end is reported with the code, whatever it is.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/sync/event.h"
#include "updater/constants.h"

namespace thimbleset {

class DownloadItem;

// Reports of a worker, posted from its thread: the message, its wParam
// (high word the kind, low word the piece's bytes or the code) and the item.
using DownloadReport = std::function<void(uint32_t message, uintptr_t wParam, DownloadItem* item)>;

class DownloadItem {
 public:
  DownloadItem() = default;
  // Cancels a running worker (the transfer ends within a second) and waits
  // for it.
  ~DownloadItem();
  DownloadItem(const DownloadItem&) = delete;
  DownloadItem& operator=(const DownloadItem&) = delete;

  // Starts the worker once; report may be empty. False when it was started
  // before or no thread can be made.
  bool Start(DownloadReport report);
  bool Started() const { return startCount_ != 0; }
  // Waits for the worker to end (at once when none was started).
  void Join();
  void Cancel();

  // The worker's body, on the caller's thread: the result code (0 done).
  int Download();

  // What the entry says, set before Start.
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

  // Where the download goes first: the target with ".update" for an update.
  std::string LocalPath() const;
  // Bytes written so far; any thread.
  uint32_t Received() const { return received_.load(); }
  // After the worker ended: its code and the text for it.
  int Code() const { return code_; }
  const std::string& ErrorText() const { return errorText_; }

 private:
  int Fetch();

  uint32_t startCount_ = 0;
  std::thread worker_;
  DownloadReport report_;
  std::atomic<bool> cancel_{false};
  platform::Event cancelEvent_{platform::Event::Reset::Manual};
  std::atomic<uint32_t> received_{0};
  int code_ = 0;
  std::string errorText_ = "Connection failed";
};

// The text of a download's result code.
const char* DownloadResultText(int code);

// The path names a folder afterwards; missing folders are made (0755).
bool EnsureFolder(const std::string& path);

}  // namespace thimbleset
