#include "platform/crypto/protect.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/fd_io.h"
#include "platform/paths/paths.h"
#include "platform/process/user_context.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"

namespace platform::crypto {
namespace {

constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;
constexpr uint8_t kMagic[4] = {'V', 'Q', 'P', '1'};
constexpr size_t kHeaderFixed = sizeof kMagic + 4;

using Key = std::array<uint8_t, kKeySize>;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Wipes the key when it goes out of scope.
struct KeyHolder {
  Key key{};
  ~KeyHolder() { OPENSSL_cleanse(key.data(), key.size()); }
};

// Who the key belongs to: the impersonated user, else the process's user.
struct Owner {
  uid_t uid;
  gid_t gid;
  // Root working for a user hands what it makes to that user.
  bool chown;
};

Owner KeyOwner() {
  if (const auto user = process::ImpersonatedUser(); user && user->uid != ::geteuid()) {
    return {user->uid, user->gid, ::geteuid() == 0};
  }
  return {::geteuid(), ::getegid(), false};
}

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Reads the key file: 0, ERROR_FILE_NOT_FOUND when there is none, or
// ERROR_ACCESS_DENIED when it is not a private 32-byte file of the user or
// of this process (a key that others could read or plant protects nothing).
uint32_t ReadKey(const std::string& path, const Owner& owner, Key& key) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kKeySize) ||
      (st.st_uid != owner.uid && st.st_uid != ::geteuid()) || (st.st_mode & 077) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  return ReadFull(fd.get(), key) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Makes the key file with fresh random bytes. Two processes may do this at
// once: the key is written in full under a private name and linked into
// place, so whoever links first wins and the other reads that key.
uint32_t CreateKey(const std::string& path, const Owner& owner, Key& key) {
  std::optional<paths::FolderOwner> folderOwner;
  if (owner.chown) folderOwner = paths::FolderOwner{owner.uid, owner.gid};
  if (!paths::CreateDirectories(Folder(path), 0700, folderOwner)) return ERROR_ACCESS_DENIED;
  static std::atomic<unsigned> counter{0};
  const std::string temp = path + ".new." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  {
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) return ERROR_ACCESS_DENIED;
    KeyHolder fresh;
    const bool ok = RAND_bytes(fresh.key.data(), static_cast<int>(fresh.key.size())) == 1 &&
                    ::fchmod(fd.get(), 0600) == 0 &&
                    (!owner.chown || ::fchown(fd.get(), owner.uid, owner.gid) == 0) &&
                    WriteFull(fd.get(), fresh.key) && ::fsync(fd.get()) == 0 &&
                    ::close(fd.release()) == 0;
    if (!ok) {
      ::unlink(temp.c_str());
      return ERROR_ACCESS_DENIED;
    }
  }
  const int linked = ::link(temp.c_str(), path.c_str());
  const int linkErr = errno;
  ::unlink(temp.c_str());
  if (linked != 0 && linkErr != EEXIST) return ERROR_ACCESS_DENIED;
  return ReadKey(path, owner, key);
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

std::string ProtectKeyPath() { return paths::UserAppData() + "/tarnwickgate/protect.key"; }

uint32_t ProtectData(std::span<const uint8_t> data, std::string_view description, std::vector<uint8_t>& blob) {
  if (description.size() > 0xFFFF || data.size() > 0x7FFFFFF0) return ERROR_INVALID_PARAMETER;
  const Owner owner = KeyOwner();
  const std::string path = ProtectKeyPath();
  KeyHolder holder;
  uint32_t err = ReadKey(path, owner, holder.key);
  if (err == ERROR_FILE_NOT_FOUND) err = CreateKey(path, owner, holder.key);
  if (err != ERROR_SUCCESS) return err;

  std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
  PutU32(out, static_cast<uint32_t>(description.size()));
  out.insert(out.end(), description.begin(), description.end());
  const size_t headerSize = out.size();
  out.resize(headerSize + kNonceSize + data.size() + kTagSize);
  uint8_t* nonce = out.data() + headerSize;
  uint8_t* cipher = nonce + kNonceSize;
  uint8_t* tag = cipher + data.size();

  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  const bool ok =
      ctx && RAND_bytes(nonce, static_cast<int>(kNonceSize)) == 1 &&
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, holder.key.data(), nonce) == 1 &&
      EVP_EncryptUpdate(ctx.get(), nullptr, &len, out.data(), static_cast<int>(headerSize)) == 1 &&
      (data.empty() || EVP_EncryptUpdate(ctx.get(), cipher, &len, data.data(), static_cast<int>(data.size())) == 1) &&
      EVP_EncryptFinal_ex(ctx.get(), cipher + data.size(), &len) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag) == 1;
  if (!ok) return ERROR_NOT_ENOUGH_MEMORY;
  blob = std::move(out);
  return ERROR_SUCCESS;
}

uint32_t UnprotectData(std::span<const uint8_t> blob, std::vector<uint8_t>& data, std::string* description) {
  if (blob.size() < kHeaderFixed + kNonceSize + kTagSize || std::memcmp(blob.data(), kMagic, sizeof kMagic) != 0)
    return ERROR_INVALID_DATA;
  const size_t describedSize = GetU32(blob.data() + sizeof kMagic);
  if (describedSize > blob.size() - kHeaderFixed - kNonceSize - kTagSize) return ERROR_INVALID_DATA;
  const size_t headerSize = kHeaderFixed + describedSize;
  const uint8_t* nonce = blob.data() + headerSize;
  const uint8_t* cipher = nonce + kNonceSize;
  const size_t cipherSize = blob.size() - headerSize - kNonceSize - kTagSize;
  const uint8_t* tag = cipher + cipherSize;

  const Owner owner = KeyOwner();
  KeyHolder holder;
  if (uint32_t err = ReadKey(ProtectKeyPath(), owner, holder.key); err != ERROR_SUCCESS)
    return err == ERROR_FILE_NOT_FOUND ? ERROR_INVALID_DATA : err;

  std::vector<uint8_t> plain(cipherSize);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return ERROR_NOT_ENOUGH_MEMORY;
  int len = 0;
  // The tag is checked by the final step; nothing is handed out before it.
  const bool ok =
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, holder.key.data(), nonce) == 1 &&
      EVP_DecryptUpdate(ctx.get(), nullptr, &len, blob.data(), static_cast<int>(headerSize)) == 1 &&
      (cipherSize == 0 ||
       EVP_DecryptUpdate(ctx.get(), plain.data(), &len, cipher, static_cast<int>(cipherSize)) == 1) &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), const_cast<uint8_t*>(tag)) ==
          1 &&
      EVP_DecryptFinal_ex(ctx.get(), plain.data() + cipherSize, &len) == 1;
  if (!ok) {
    OPENSSL_cleanse(plain.data(), plain.size());
    return ERROR_INVALID_DATA;
  }
  if (description) description->assign(reinterpret_cast<const char*>(blob.data() + kHeaderFixed), describedSize);
  data = std::move(plain);
  return ERROR_SUCCESS;
}

}  // namespace platform::crypto
