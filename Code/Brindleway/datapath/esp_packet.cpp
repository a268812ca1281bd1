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

uint32_t IcvLength(const sa_desc& sa) { return sa.auth != nullptr ? sa.auth->icv_length : 0; }

}  // namespace

int esp_encap(buf_desc* pDesc) {
  if (pDesc == nullptr || pDesc->pBuffer == nullptr || pDesc->pData == nullptr) return -1;
  const TimingTrace timing;
  hex_dump("before encap...", pDesc->pData, static_cast<int>(pDesc->dwLength));

  EspSaState& state = esp_sa_state();
  bool spiChanged = false;
  uint32_t spis[3] = {};
  uint8_t* datagram = nullptr;
  uint32_t datagramLength = 0;
  {
    std::lock_guard<std::mutex> guard(state.lock);
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

    uint8_t* trailer = pDesc->pData + innerLength;
    for (uint32_t i = 1; i <= pad; ++i) trailer[i - 1] = static_cast<uint8_t>(i);
    trailer[pad] = static_cast<uint8_t>(pad);
    trailer[pad + 1] = ESP_NEXT_HEADER_IPIP;

    uint8_t* head = pDesc->pData - headerLength;
    wire::PutU32BE(head, sa->spi);
    if (sa->spi != state.sentSpis[2]) {
      state.sentSpis[0] = state.sentSpis[1];
      state.sentSpis[1] = state.sentSpis[2];
      state.sentSpis[2] = sa->spi;
      std::memcpy(spis, state.sentSpis, sizeof spis);
      spiChanged = true;
    }
    wire::PutU32BE(head + 4, sa->seq + 1);
    // A fresh IV, in the datagram and as the CBC start; the cipher leaves
    // its last block in the copy, which nothing uses.
    uint8_t iv[CRYPT_MAX_IV_LENGTH];
    if (ivLength > 0 && (sa->ivSource == nullptr || sa->ivSource->Next(iv, ivLength) != 0)) {
      LogPrint(LOG_ERR, "encap: no IV\n");
      return -1;
    }
    std::memcpy(head + ESP_HEADER_LENGTH, iv, ivLength);
    if (crypt->encrypt(iv, sa->schedule, head + headerLength, payloadLength) != 0) {
      LogPrint(LOG_ERR, "encap: encryption failed\n");
      return -1;
    }
    if (sa->auth != nullptr &&
        esp_hmac(sa->hmac, head, headerLength + payloadLength, head + headerLength + payloadLength, ESP_HMAC_WRITE) !=
            0) {
      LogPrint(LOG_ERR, "encap: HMAC failed\n");
      return -1;
    }
    ++sa->seq;
    datagram = head;
    datagramLength = headerLength + payloadLength + icvLength;
  }
  if (spiChanged) {
    const char* stars = "************************************\n";
    LogPrint(LOG_INFO, stars);
    LogPrint(LOG_INFO, "send packet... spis = [%d, %d, %d]\n", static_cast<int32_t>(spis[0]),
             static_cast<int32_t>(spis[1]), static_cast<int32_t>(spis[2]));
    LogPrint(LOG_INFO, stars);
  }
  pDesc->pData = datagram;
  pDesc->dwLength = datagramLength;
  hex_dump("after encap...", pDesc->pData, static_cast<int>(pDesc->dwLength));
  timing.Write("Encryption time: %u\n");
  return 0;
}

int esp_decap(buf_desc* pDesc) {
  if (pDesc == nullptr || pDesc->pData == nullptr) return -1;
  const TimingTrace timing;
  hex_dump("before decap...", pDesc->pData, static_cast<int>(pDesc->dwLength));

  uint8_t* datagram = pDesc->pData;
  const uint32_t length = pDesc->dwLength;
  uint32_t headerLength = 0;
  uint32_t innerLength = 0;
  {
    EspSaState& state = esp_sa_state();
    std::lock_guard<std::mutex> guard(state.inboundLock);
    if (length < ESP_HEADER_LENGTH) {
      DebugTrace(TRACE_PACKETS, "short datagram: %d\n", static_cast<int>(length));
      return -1;
    }
    const uint32_t spi = wire::GetU32BE(datagram);
    const sa_peer* peer = find_peer_by_spi_locked(state, spi);
    if (peer == nullptr) {
      LogPrint(LOG_ERR, "unknown spi %ld\n", static_cast<int32_t>(spi));
      return -1;
    }
    sa_desc* sa = peer->inbound;
    const crypt_algo* crypt = sa->crypt;
    const uint32_t ivLength = crypt->ivlen;
    const uint32_t blockSize = crypt->blocksize;
    const uint32_t icvLength = IcvLength(*sa);
    headerLength = ESP_HEADER_LENGTH + ivLength;
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
    if (sa->auth != nullptr &&
        esp_hmac(sa->hmac, datagram, headerLength + payloadLength, datagram + headerLength + payloadLength,
                 ESP_HMAC_CHECK) != 0) {
      return -1;
    }
    uint8_t iv[CRYPT_MAX_IV_LENGTH];
    std::memcpy(iv, datagram + ESP_HEADER_LENGTH, ivLength);
    uint8_t* payload = datagram + headerLength;
    if (crypt->decrypt(iv, sa->schedule, payload, payloadLength) != 0) {
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
    innerLength = payloadLength - 2 - padLength;
    for (uint32_t i = 1; i <= padLength; ++i) {
      if (payload[innerLength + i - 1] != static_cast<uint8_t>(i)) {
        LogPrint(LOG_ERR, "Bad padding\n");
        return -1;
      }
    }
  }
  pDesc->pData = datagram + headerLength;
  pDesc->dwLength = innerLength;
  hex_dump("after decap...", pDesc->pData, static_cast<int>(pDesc->dwLength));
  timing.Write("Decryption time: %u\n");
  return 0;
}

}  // namespace brindleway
