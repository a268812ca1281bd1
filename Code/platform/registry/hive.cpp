#include "platform/registry/hive.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/paths/paths.h"
#include "platform/registry/name_fold.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"

namespace platform::registry::detail {

void DbCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

namespace {

// Long enough for any writer of the machine to finish; a registry call that
// gives up sooner would report a failure nobody can act on.
constexpr int kBusyTimeoutMs = 60000;
constexpr int kSchemaVersion = 1;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL,"
    "  UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, fold));"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, NULL, '', '');"
    "PRAGMA user_version = 1;";

uint32_t FromSqlite(int rc, int systemErrno = 0) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERROR_REGISTRY_CORRUPT;
    case SQLITE_CANTOPEN:
      return systemErrno == EACCES || systemErrno == EPERM ? ERROR_ACCESS_DENIED
                                                          : ERROR_REGISTRY_IO_FAILED;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return rc_ == SQLITE_OK; }
  int rc() const { return rc_; }

  Stmt& Bind(int i, int64_t v) {
    Keep(sqlite3_bind_int64(stmt_, i, v));
    return *this;
  }
  Stmt& Bind(int i, std::string_view text) {
    Keep(sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Stmt& BindBlob(int i, std::span<const uint8_t> data) {
    // An empty blob must stay a blob, not NULL.
    Keep(data.empty() ? sqlite3_bind_zeroblob(stmt_, i, 0)
                      : sqlite3_bind_blob(stmt_, i, data.data(), static_cast<int>(data.size()),
                                          SQLITE_TRANSIENT));
    return *this;
  }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() {
    if (rc_ != SQLITE_OK) return rc_;
    return sqlite3_step(stmt_);
  }

  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::string Text(int col) const {
    const auto* p = sqlite3_column_text(stmt_, col);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }
  std::vector<uint8_t> Blob(int col) const {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
    const int n = sqlite3_column_bytes(stmt_, col);
    return p && n > 0 ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
  }

 private:
  void Keep(int rc) {
    if (rc_ == SQLITE_OK) rc_ = rc;
  }

  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_OK;
};

// A transaction that rolls back unless committed. IMMEDIATE takes the write
// lock at once, so two writers never deadlock upgrading their locks.
class Txn {
 public:
  enum class Kind { Read, Write };
  Txn(sqlite3* db, Kind kind) : db_(db) {
    rc_ = sqlite3_exec(db_, kind == Kind::Write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr,
                       nullptr);
    open_ = rc_ == SQLITE_OK;
  }
  ~Txn() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Txn(const Txn&) = delete;
  Txn& operator=(const Txn&) = delete;

  uint32_t status() const { return FromSqlite(rc_); }
  uint32_t Commit() {
    const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) open_ = false;
    return FromSqlite(rc);
  }

 private:
  sqlite3* db_;
  int rc_;
  bool open_ = false;
};

// Whether a key row exists: 0, ERROR_KEY_DELETED, or the failure.
uint32_t CheckKey(sqlite3* db, int64_t id) {
  Stmt s(db, "SELECT 1 FROM keys WHERE id = ?1");
  s.Bind(1, id);
  const int rc = s.Step();
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  return FromSqlite(rc);
}

// Runs body (giving 0 or the failure) in a write transaction on an existing
// key, and commits when it succeeds.
template <typename Body>
uint32_t WriteInKey(sqlite3* db, int64_t key, Body body) {
  Txn txn(db, Txn::Kind::Write);
  if (txn.status() != ERROR_SUCCESS) return txn.status();
  if (uint32_t err = CheckKey(db, key); err != ERROR_SUCCESS) return err;
  if (uint32_t err = body(); err != ERROR_SUCCESS) return err;
  return txn.Commit();
}

// Reads row number index of an enumeration below key: sql takes the key as
// ?1 and the index as ?2, read takes the row. ERROR_NO_MORE_ITEMS past the
// last row.
template <typename Read>
uint32_t EnumRow(sqlite3* db, int64_t key, uint32_t index, const char* sql, Read read) {
  Txn txn(db, Txn::Kind::Read);
  if (txn.status() != ERROR_SUCCESS) return txn.status();
  if (uint32_t err = CheckKey(db, key); err != ERROR_SUCCESS) return err;
  Stmt s(db, sql);
  s.Bind(1, key).Bind(2, int64_t{index});
  const int rc = s.Step();
  if (rc == SQLITE_ROW) {
    read(s);
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : FromSqlite(rc);
}

// The child of parent named name: 0 with id, ERROR_FILE_NOT_FOUND, or a failure.
uint32_t FindChild(sqlite3* db, int64_t parent, const std::string& name, int64_t& id) {
  Stmt s(db, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
  s.Bind(1, parent).Bind(2, FoldName(name));
  const int rc = s.Step();
  if (rc == SQLITE_ROW) {
    id = s.Int(0);
    return ERROR_SUCCESS;
  }
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  return FromSqlite(rc);
}

// Makes the missing folders of path's parent, each with mode, handed to the
// owner when the rules say so.
bool MakeParentFolders(const std::string& path, const HiveFileRules& rules) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  std::optional<paths::FolderOwner> owner;
  if (rules.chownTo) owner = paths::FolderOwner{rules.uid, rules.gid};
  return paths::CreateDirectories(path.substr(0, slash), rules.dirMode, owner);
}

// Creates an empty hive file with exactly the mode the rules give (whatever the
// umask) and owner; an existing file is left alone.
uint32_t CreateHiveFile(const std::string& path, const HiveFileRules& rules) {
  if (!MakeParentFolders(path, rules)) return LastWin32Error();
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     rules.fileMode));
  if (!fd.valid()) return errno == EEXIST ? ERROR_SUCCESS : LastWin32Error();
  if (::fchmod(fd.get(), rules.fileMode) != 0) return LastWin32Error();
  if (rules.chownTo && ::fchown(fd.get(), rules.uid, rules.gid) != 0) return LastWin32Error();
  return ERROR_SUCCESS;
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

uint32_t Hive::Open(const std::string& path, bool writable, const HiveFileRules& rules,
                    std::shared_ptr<Hive>& out) {
  out.reset();
  std::shared_ptr<Hive> hive(new Hive);
  if (!FileExists(path)) {
    if (!writable) {
      out = std::move(hive);  // nothing stored yet
      return ERROR_SUCCESS;
    }
    if (uint32_t err = CreateHiveFile(path, rules); err != ERROR_SUCCESS) return err;
  }
  // A hive that is a symbolic link could send one user's writes into
  // another's (or the machine's) hive.
  const int flags = (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  hive->db_.reset(raw);
  if (rc != SQLITE_OK) return FromSqlite(rc, raw ? sqlite3_system_errno(raw) : 0);
  sqlite3* db = hive->db_.get();
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_exec(db, "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);
  hive->writable_ = writable && sqlite3_db_readonly(db, "main") == 0;

  int version = 0;
  {
    Stmt s(db, "PRAGMA user_version");
    const int step = s.Step();
    if (step != SQLITE_ROW) return FromSqlite(step);
    version = static_cast<int>(s.Int(0));
  }
  if (version == 0) {
    if (!hive->writable_) {
      hive->db_.reset();  // a file nobody has set up yet reads as empty
    } else {
      Txn txn(db, Txn::Kind::Write);
      if (txn.status() != ERROR_SUCCESS) return txn.status();
      const int schema = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
      if (schema != SQLITE_OK) return FromSqlite(schema);
      if (uint32_t err = txn.Commit(); err != ERROR_SUCCESS) return err;
    }
  } else if (version != kSchemaVersion) {
    return ERROR_REGISTRY_CORRUPT;
  }
  out = std::move(hive);
  return ERROR_SUCCESS;
}

Hive::~Hive() = default;

uint32_t Hive::FindKey(int64_t from, const std::vector<std::string>& names, int64_t& id) {
  std::lock_guard lock(mutex_);
  if (!db_) {
    if (from != kRootId) return ERROR_KEY_DELETED;
    if (!names.empty()) return ERROR_FILE_NOT_FOUND;
    id = kRootId;
    return ERROR_SUCCESS;
  }
  sqlite3* db = db_.get();
  Txn txn(db, Txn::Kind::Read);
  if (txn.status() != ERROR_SUCCESS) return txn.status();
  if (uint32_t err = CheckKey(db, from); err != ERROR_SUCCESS) return err;
  int64_t current = from;
  for (const std::string& name : names) {
    if (uint32_t err = FindChild(db, current, name, current); err != ERROR_SUCCESS) return err;
  }
  id = current;
  return ERROR_SUCCESS;
}

uint32_t Hive::CreateKey(int64_t from, const std::vector<std::string>& names, int64_t& id,
                         bool& created) {
  std::lock_guard lock(mutex_);
  created = false;
  if (!db_ || !writable_) return ERROR_ACCESS_DENIED;
  sqlite3* db = db_.get();
  int64_t current = from;
  const uint32_t result = WriteInKey(db, from, [&]() -> uint32_t {
    for (const std::string& name : names) {
      int64_t child = 0;
      uint32_t err = FindChild(db, current, name, child);
      if (err == ERROR_FILE_NOT_FOUND) {
        Stmt ins(db, "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
        ins.Bind(1, current).Bind(2, name).Bind(3, FoldName(name));
        const int rc = ins.Step();
        if (rc != SQLITE_DONE) return FromSqlite(rc);
        child = sqlite3_last_insert_rowid(db);
        created = true;
      } else if (err != ERROR_SUCCESS) {
        return err;
      } else {
        created = false;
      }
      current = child;
    }
    return ERROR_SUCCESS;
  });
  if (result != ERROR_SUCCESS) return result;
  id = current;
  return ERROR_SUCCESS;
}

uint32_t Hive::QueryValue(int64_t key, std::string_view name, uint32_t* type,
                          std::vector<uint8_t>* data) {
  std::lock_guard lock(mutex_);
  if (!db_) return key == kRootId ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  sqlite3* db = db_.get();
  Txn txn(db, Txn::Kind::Read);
  if (txn.status() != ERROR_SUCCESS) return txn.status();
  Stmt s(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
  s.Bind(1, key).Bind(2, FoldName(name));
  const int rc = s.Step();
  if (rc == SQLITE_ROW) {
    if (type) *type = static_cast<uint32_t>(s.Int(0));
    if (data) *data = s.Blob(1);
    return ERROR_SUCCESS;
  }
  if (rc != SQLITE_DONE) return FromSqlite(rc);
  if (uint32_t err = CheckKey(db, key); err != ERROR_SUCCESS) return err;
  return ERROR_FILE_NOT_FOUND;
}

uint32_t Hive::SetValue(int64_t key, std::string_view name, uint32_t type,
                        std::span<const uint8_t> data) {
  std::lock_guard lock(mutex_);
  if (!db_ || !writable_) return ERROR_ACCESS_DENIED;
  sqlite3* db = db_.get();
  return WriteInKey(db, key, [&]() -> uint32_t {
    Stmt s(db,
           "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
           "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    s.Bind(1, key).Bind(2, name).Bind(3, FoldName(name)).Bind(4, int64_t{type}).BindBlob(5, data);
    const int rc = s.Step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : FromSqlite(rc);
  });
}

uint32_t Hive::DeleteValue(int64_t key, std::string_view name) {
  std::lock_guard lock(mutex_);
  if (!db_ || !writable_) return ERROR_ACCESS_DENIED;
  sqlite3* db = db_.get();
  return WriteInKey(db, key, [&]() -> uint32_t {
    Stmt s(db, "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
    s.Bind(1, key).Bind(2, FoldName(name));
    const int rc = s.Step();
    if (rc != SQLITE_DONE) return FromSqlite(rc);
    return sqlite3_changes(db) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
  });
}

uint32_t Hive::EnumKey(int64_t key, uint32_t index, std::string& name) {
  std::lock_guard lock(mutex_);
  if (!db_) return key == kRootId ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
  return EnumRow(db_.get(), key, index,
                 "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2",
                 [&](const Stmt& s) { name = s.Text(0); });
}

uint32_t Hive::EnumValue(int64_t key, uint32_t index, Value& value) {
  std::lock_guard lock(mutex_);
  if (!db_) return key == kRootId ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
  return EnumRow(db_.get(), key, index,
                 "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2",
                 [&](const Stmt& s) {
                   value.name = s.Text(0);
                   value.type = static_cast<uint32_t>(s.Int(1));
                   value.data = s.Blob(2);
                 });
}

uint32_t Hive::DeleteKey(int64_t key, DeleteMode mode) {
  std::lock_guard lock(mutex_);
  if (!db_ || !writable_) return ERROR_ACCESS_DENIED;
  sqlite3* db = db_.get();
  return WriteInKey(db, key, [&]() -> uint32_t {
    if (mode != DeleteMode::Contents && key == kRootId) return ERROR_ACCESS_DENIED;
    int rc = SQLITE_DONE;
    if (mode == DeleteMode::KeyWithoutSubkeys) {
      Stmt children(db, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
      children.Bind(1, key);
      rc = children.Step();
      if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
      if (rc != SQLITE_DONE) return FromSqlite(rc);
      Stmt del(db, "DELETE FROM keys WHERE id = ?1");
      del.Bind(1, key);
      rc = del.Step();
    } else {
      // Every key below (and, for a tree, the key itself); values go with
      // their keys.
      Stmt del(db,
               "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL "
               "  SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
               "DELETE FROM keys WHERE id IN sub AND (?2 OR id != ?1)");
      del.Bind(1, key).Bind(2, int64_t{mode == DeleteMode::Tree ? 1 : 0});
      rc = del.Step();
      if (rc == SQLITE_DONE && mode == DeleteMode::Contents) {
        Stmt vals(db, "DELETE FROM vals WHERE key = ?1");
        vals.Bind(1, key);
        rc = vals.Step();
      }
    }
    return rc == SQLITE_DONE ? ERROR_SUCCESS : FromSqlite(rc);
  });
}

}  // namespace platform::registry::detail
