// The registry: one SQLite database per hive, shared safely by every process
// of the machine.
//
//   HKEY_LOCAL_MACHINE  paths::HklmHive(); readable by everyone, writable by
//                       the administrator only (uid 0; under a hermetic
//                       VQ_ROOT the owner of that root stands in for it)
//   HKEY_CURRENT_USER   paths::HkcuHive() of the user the calling thread acts
//                       for (see process/user_context.h); private to that user
//   HKEY_CLASSES_ROOT   HKEY_LOCAL_MACHINE\SOFTWARE\Classes
//
// Key and value names are UTF-8, compared without regard to case and kept
// with the case they were created with; "\" separates the keys of a path.
// Values keep their type and their exact byte image (REG_SZ as UTF-16LE
// bytes, see support/registry_value.h). Every call returns a Win32 code:
// 0, ERROR_FILE_NOT_FOUND (2) for a missing key or value,
// ERROR_ACCESS_DENIED (5), ERROR_NO_MORE_ITEMS (259) past the end of an
// enumeration, ERROR_KEY_DELETED (1018) when the open key was deleted by
// someone else, ERROR_REGISTRY_CORRUPT (1015) or ERROR_REGISTRY_IO_FAILED
// (1016) when the hive cannot be used.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::registry {

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr uint32_t REG_LINK = 6;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_QWORD = 11;

enum class RootKey { ClassesRoot, CurrentUser, LocalMachine };

inline constexpr RootKey HKEY_CLASSES_ROOT = RootKey::ClassesRoot;
inline constexpr RootKey HKEY_CURRENT_USER = RootKey::CurrentUser;
inline constexpr RootKey HKEY_LOCAL_MACHINE = RootKey::LocalMachine;

// Read: query and enumerate. Write: also set, delete and create below.
enum class Access { Read, Write };

struct Value {
  std::string name;
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
};

namespace detail {
class Hive;
}

// True when the calling process may write the machine hive.
bool IsMachineAdministrator();

// An open key. Closed by its destructor; several handles to the same key may
// be open at once, in one process or many.
class Key {
 public:
  Key();
  ~Key();
  Key(Key&&) noexcept;
  Key& operator=(Key&&) noexcept;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  bool IsOpen() const { return hive_ != nullptr; }
  void Close();

  // RegOpenKeyEx. subkey "" opens the root itself. ERROR_ACCESS_DENIED for
  // write access to the machine hive without being its administrator.
  static uint32_t Open(RootKey root, std::string_view subkey, Access access, Key& out);
  // RegCreateKeyEx: opens the key, creating it and its missing parents;
  // *created (when given) tells whether it was new.
  static uint32_t Create(RootKey root, std::string_view subkey, Access access, Key& out,
                         bool* created = nullptr);

  // The same, relative to this key.
  uint32_t OpenSubKey(std::string_view subkey, Access access, Key& out) const;
  uint32_t CreateSubKey(std::string_view subkey, Access access, Key& out,
                        bool* created = nullptr) const;

  // RegQueryValueEx; name "" is the key's default value. type and data may
  // be null when not wanted.
  uint32_t QueryValue(std::string_view name, uint32_t* type, std::vector<uint8_t>* data) const;
  // RegSetValueEx: creates or replaces the value (a replaced value keeps the
  // case of its name and its place in the enumeration).
  uint32_t SetValue(std::string_view name, uint32_t type, std::span<const uint8_t> data) const;
  uint32_t DeleteValue(std::string_view name) const;

  // RegEnumKeyEx: subkeys in the order of their names without regard to case.
  uint32_t EnumKey(uint32_t index, std::string& name) const;
  // RegEnumValue: values in the order they were first set.
  uint32_t EnumValue(uint32_t index, Value& value) const;

  // RegDeleteKey: the subkey ("" = this key) when it has no subkeys of its
  // own (ERROR_ACCESS_DENIED when it has), with its values.
  uint32_t DeleteSubKey(std::string_view subkey) const;
  // RegDeleteTree: the subkey with everything below it; "" empties this key
  // (every subkey and value) and keeps it.
  uint32_t DeleteTree(std::string_view subkey) const;

  RootKey root() const { return root_; }
  bool writable() const { return access_ == Access::Write; }

 private:
  Key(RootKey root, std::shared_ptr<detail::Hive> hive, int64_t id, Access access);

  RootKey root_ = RootKey::LocalMachine;
  std::shared_ptr<detail::Hive> hive_;
  int64_t id_ = 0;
  Access access_ = Access::Read;
};

// Splits "A\B\\C\" into its key names ("A", "B", "C"); empty names between
// separators are dropped.
std::vector<std::string> SplitKeyPath(std::string_view path);

}  // namespace platform::registry
