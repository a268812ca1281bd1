#include "Brindleway/datapath/esp_packet.h"

#include <chrono>
#include <cstring>
#include <mutex>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/datapath/hex_dump.h"
#include "Brindleway/datapath/timing_trace.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

// Pad length (after the pad come the pad length and next header bytes).
uint32_t PadLength(uint32_t innerLength, uint32_t blockSize) {
  uint32_t pad = blockSize - ((innerLength + 2) % blockSize);
  if (pad == blockSize) pad = 0;
  // The NULL cipher (block 1) still aligns the trailer to 4 bytes.
  const uint32_t misalign = (innerLength + pad + 2) % 4;
  if (misalign != 0) pad += 4 - misalign;
  return pad;
}

// 1, 2, ..., pad, the pad length and the next header at trailer.
void WriteTrailer(uint8_t* trailer, uint32_t pad) {
  for (uint32_t i = 1; i <= pad; ++i) trailer[i - 1] = static_cast<uint8_t>(i);
  trailer[pad] = static_cast<uint8_t>(pad);
  trailer[pad + 1] = ESP_NEXT_HEADER_IPIP;
}

uint32_t IcvLength(const sa_desc& sa) { return sa.auth != nullptr ? sa.auth->icv_length : 0; }

// The SPIs to log when the outbound SPI changed.
struct SpiChange {
  bool changed = false;
  uint32_t spis[3] = {};
  void Log() const {
    if (!changed) return;
    const char* stars = "************************************\n";
    LogPrint(LOG_INFO, stars);
    LogPrint(LOG_INFO, "send packet... spis = [%d, %d, %d]\n", static_cast<int32_t>(spis[0]),
             static_cast<int32_t>(spis[1]), static_cast<int32_t>(spis[2]));
    LogPrint(LOG_INFO, stars);
  }
};

// Steps 1-3 with the SA lock held: trailer, SPI, the next sequence number
// (written, not taken) and a fresh IV in front of the packet. On 0 job is
// filled and *head is where the datagram starts; the descriptor itself is
// left as it was.
int FrameLocked(EspSaState& state, buf_desc* pDesc, EspSealJob& job, uint8_t** head, SpiChange& spiChange) {
  sa_desc* sa = state.current.outbound;
  if (sa == nullptr || sa->dst.address == 0) {
    LogPrint(LOG_ERR, "destination unknown\n");
    return -1;
  }
  const crypt_algo* crypt = sa->crypt;
  const uint32_t ivLength = crypt->ivlen;
  const uint32_t icvLength = IcvLength(*sa);
  const uint32_t innerLength = pDesc->dwLength;
  const uint32_t pad = PadLength(innerLength, crypt->blocksize);
  const uint32_t payloadLength = innerLength + pad + 2;
  const uint32_t headerLength = ESP_HEADER_LENGTH + ivLength;
  const uint8_t* bufferEnd = pDesc->pBuffer + PACKET_GUARD_OFFSET;
  if (pDesc->pData < pDesc->pBuffer || static_cast<size_t>(pDesc->pData - pDesc->pBuffer) < headerLength ||
      pDesc->pData > bufferEnd ||
      static_cast<size_t>(bufferEnd - pDesc->pData) < static_cast<size_t>(payloadLength) + icvLength) {
    LogPrint(LOG_ERR, "encap: no room for %d bytes\n", static_cast<int>(innerLength));
    return -1;
  }
  // A fresh IV, in the datagram and as the CBC start.
  if (ivLength > 0 && (sa->ivSource == nullptr || sa->ivSource->Next(job.iv, ivLength) != 0)) {
    LogPrint(LOG_ERR, "encap: no IV\n");
    return -1;
  }

  WriteTrailer(pDesc->pData + innerLength, pad);

  uint8_t* start = pDesc->pData - headerLength;
  wire::PutU32BE(start, sa->spi);
  if (sa->spi != state.sentSpis[2]) {
    state.sentSpis[0] = state.sentSpis[1];
    state.sentSpis[1] = state.sentSpis[2];
    state.sentSpis[2] = sa->spi;
    std::memcpy(spiChange.spis, state.sentSpis, sizeof spiChange.spis);
    spiChange.changed = true;
  }
  wire::PutU32BE(start + 4, sa->seq + 1);
  std::memcpy(start + ESP_HEADER_LENGTH, job.iv, ivLength);
  job.sa = sa;
  job.headerLength = headerLength;
  job.payloadLength = payloadLength;
  *head = start;
  return 0;
}

// Steps 4-5 on the datagram at head. The cipher leaves its last block in
// the IV's copy, which nothing uses.
int SealAt(uint8_t* head, const EspSealJob& job, CipherSchedulePtr& schedule, HmacKey& hmac) {
  uint8_t iv[CRYPT_MAX_IV_LENGTH];
  std::memcpy(iv, job.iv, sizeof iv);
  if (job.sa->crypt->encrypt(iv, schedule, head + job.headerLength, job.payloadLength) != 0) {
    LogPrint(LOG_ERR, "encap: encryption failed\n");
    return -1;
  }
  if (job.sa->auth != nullptr && esp_hmac(hmac, head, job.headerLength + job.payloadLength,
                                          head + job.headerLength + job.payloadLength, ESP_HMAC_WRITE) != 0) {
    LogPrint(LOG_ERR, "encap: HMAC failed\n");
    return -1;
  }
  return 0;
}

uint32_t DatagramLength(const EspSealJob& job) { return job.headerLength + job.payloadLength + IcvLength(*job.sa); }

// Inbound steps 1-2 with the inbound lock held: the SA by the SPI, and
// every length checked before any crypto. *owner: the SA itself, for a
// caller that decrypts with the SA's own contexts under the lock.
int CheckLocked(EspSaState& state, const buf_desc* pDesc, EspOpenJob& job, sa_desc** owner = nullptr) {
  const uint32_t length = pDesc->dwLength;
  if (length < ESP_HEADER_LENGTH) {
    DebugTrace(TRACE_PACKETS, "short datagram: %d\n", static_cast<int>(length));
    return -1;
  }
  const uint32_t spi = wire::GetU32BE(pDesc->pData);
  const sa_peer* peer = find_peer_by_spi_locked(state, spi);
  if (peer == nullptr) {
    LogPrint(LOG_ERR, "unknown spi %ld\n", static_cast<int32_t>(spi));
    return -1;
  }
  const sa_desc* sa = peer->inbound;
  const uint32_t blockSize = sa->crypt->blocksize;
  const uint32_t icvLength = IcvLength(*sa);
  const uint32_t headerLength = ESP_HEADER_LENGTH + sa->crypt->ivlen;
  // At least one block, and room for the pad length and next header.
  const uint32_t minPayload = blockSize > 2 ? blockSize : 2;
  if (static_cast<uint64_t>(length) < static_cast<uint64_t>(headerLength) + minPayload + icvLength) {
    DebugTrace(TRACE_PACKETS, "short datagram: %d\n", static_cast<int>(length));
    return -1;
  }
  const uint32_t payloadLength = length - headerLength - icvLength;
  if (payloadLength % blockSize != 0) {
    LogPrint(LOG_ERR, "payload len %d not a multiple of algorithm block size %d", static_cast<int>(payloadLength),
             static_cast<int>(blockSize));
    return -1;
  }
  job.sa = sa;
  job.headerLength = headerLength;
  job.payloadLength = payloadLength;
  if (owner != nullptr) *owner = peer->inbound;
  return 0;
}

// Inbound steps 3-5 on the datagram a check accepted: the ICV (constant
// time) before anything is decrypted, then CBC in place and the trailer.
int OpenAt(uint8_t* datagram, const EspOpenJob& job, CipherSchedulePtr& schedule, HmacKey& hmac,
           uint32_t& innerLength) {
  const sa_desc& sa = *job.sa;
  const uint32_t headerLength = job.headerLength;
  const uint32_t payloadLength = job.payloadLength;
  if (sa.auth != nullptr && esp_hmac(hmac, datagram, headerLength + payloadLength,
                                     datagram + headerLength + payloadLength, ESP_HMAC_CHECK) != 0) {
    return -1;
  }
  uint8_t iv[CRYPT_MAX_IV_LENGTH];
  std::memcpy(iv, datagram + ESP_HEADER_LENGTH, sa.crypt->ivlen);
  uint8_t* payload = datagram + headerLength;
  if (sa.crypt->decrypt(iv, schedule, payload, payloadLength) != 0) {
    LogPrint(LOG_ERR, "decap: decryption failed\n");
    return -1;
  }
  const uint8_t nextHeader = payload[payloadLength - 1];
  const uint8_t padLength = payload[payloadLength - 2];
  if (payloadLength < static_cast<uint32_t>(padLength) + 2) {
    LogPrint(LOG_ERR, "Inconsistent padlen\n");
    return -1;
  }
  if (nextHeader != ESP_NEXT_HEADER_IPIP) {
    LogPrint(LOG_ERR, "Inconsistent next_header %d\n", static_cast<int>(nextHeader));
    return -1;
  }
  DebugTrace(TRACE_PACKETS, "pad len: %d, next_header: %d\n", static_cast<int>(padLength),
             static_cast<int>(nextHeader));
  const uint32_t inner = payloadLength - 2 - padLength;
  for (uint32_t i = 1; i <= padLength; ++i) {
    if (payload[inner + i - 1] != static_cast<uint8_t>(i)) {
      LogPrint(LOG_ERR, "Bad padding\n");
      return -1;
    }
  }
  innerLength = inner;
  return 0;
}

}  // namespace

int esp_encap(buf_desc* pDesc) {
  if (pDesc == nullptr || pDesc->pBuffer == nullptr || pDesc->pData == nullptr) return -1;
  const TimingTrace timing;
  hex_dump("before encap...", pDesc->pData, static_cast<int>(pDesc->dwLength));

  EspSaState& state = esp_sa_state();
  SpiChange spiChange;
  EspSealJob job;
  uint8_t* head = nullptr;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    if (FrameLocked(state, pDesc, job, &head, spiChange) != 0) return -1;
    // The SA's own cipher and HMAC, which the SA lock guards.
    sa_desc* sa = state.current.outbound;
    if (SealAt(head, job, sa->schedule, sa->hmac) != 0) return -1;
    ++sa->seq;
  }
  spiChange.Log();
  pDesc->pData = head;
  pDesc->dwLength = DatagramLength(job);
  hex_dump("after encap...", pDesc->pData, static_cast<int>(pDesc->dwLength));
  timing.Write("Encryption time: %u\n");
  return 0;
}

int esp_encap_frame(buf_desc* pDesc, EspSealJob& job) {
  if (pDesc == nullptr || pDesc->pBuffer == nullptr || pDesc->pData == nullptr) return -1;
  hex_dump("before encap...", pDesc->pData, static_cast<int>(pDesc->dwLength));
  EspSaState& state = esp_sa_state();
  SpiChange spiChange;
  uint8_t* head = nullptr;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    if (FrameLocked(state, pDesc, job, &head, spiChange) != 0) return -1;
    ++state.current.outbound->seq;
  }
  spiChange.Log();
  pDesc->pData = head;
  pDesc->dwLength = DatagramLength(job);
  return 0;
}

int esp_encap_shrink(buf_desc* pDesc, EspSealJob& job, uint32_t innerLength) {
  if (pDesc == nullptr || pDesc->pData == nullptr || job.sa == nullptr) return -1;
  const uint32_t pad = PadLength(innerLength, job.sa->crypt->blocksize);
  const uint32_t payloadLength = innerLength + pad + 2;
  // Only ever shorter: the room was checked for the longer datagram.
  if (payloadLength > job.payloadLength) return -1;
  WriteTrailer(pDesc->pData + job.headerLength + innerLength, pad);
  job.payloadLength = payloadLength;
  pDesc->dwLength = DatagramLength(job);
  return 0;
}

int EspThreadKeys::Use(const sa_desc& sa) {
  if (m_sa == &sa) return 0;
  m_sa = nullptr;
  // The key bytes are set before the SA is published and never change
  // while it can be used.
  const auto setKey = m_decrypt ? sa.crypt->set_decrypt_key : sa.crypt->set_encrypt_key;
  if (setKey(sa.enc_key, sa.enc_key_len, m_schedule) != 0) return -1;
  if (sa.auth != nullptr) {
    if (m_hmac.Init(sa.auth, sa.auth_key, sa.auth_key_len) != 0) return -1;
  } else {
    m_hmac.Clear();
  }
  m_sa = &sa;
  return 0;
}

int esp_encap_seal(buf_desc* pDesc, const EspSealJob& job, EspSealKeys& keys) {
  if (pDesc == nullptr || pDesc->pData == nullptr || job.sa == nullptr) return -1;
  const TimingTrace timing;
  if (keys.Use(*job.sa) != 0) {
    LogPrint(LOG_ERR, "encap: encryption failed\n");
    return -1;
  }
  if (SealAt(pDesc->pData, job, keys.Schedule(), keys.Hmac()) != 0) return -1;
  hex_dump("after encap...", pDesc->pData, static_cast<int>(pDesc->dwLength));
  timing.Write("Encryption time: %u\n");
  return 0;
}

int esp_decap(buf_desc* pDesc) {
  if (pDesc == nullptr || pDesc->pData == nullptr) return -1;
  const TimingTrace timing;
  hex_dump("before decap...", pDesc->pData, static_cast<int>(pDesc->dwLength));
  uint32_t innerLength = 0;
  EspOpenJob job;
  {
    EspSaState& state = esp_sa_state();
    std::lock_guard<std::mutex> guard(state.inboundLock);
    // The SA's own cipher and HMAC, which the inbound lock guards.
    sa_desc* sa = nullptr;
    if (CheckLocked(state, pDesc, job, &sa) != 0) return -1;
    if (OpenAt(pDesc->pData, job, sa->schedule, sa->hmac, innerLength) != 0) return -1;
  }
  pDesc->pData += job.headerLength;
  pDesc->dwLength = innerLength;
  hex_dump("after decap...", pDesc->pData, static_cast<int>(pDesc->dwLength));
  timing.Write("Decryption time: %u\n");
  return 0;
}

int esp_decap_check(const buf_desc* pDesc, EspOpenJob& job) {
  if (pDesc == nullptr || pDesc->pData == nullptr) return -1;
  hex_dump("before decap...", pDesc->pData, static_cast<int>(pDesc->dwLength));
  EspSaState& state = esp_sa_state();
  std::lock_guard<std::mutex> guard(state.inboundLock);
  return CheckLocked(state, pDesc, job);
}

int esp_decap_open(buf_desc* pDesc, const EspOpenJob& job, EspOpenKeys& keys) {
  if (pDesc == nullptr || pDesc->pData == nullptr || job.sa == nullptr) return -1;
  const TimingTrace timing;
  if (keys.Use(*job.sa) != 0) {
    LogPrint(LOG_ERR, "decap: decryption failed\n");
    return -1;
  }
  uint32_t innerLength = 0;
  if (OpenAt(pDesc->pData, job, keys.Schedule(), keys.Hmac(), innerLength) != 0) return -1;
  pDesc->pData += job.headerLength;
  pDesc->dwLength = innerLength;
  hex_dump("after decap...", pDesc->pData, static_cast<int>(pDesc->dwLength));
  timing.Write("Decryption time: %u\n");
  return 0;
}

}  // namespace brindleway
