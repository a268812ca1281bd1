#include "Brindleway/datapath/idea_cbc.h"

#include <gcrypt.h>

#include <cstring>
#include <mutex>
#include <type_traits>

#include "support/log.h"

namespace brindleway {
namespace {

constexpr uint32_t kIdeaBlock = 8;

bool GcryptReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    // Another part of the process may have set the library up already.
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
        LogPrint(LOG_ERR, "libgcrypt version mismatch\n");
        return;
      }
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    ready = gcry_cipher_test_algo(GCRY_CIPHER_IDEA) == 0;
  });
  return ready;
}

struct HandleClose {
  void operator()(gcry_cipher_hd_t handle) const noexcept { gcry_cipher_close(handle); }
};
using HandlePtr = std::unique_ptr<std::remove_pointer_t<gcry_cipher_hd_t>, HandleClose>;

class IdeaCbcSchedule final : public CipherSchedule {
 public:
  IdeaCbcSchedule(HandlePtr handle, bool encrypt) : m_handle(std::move(handle)), m_encrypt(encrypt) {}

  bool Encrypts() const override { return m_encrypt; }

  int Cbc(uint8_t* iv, uint8_t* data, uint32_t len) override {
    if (len == 0) return 0;
    if (len % kIdeaBlock != 0) return -1;
    uint8_t lastCipherBlock[kIdeaBlock];
    if (!m_encrypt) std::memcpy(lastCipherBlock, data + len - kIdeaBlock, kIdeaBlock);
    if (gcry_cipher_setiv(m_handle.get(), iv, kIdeaBlock) != 0) return -1;
    const gcry_error_t err = m_encrypt ? gcry_cipher_encrypt(m_handle.get(), data, len, nullptr, 0)
                                       : gcry_cipher_decrypt(m_handle.get(), data, len, nullptr, 0);
    if (err != 0) return -1;
    std::memcpy(iv, m_encrypt ? data + len - kIdeaBlock : lastCipherBlock, kIdeaBlock);
    return 0;
  }

 private:
  HandlePtr m_handle;
  bool m_encrypt;
};

}  // namespace

CipherSchedulePtr MakeIdeaCbcSchedule(const uint8_t* key, uint32_t keyLength, bool encrypt) {
  if (key == nullptr || keyLength != IDEA_KEY_LENGTH || !GcryptReady()) return nullptr;
  gcry_cipher_hd_t raw = nullptr;
  if (gcry_cipher_open(&raw, GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_CBC, 0) != 0) return nullptr;
  HandlePtr handle(raw);
  if (gcry_cipher_setkey(handle.get(), key, keyLength) != 0) return nullptr;
  return std::make_unique<IdeaCbcSchedule>(std::move(handle), encrypt);
}

}  // namespace brindleway
