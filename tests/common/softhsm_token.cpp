#include "common/softhsm_token.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "common/softhsm_certs.h"
#include "common/temp_root.h"
#include "platform/crypto/cert_context.h"
#include "platform/crypto/token_provider.h"
#include "platform/registry/registry.h"
#include "support/registry_value.h"

extern char** environ;

namespace vqtest {
namespace {

constexpr char kSoftHsmUtil[] = "/usr/bin/softhsm2-util";
constexpr char kPkcs11Tool[] = "/usr/bin/pkcs11-tool";

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
}

}  // namespace

std::string SoftHsmToken::ModulePath() {
  for (const char* path :
       {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"}) {
    if (std::filesystem::exists(path)) return path;
  }
  throw std::runtime_error("SoftHSM2 is not installed (scripts/install-deps)");
}

SoftHsmToken::SoftHsmToken(const std::string& providerName) : providerName_(providerName) {
  const char* root = std::getenv("VQ_ROOT");
  if (root == nullptr) throw std::runtime_error("SoftHsmToken needs a TempRoot");
  dir_ = std::string(root) + "/softhsm";
  std::filesystem::create_directories(dir_ + "/tokens");
  WriteFileBytes(dir_ + "/softhsm2.conf", "directories.tokendir = " + dir_ +
                                              "/tokens\nobjectstore.backend = file\n"
                                              "log.level = ERROR\nslots.removable = false\n");
  if (const char* old = std::getenv("SOFTHSM2_CONF")) savedConf_ = old;
  ::setenv("SOFTHSM2_CONF", (dir_ + "/softhsm2.conf").c_str(), 1);

  Run({kSoftHsmUtil, "--init-token", "--free", "--label", "vqtest", "--so-pin", kSoPin, "--pin",
       kUserPin});

  namespace reg = platform::registry;
  reg::Key key;
  const std::string path =
      std::string(platform::crypto::kProviderRegistryKey) + "\\" + providerName;
  if (reg::Key::Create(reg::HKEY_LOCAL_MACHINE, path, reg::Access::Write, key) != 0 ||
      key.SetValue(platform::crypto::kProviderImagePathValue, reg::REG_SZ,
                   RegSzBytes(ModulePath())) != 0)
    throw std::runtime_error("cannot register the test provider");
}

SoftHsmToken::~SoftHsmToken() {
  // The next test's token lives elsewhere: the module must read its
  // configuration again.
  platform::crypto::CloseTokenProviders();
  if (savedConf_)
    ::setenv("SOFTHSM2_CONF", savedConf_->c_str(), 1);
  else
    ::unsetenv("SOFTHSM2_CONF");
}

void SoftHsmToken::Pull() { std::filesystem::rename(dir_ + "/tokens", dir_ + "/pulled"); }

void SoftHsmToken::PutBack() { std::filesystem::rename(dir_ + "/pulled", dir_ + "/tokens"); }

void SoftHsmToken::Import(const std::vector<uint8_t>& id, X509* cert, EVP_PKEY* key) {
  const std::string hexId = platform::crypto::KeyContainerName(id);
  const std::string certFile = dir_ + "/import-cert.der";
  WriteBytes(certFile, CertDer(cert));
  Run({kPkcs11Tool, "--module", ModulePath(), "--login", "--pin", kUserPin, "--write-object",
       certFile, "--type", "cert", "--id", hexId, "--label", "cert-" + hexId});
  if (key != nullptr) {
    const std::string keyFile = dir_ + "/import-key.der";
    WriteBytes(keyFile, PrivateKeyDer(key));
    Run({kPkcs11Tool, "--module", ModulePath(), "--login", "--pin", kUserPin, "--write-object",
         keyFile, "--type", "privkey", "--id", hexId, "--label", "key-" + hexId});
    std::filesystem::remove(keyFile);
  }
}

// Runs a token tool with its output in the token folder's log, so a failure
// can say what went wrong without the tools' chatter in every test.
void SoftHsmToken::Run(const std::vector<std::string>& argv) {
  const std::string logPath = dir_ + "/tools.log";
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(argv[0] + " failed:\n" + ReadFileBytes(logPath));
}

}  // namespace vqtest
