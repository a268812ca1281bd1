#include "client/store/user_info_list.h"

#include <algorithm>
#include <utility>

namespace client {

bool user_info_list::Add(const user_info& record) {
  if (Contains(record)) return false;
  entries_.push_back(record);
  return true;
}

void user_info_list::Remove(const user_info& record) {
  const auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const user_info& e) { return e.ALIASID == record.ALIASID; });
  if (it != entries_.end()) entries_.erase(it);
}

void user_info_list::Clear() { entries_.clear(); }

bool user_info_list::Contains(const user_info& record) const {
  return FindByAlias(record.ALIASID) != nullptr;
}

const user_info* user_info_list::FindByAlias(std::string_view alias) const {
  for (const user_info& e : entries_) {
    if (e.ALIASID == alias) return &e;
  }
  return nullptr;
}

user_info* user_info_list::FindByAlias(std::string_view alias) {
  return const_cast<user_info*>(std::as_const(*this).FindByAlias(alias));
}

const user_info* user_info_list::FindByLogin(std::string_view login) const {
  for (const user_info& e : entries_) {
    if (LoginText(e) == login) return &e;
  }
  return nullptr;
}

}  // namespace client
