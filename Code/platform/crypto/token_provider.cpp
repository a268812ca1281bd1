#include "platform/crypto/token_provider.h"

#include <map>
#include <mutex>

#include "platform/crypto/cert_context.h"
#include "platform/crypto/crypto_error.h"
#include "platform/crypto/token_key.h"
#include "platform/registry/name_fold.h"
#include "platform/registry/registry.h"
#include "platform/service/registry_text.h"
#include "platform/win32/win32_error.h"

namespace platform::crypto {
namespace {

namespace reg = platform::registry;

// Loaded modules by path: two provider names naming one module share it, as
// a module may be initialised only once per process.
struct ModuleTable {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<Pkcs11Module>> modules;
};

// Never destroyed: a module's own exit handlers, registered when it was
// initialised and so run before a static table's destructor, free its
// state, and closing its sessions after them touches freed memory (a
// program that had used a token crashed at exit). CloseTokenProviders ends
// the logins while the modules still stand.
ModuleTable& Modules() {
  static ModuleTable* const table = new ModuleTable;
  return *table;
}

struct ProviderEntry {
  std::string name;  // as stored
  std::string modulePath;
};

// Every registered provider with a module path; when only is given, the one
// that matches it without regard to case.
std::vector<ProviderEntry> ReadProviders(const std::string* only) {
  std::vector<ProviderEntry> entries;
  reg::Key providers;
  if (reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kProviderRegistryKey, reg::Access::Read, providers) !=
      ERROR_SUCCESS)
    return entries;
  const std::string wanted = only != nullptr ? reg::detail::FoldName(*only) : std::string();
  std::string sub;
  for (uint32_t i = 0; providers.EnumKey(i, sub) == ERROR_SUCCESS; ++i) {
    if (only != nullptr && reg::detail::FoldName(sub) != wanted) continue;
    reg::Key provider;
    if (providers.OpenSubKey(sub, reg::Access::Read, provider) != ERROR_SUCCESS) continue;
    uint32_t type = reg::REG_NONE;
    std::vector<uint8_t> data;
    if (provider.QueryValue(kProviderImagePathValue, &type, &data) != ERROR_SUCCESS) continue;
    if (type != reg::REG_SZ && type != reg::REG_EXPAND_SZ) continue;
    std::string path = service::detail::RegSzImageText(data);
    if (path.empty()) continue;
    entries.push_back({sub, std::move(path)});
  }
  return entries;
}

}  // namespace

std::shared_ptr<TokenProvider> TokenProvider::Open(std::string_view name, uint32_t& error) {
  const std::string wanted(name);
  const std::vector<ProviderEntry> entries = ReadProviders(&wanted);
  if (wanted.empty() || entries.empty()) {
    error = NTE_KEYSET_NOT_DEF;
    return nullptr;
  }
  const ProviderEntry& entry = entries.front();
  ModuleTable& table = Modules();
  std::lock_guard lock(table.mutex);
  std::shared_ptr<Pkcs11Module>& module = table.modules[entry.modulePath];
  if (!module) {
    module = Pkcs11Module::Load(entry.modulePath, error);
    if (!module) {
      table.modules.erase(entry.modulePath);
      return nullptr;
    }
  }
  error = 0;
  return std::make_shared<TokenProvider>(entry.name, module);
}

std::vector<std::string> TokenProvider::RegisteredNames() {
  std::vector<std::string> names;
  for (ProviderEntry& entry : ReadProviders(nullptr)) names.push_back(std::move(entry.name));
  return names;
}

uint32_t TokenProvider::Login(std::string_view pin) const { return module_->Login(pin); }

bool TokenProvider::CheckTokenPresent() const { return module_->CheckTokenPresent(); }

uint32_t TokenProvider::Certificates(std::vector<TokenCertificate>& out) const {
  return module_->Certificates(out);
}

std::shared_ptr<TokenKey> TokenProvider::AcquireKey(std::string_view container,
                                                    uint32_t& error) const {
  const std::optional<std::vector<uint8_t>> id = KeyIdFromContainerName(container);
  if (!id) {
    error = NTE_BAD_KEYSET;
    return nullptr;
  }
  return module_->FindPrivateKey(*id, error);
}

void CloseTokenProviders() {
  std::map<std::string, std::shared_ptr<Pkcs11Module>> modules;
  {
    ModuleTable& table = Modules();
    std::lock_guard lock(table.mutex);
    modules.swap(table.modules);
  }
  // Unloaded here, outside the table's lock.
}

}  // namespace platform::crypto
