#include "updater/update_check.h"

#include <optional>
#include <string>

#include "platform/paths/paths.h"
#include "platform/temp_file.h"
#include "support/url_credential.h"
#include "updater/list_fetch.h"
#include "updater/list_url.h"

namespace thimbleset {
namespace {

CheckOutcome Check(const CommandLine& line, UpdateList& list, const platform::Event* cancel) {
  // The list goes to the user's own temporary folder, where nobody else
  // can swap it between download and load.
  const std::string folder = platform::paths::UserTempDir();
  if (folder.empty()) return {CHECK_UNEXPECTED, 0};
  platform::ScopedTempFile listFile;
  if (listFile.Create(folder, kListTempPrefix, kListTempSuffix) != 0) return {CHECK_UNEXPECTED, 0};

  const std::optional<ListUrl> url = SplitListUrl(line.listUrl);
  if (!url) return {CHECK_NO_LIST, 0};

  ListFetch fetch;
  fetch.listUrl = line.listUrl;
  fetch.mode = line.mode;
  fetch.pin = line.pin;
  fetch.cancel = cancel;
  if (!url->user.empty() && !url->password.empty()) {
    std::optional<std::string> user = DecodeUrlCredential(url->user);
    std::optional<std::string> password = DecodeUrlCredential(url->password);
    if (!user || !password) return {CHECK_NO_LIST, 0};
    fetch.credential = PortalCredential{std::move(*user), std::move(*password)};
  }
  if (FetchUpdateList(fetch, listFile.path()) != 0) return {CHECK_NO_LIST, 0};
  if (!list.Load(listFile.path())) return {CHECK_NO_LIST, 0};

  if (!list.TestVersion(line.installerName, line.productVersion)) return {CHECK_NOT_NEWER, 0};
  return {CHECK_NEWER, list.InstallerLength(line.installerName)};
}

}  // namespace

CheckOutcome RunCheck(const CommandLine& line, UpdateList& list, const platform::Event* cancel) {
  try {
    return Check(line, list, cancel);
  } catch (...) {
    return {CHECK_UNEXPECTED, 0};
  }
}

}  // namespace thimbleset
