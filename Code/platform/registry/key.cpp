#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths/paths.h"
#include "platform/process/user_context.h"
#include "platform/registry/hive.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"

namespace platform::registry {
namespace {

using detail::Hive;
using detail::HiveFileRules;

// Where a root key lives and who may change it.
struct RootPlace {
  std::string path;
  HiveFileRules rules;
  bool mayWrite = false;
  std::vector<std::string> base;  // the root's own key inside the hive
};

RootPlace Resolve(RootKey root) {
  RootPlace place;
  if (root == RootKey::CurrentUser) {
    place.path = paths::HkcuHive();
    place.rules.fileMode = 0600;
    place.rules.dirMode = 0700;
    // Root working for a user makes the user's hive the user's own.
    if (const auto user = process::ImpersonatedUser(); user && ::geteuid() == 0 && user->uid != 0) {
      place.rules.chownTo = true;
      place.rules.uid = user->uid;
      place.rules.gid = user->gid;
    }
    place.mayWrite = true;
    return place;
  }
  place.path = paths::HklmHive();
  place.rules.fileMode = 0644;
  place.rules.dirMode = 0755;
  place.mayWrite = IsMachineAdministrator();
  if (root == RootKey::ClassesRoot) place.base = {"SOFTWARE", "Classes"};
  return place;
}

std::vector<std::string> Join(std::vector<std::string> base, std::string_view subkey) {
  for (std::string& name : SplitKeyPath(subkey)) base.push_back(std::move(name));
  return base;
}

// A subkey that another process deleted between finding and deleting it is
// simply not there.
uint32_t Gone(uint32_t err, const std::vector<std::string>& names) {
  return err == ERROR_KEY_DELETED && !names.empty() ? ERROR_FILE_NOT_FOUND : err;
}

}  // namespace

bool IsMachineAdministrator() {
  const uid_t self = ::geteuid();
  if (self == 0) return true;
  const std::string root = paths::Root();
  if (root.empty()) return false;
  struct stat st{};
  return ::stat(root.c_str(), &st) == 0 && st.st_uid == self;
}

std::vector<std::string> SplitKeyPath(std::string_view path) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) names.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

Key::Key() = default;
Key::~Key() = default;
Key::Key(Key&&) noexcept = default;
Key& Key::operator=(Key&&) noexcept = default;

Key::Key(RootKey root, std::shared_ptr<detail::Hive> hive, int64_t id, Access access)
    : root_(root), hive_(std::move(hive)), id_(id), access_(access) {}

void Key::Close() {
  hive_.reset();
  id_ = 0;
}

uint32_t Key::Open(RootKey root, std::string_view subkey, Access access, Key& out) {
  out.Close();
  const RootPlace place = Resolve(root);
  if (access == Access::Write && !place.mayWrite) return ERROR_ACCESS_DENIED;
  std::shared_ptr<Hive> hive;
  if (uint32_t err = Hive::Open(place.path, place.mayWrite, place.rules, hive); err != ERROR_SUCCESS)
    return err;
  int64_t id = 0;
  if (uint32_t err = hive->FindKey(Hive::kRootId, Join(place.base, subkey), id); err != ERROR_SUCCESS)
    return err;
  if (access == Access::Write && !hive->writable()) return ERROR_ACCESS_DENIED;
  out = Key(root, std::move(hive), id, access);
  return ERROR_SUCCESS;
}

uint32_t Key::Create(RootKey root, std::string_view subkey, Access access, Key& out,
                     bool* created) {
  out.Close();
  if (created) *created = false;
  const RootPlace place = Resolve(root);
  if (!place.mayWrite) return ERROR_ACCESS_DENIED;
  std::shared_ptr<Hive> hive;
  if (uint32_t err = Hive::Open(place.path, true, place.rules, hive); err != ERROR_SUCCESS) return err;
  int64_t id = 0;
  bool isNew = false;
  if (uint32_t err = hive->CreateKey(Hive::kRootId, Join(place.base, subkey), id, isNew);
      err != ERROR_SUCCESS)
    return err;
  if (created) *created = isNew;
  out = Key(root, std::move(hive), id, access);
  return ERROR_SUCCESS;
}

uint32_t Key::OpenSubKey(std::string_view subkey, Access access, Key& out) const {
  if (!hive_) return ERROR_INVALID_HANDLE;
  if (access == Access::Write && !hive_->writable()) return ERROR_ACCESS_DENIED;
  int64_t id = 0;
  if (uint32_t err = hive_->FindKey(id_, SplitKeyPath(subkey), id); err != ERROR_SUCCESS) return err;
  out = Key(root_, hive_, id, access);
  return ERROR_SUCCESS;
}

uint32_t Key::CreateSubKey(std::string_view subkey, Access access, Key& out, bool* created) const {
  if (created) *created = false;
  if (!hive_) return ERROR_INVALID_HANDLE;
  if (access_ != Access::Write) return ERROR_ACCESS_DENIED;
  int64_t id = 0;
  bool isNew = false;
  if (uint32_t err = hive_->CreateKey(id_, SplitKeyPath(subkey), id, isNew); err != ERROR_SUCCESS)
    return err;
  if (created) *created = isNew;
  out = Key(root_, hive_, id, access);
  return ERROR_SUCCESS;
}

uint32_t Key::QueryValue(std::string_view name, uint32_t* type, std::vector<uint8_t>* data) const {
  if (!hive_) return ERROR_INVALID_HANDLE;
  return hive_->QueryValue(id_, name, type, data);
}

uint32_t Key::SetValue(std::string_view name, uint32_t type, std::span<const uint8_t> data) const {
  if (!hive_) return ERROR_INVALID_HANDLE;
  if (access_ != Access::Write) return ERROR_ACCESS_DENIED;
  return hive_->SetValue(id_, name, type, data);
}

uint32_t Key::DeleteValue(std::string_view name) const {
  if (!hive_) return ERROR_INVALID_HANDLE;
  if (access_ != Access::Write) return ERROR_ACCESS_DENIED;
  return hive_->DeleteValue(id_, name);
}

uint32_t Key::EnumKey(uint32_t index, std::string& name) const {
  if (!hive_) return ERROR_INVALID_HANDLE;
  return hive_->EnumKey(id_, index, name);
}

uint32_t Key::EnumValue(uint32_t index, Value& value) const {
  if (!hive_) return ERROR_INVALID_HANDLE;
  return hive_->EnumValue(id_, index, value);
}

uint32_t Key::DeleteSubKey(std::string_view subkey) const {
  if (!hive_) return ERROR_INVALID_HANDLE;
  if (access_ != Access::Write) return ERROR_ACCESS_DENIED;
  int64_t id = 0;
  const std::vector<std::string> names = SplitKeyPath(subkey);
  if (uint32_t err = hive_->FindKey(id_, names, id); err != ERROR_SUCCESS) return err;
  return Gone(hive_->DeleteKey(id, Hive::DeleteMode::KeyWithoutSubkeys), names);
}

uint32_t Key::DeleteTree(std::string_view subkey) const {
  if (!hive_) return ERROR_INVALID_HANDLE;
  if (access_ != Access::Write) return ERROR_ACCESS_DENIED;
  const std::vector<std::string> names = SplitKeyPath(subkey);
  int64_t id = 0;
  if (uint32_t err = hive_->FindKey(id_, names, id); err != ERROR_SUCCESS) return err;
  return Gone(
      hive_->DeleteKey(id, names.empty() ? Hive::DeleteMode::Contents : Hive::DeleteMode::Tree),
      names);
}

}  // namespace platform::registry
