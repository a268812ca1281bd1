#include "client/ui/unique_alias.h"

#include <thread>

#include "platform/text/utf16.h"

namespace client {
namespace {

std::string Candidate(std::string_view base, const std::string& suffix) {
  return CutUtf8ToUnits(base, kAliasUnits - suffix.size()) + suffix;
}

}  // namespace

std::string MakeUniqueAlias(const user_info_list& list, std::string_view base) {
  std::string candidate = Candidate(base, "");
  // Every entry can take at most one suffix, so count() + 1 tries find one.
  for (int n = 1; list.FindByAlias(candidate) != nullptr; ++n) {
    std::this_thread::yield();
    candidate = Candidate(base, "_" + std::to_string(n));
  }
  return candidate;
}

}  // namespace client
