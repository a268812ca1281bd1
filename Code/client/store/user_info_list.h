// The saved connections in memory, in insertion order (after a load: the
// file's order). Aliases are unique in the list and compared exactly (case
// matters).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "client/store/user_info.h"

namespace client {

class user_info_list {
 public:
  // Appends a copy; false when an entry already has the record's alias.
  bool Add(const user_info& record);
  // Drops the entry with the record's alias; nothing when there is none.
  void Remove(const user_info& record);
  void Clear();
  bool Contains(const user_info& record) const;
  // The entry, valid until the list next changes; nullptr when none.
  const user_info* FindByAlias(std::string_view alias) const;
  user_info* FindByAlias(std::string_view alias);
  // The first entry whose LoginText equals login; nullptr when none.
  const user_info* FindByLogin(std::string_view login) const;

  int32_t count() const { return static_cast<int32_t>(entries_.size()); }
  bool empty() const { return entries_.empty(); }
  std::vector<user_info>::const_iterator begin() const { return entries_.begin(); }
  std::vector<user_info>::const_iterator end() const { return entries_.end(); }

 private:
  std::vector<user_info> entries_;
};

}  // namespace client
