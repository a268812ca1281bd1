// The updater program: one run, no loop.
//
//   1. the credential bytes of the command line are overwritten in the
//      process's memory (after a copy), stop signals are watched;
//   2. "Global\VardenlowThimbleset" is taken; held by another: exit 4;
//   3. the command line is read: 5 or 6 words, the mode word "cookie" or
//      "password", a PIN of at most 127 bytes; else exit 4;
//   4. "check": the check's answer 1 or 2 is the exit code, anything else 4;
//   5. "update": the check; only when it answers 2 the download queue is
//      filled from the list and the progress dialog runs; otherwise 4;
//   6. any other verb, or a stop signal on the way: exit 4.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sync/event.h"
#include "updater/command_line.h"
#include "updater/download_queue.h"
#include "updater/update_list.h"

namespace thimbleset {

// Shows the progress dialog over the filled queue (the host starts only
// here: "check" needs no display) and gives the exit code.
using ProgressRunner =
    std::function<int(DownloadQueue& queue, uint32_t installerLength, const platform::Event* stop)>;

class ThimblesetApp {
 public:
  // stop, when given and set, ends the run with EXIT_FAILED; without a
  // runner an update ends at the filled queue with EXIT_FAILED.
  explicit ThimblesetApp(const platform::Event* stop = nullptr, ProgressRunner runner = {})
      : stop_(stop), runner_(std::move(runner)) {}

  // words: the command line after the program name. The exit code.
  int Run(const std::vector<std::string>& words);

  DownloadQueue& downloadQueue() { return downloadQueue_; }
  uint32_t installerLength() const { return installerLength_; }

 private:
  int RunVerb(const CommandLine& line);
  int Update(const CommandLine& line);
  // The progress dialog over the filled queue: EXIT_UPDATED when every
  // file was replaced and the user pressed OK, else EXIT_FAILED.
  int RunProgressDialog();

  const platform::Event* stop_;
  ProgressRunner runner_;
  UpdateList updateList_;
  DownloadQueue downloadQueue_;
  uint32_t installerLength_ = 0;
};

// The program: argv as main got it, and how it shows the dialog. The exit code.
int ThimblesetMain(int argc, char** argv, ProgressRunner runner);

}  // namespace thimbleset
