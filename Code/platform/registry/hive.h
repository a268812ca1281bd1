// One hive file: an SQLite database of keys (a tree of rows, each naming its
// parent) and values. Writes run in IMMEDIATE transactions and readers wait
// for writers (busy timeout), so processes may share a hive freely; one
// connection is shared by the keys opened through it, under its own lock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

struct sqlite3;

namespace platform::registry::detail {

// How a hive file is created when it is missing.
struct HiveFileRules {
  mode_t fileMode = 0600;
  mode_t dirMode = 0700;
  // Given to the file and the folders made for it when the creator is root
  // working for another user.
  bool chownTo = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

struct DbCloser {
  void operator()(sqlite3* db) const;
};

class Hive {
 public:
  static constexpr int64_t kRootId = 1;

  // Opens (writable: creating when missing) the hive at path. A read-only
  // open of a missing file gives an empty hive. A writable open falls back to
  // read-only when the file cannot be written.
  static uint32_t Open(const std::string& path, bool writable, const HiveFileRules& rules,
                       std::shared_ptr<Hive>& out);
  ~Hive();
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  bool writable() const { return writable_; }

  uint32_t FindKey(int64_t from, const std::vector<std::string>& names, int64_t& id);
  uint32_t CreateKey(int64_t from, const std::vector<std::string>& names, int64_t& id,
                     bool& created);

  uint32_t QueryValue(int64_t key, std::string_view name, uint32_t* type,
                      std::vector<uint8_t>* data);
  uint32_t SetValue(int64_t key, std::string_view name, uint32_t type,
                    std::span<const uint8_t> data);
  uint32_t DeleteValue(int64_t key, std::string_view name);

  uint32_t EnumKey(int64_t key, uint32_t index, std::string& name);
  uint32_t EnumValue(int64_t key, uint32_t index, Value& value);

  enum class DeleteMode { KeyWithoutSubkeys, Tree, Contents };
  uint32_t DeleteKey(int64_t key, DeleteMode mode);

 private:
  Hive() = default;

  std::mutex mutex_;
  std::unique_ptr<sqlite3, DbCloser> db_;  // null: an empty hive (no file yet)
  bool writable_ = false;
};

}  // namespace platform::registry::detail
