// The check: fetch the gateway's update list with the user's credential and
// compare its installer entry with the installed product version.
//
//   1. an empty temporary file "XmlXXXXXX.tmp" (removed on every path);
//   2. the list URL split; unsplittable: no list;
//   3. user name and password both in the URL: both decoded (either one
//      that does not decode: no list), fetched as cookies or after a form
//      login; else fetched without a credential;
//   4. a failed fetch, or a file that is no update list: no list;
//   5. the installer entry newer: CHECK_NEWER and its Length; not newer or
//      not listed: CHECK_NOT_NEWER.
#pragma once

#include <cstdint>

#include "platform/sync/event.h"
#include "updater/command_line.h"
#include "updater/update_list.h"

namespace thimbleset {

struct CheckOutcome {
  int result = CHECK_UNEXPECTED;  // CHECK_NEWER, CHECK_NOT_NEWER, CHECK_NO_LIST, CHECK_UNEXPECTED
  int64_t installerLength = 0;    // the newer installer entry's Length, else 0
};

// The list is loaded into list (for an update to fill its queue from).
// cancel, when given and set, ends a running fetch.
CheckOutcome RunCheck(const CommandLine& line, UpdateList& list, const platform::Event* cancel = nullptr);

}  // namespace thimbleset
