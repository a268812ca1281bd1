// Encapsulation + decapsulation per cipher x hash x packet size, beside the
// bare EVP work for the same bytes (CBC both ways, the HMAC twice) measured
// in the same run. The figure is the ratio: what the packet path costs on
// top of the primitives. The ESP figures include the fresh IV of each
// datagram; IV/16 and IV/8 show that part alone (the outbound SA's
// encrypted counter, esp_iv.h).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/datapath/esp_crypto_context.h"
#include "Brindleway/datapath/esp_iv.h"
#include "Brindleway/datapath/esp_packet.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/datapath/packet_buffer_pool.h"

namespace {

using namespace brindleway;

struct CipherInfo {
  uint16_t id;
  const char* label;
  const char* evp;  // null: NULL cipher
  uint32_t keyLength;
  uint32_t block;
};
struct HashInfo {
  uint16_t id;
  const char* label;
  const char* digest;  // null: no HMAC
  uint32_t keyLength;
  uint32_t icv;
};

const CipherInfo kCiphers[] = {{ESP_ENC_DES, "DES", "DES-CBC", 8, 8},          {ESP_ENC_3DES, "3DES", "DES-EDE3-CBC", 24, 8},
                               {ESP_ENC_NULL, "NULL", nullptr, 0, 1},           {ESP_ENC_AES, "AES128", "AES-128-CBC", 16, 16},
                               {ESP_ENC_AES192, "AES192", "AES-192-CBC", 24, 16}, {ESP_ENC_AES256, "AES256", "AES-256-CBC", 32, 16}};
const HashInfo kHashes[] = {{ESP_HASH_MD5, "MD5", "MD5", 16, 12},          {ESP_HASH_SHA1, "SHA1", "SHA1", 20, 12},
                            {ESP_HASH_SHA256, "SHA256", "SHA256", 32, 16}, {ESP_HASH_SHA384, "SHA384", "SHA384", 48, 24},
                            {ESP_HASH_SHA512, "SHA512", "SHA512", 64, 32}, {ESP_HASH_NULL, "NULL", nullptr, 0, 0}};
const int kSizes[] = {64, 512, 1400};

uint32_t Pad(uint32_t length, uint32_t block) {
  uint32_t pad = 0;
  while ((length + pad + 2) % block != 0 || (length + pad + 2) % 4 != 0) ++pad;
  return pad;
}

// Both directions keyed alike and one SPI, so our own datagrams come back
// through our inbound SA.
void SetUpLoopback(const CipherInfo& c, const HashInfo& h) {
  std::array<uint8_t, KEY_BLOCK_LENGTH> block{};
  for (size_t i = 0; i < h.keyLength + c.keyLength; ++i) {
    block[i] = static_cast<uint8_t>(i * 11 + 5);
    block[h.keyLength + c.keyLength + i] = block[i];
  }
  esp_sa_cleanup();
  if (esp_sa_setup(0x1234, 0x1234, block, c.id, h.id, inet_addr("10.0.0.2"), inet_addr("10.0.0.1")) != 0) {
    std::fprintf(stderr, "esp_sa_setup failed\n");
    std::abort();
  }
}

void BM_Esp(benchmark::State& state, CipherInfo c, HashInfo h, int size) {
  PacketBufferPool pool;
  SetUpLoopback(c, h);
  BufDescPtr desc = buf_desc_alloc(1);
  std::vector<uint8_t> inner(static_cast<size_t>(size), 0x45);
  for (auto _ : state) {
    buf_desc_reset(desc.get());
    std::memcpy(desc->pData, inner.data(), inner.size());
    desc->dwLength = static_cast<uint32_t>(inner.size());
    if (esp_encap(desc.get()) != 0 || esp_decap(desc.get()) != 0) {
      state.SkipWithError("round trip failed");
      break;
    }
    benchmark::DoNotOptimize(desc->pData);
  }
  desc.reset();
  esp_sa_cleanup();
  state.SetBytesProcessed(state.iterations() * size);
}

// The same crypto straight on EVP: set the IV and CBC-encrypt the padded
// payload, HMAC the datagram; then HMAC it again and CBC-decrypt.
void BM_Evp(benchmark::State& state, CipherInfo c, HashInfo h, int size) {
  OSSL_LIB_CTX* libctx = EspLibraryContext();
  const uint32_t payload = static_cast<uint32_t>(size) + Pad(static_cast<uint32_t>(size), c.block) + 2;
  const uint32_t ivLength = c.evp != nullptr ? c.block : 0;
  std::vector<uint8_t> datagram(8 + ivLength + payload + h.icv, 0x45);
  std::vector<uint8_t> key(64, 0x5A);
  uint8_t iv[16] = {};

  EVP_CIPHER* cipher = c.evp != nullptr ? EVP_CIPHER_fetch(libctx, c.evp, nullptr) : nullptr;
  EVP_CIPHER_CTX* enc = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
  if (cipher != nullptr) {
    EVP_CipherInit_ex2(enc, cipher, key.data(), nullptr, 1, nullptr);
    EVP_CipherInit_ex2(dec, cipher, key.data(), nullptr, 0, nullptr);
    EVP_CIPHER_CTX_set_padding(enc, 0);
    EVP_CIPHER_CTX_set_padding(dec, 0);
  }
  EVP_MAC* mac = EVP_MAC_fetch(libctx, "HMAC", nullptr);
  EVP_MAC_CTX* macCtx = EVP_MAC_CTX_new(mac);
  if (h.digest != nullptr) {
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(h.digest), 0),
                           OSSL_PARAM_construct_end()};
    EVP_MAC_init(macCtx, key.data(), h.keyLength, params);
  }
  uint8_t out[EVP_MAX_MD_SIZE];
  uint8_t* body = datagram.data() + 8 + ivLength;
  const size_t covered = 8 + ivLength + payload;
  for (auto _ : state) {
    int n = 0;
    size_t macLength = 0;
    if (cipher != nullptr) {
      EVP_CipherInit_ex2(enc, nullptr, nullptr, iv, 1, nullptr);
      EVP_CipherUpdate(enc, body, &n, body, static_cast<int>(payload));
    }
    if (h.digest != nullptr) {
      EVP_MAC_init(macCtx, nullptr, 0, nullptr);
      EVP_MAC_update(macCtx, datagram.data(), covered);
      EVP_MAC_final(macCtx, out, &macLength, sizeof out);
      EVP_MAC_init(macCtx, nullptr, 0, nullptr);
      EVP_MAC_update(macCtx, datagram.data(), covered);
      EVP_MAC_final(macCtx, out, &macLength, sizeof out);
    }
    if (cipher != nullptr) {
      EVP_CipherInit_ex2(dec, nullptr, nullptr, iv, 0, nullptr);
      EVP_CipherUpdate(dec, body, &n, body, static_cast<int>(payload));
    }
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(body);
  }
  EVP_MAC_CTX_free(macCtx);
  EVP_MAC_free(mac);
  EVP_CIPHER_CTX_free(enc);
  EVP_CIPHER_CTX_free(dec);
  EVP_CIPHER_free(cipher);
  state.SetBytesProcessed(state.iterations() * size);
}

// One datagram's IV from the outbound SA's source.
void BM_Iv(benchmark::State& state, uint32_t length) {
  const std::array<uint8_t, ESP_IV_KEY_LENGTH> key{0x5A};
  std::unique_ptr<EspIvSource> source = EspIvSource::Make(key);
  if (source == nullptr) {
    state.SkipWithError("no IV source");
    return;
  }
  uint8_t iv[ESP_IV_BLOCK];
  for (auto _ : state) {
    if (source->Next(iv, length) != 0) {
      state.SkipWithError("IV source failed");
      break;
    }
    benchmark::DoNotOptimize(iv);
  }
}

std::string Key(const CipherInfo& c, const HashInfo& h, int size) {
  return std::string(c.label) + "/" + h.label + "/" + std::to_string(size);
}

// Prints the usual table, then ESP time beside EVP time and their ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      const std::string name = run.benchmark_name();
      const double ns = run.GetAdjustedRealTime();
      if (name.rfind("ESP/", 0) == 0) m_esp[name.substr(4)] = ns;
      if (name.rfind("EVP/", 0) == 0) m_evp[name.substr(4)] = ns;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-22s %12s %12s %8s\n", "cipher/hash/bytes", "esp ns", "evp ns", "ratio");
    for (const auto& [key, esp] : m_esp) {
      const auto evp = m_evp.find(key);
      if (evp == m_evp.end()) continue;
      // NULL/NULL has no primitive work to compare with.
      if (key.rfind("NULL/NULL/", 0) != 0 && evp->second > 0) {
        std::printf("%-22s %12.0f %12.0f %8.2f\n", key.c_str(), esp, evp->second, esp / evp->second);
      } else {
        std::printf("%-22s %12.0f %12.0f %8s\n", key.c_str(), esp, evp->second, "-");
      }
    }
  }

 private:
  std::map<std::string, double> m_esp;
  std::map<std::string, double> m_evp;
};

}  // namespace

int main(int argc, char** argv) {
  for (const CipherInfo& c : kCiphers) {
    for (const HashInfo& h : kHashes) {
      for (int size : kSizes) {
        benchmark::RegisterBenchmark(("ESP/" + Key(c, h, size)).c_str(), BM_Esp, c, h, size);
        benchmark::RegisterBenchmark(("EVP/" + Key(c, h, size)).c_str(), BM_Evp, c, h, size);
      }
    }
  }
  benchmark::RegisterBenchmark("IV/16", BM_Iv, 16u);
  benchmark::RegisterBenchmark("IV/8", BM_Iv, 8u);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
