// ESP-like packets (ESP tunnel mode, carried directly in UDP) on the
// current security associations.
//
// Outbound road of one inner IPv4 packet of L bytes:
//  1. under the SA lock: the current outbound SA, refused without one or
//     without a destination (a packet never leaves unencrypted);
//  2. pad to the cipher block and to 4 bytes: 1, 2, ..., pad, pad length,
//     next header 4;
//  3. SPI (the gateway's) and the next sequence number in front, big-endian,
//     then a fresh IV from the SA's IV source (the SA's encrypted counter,
//     esp_iv.h): unpredictable, and unrelated to the datagram before it;
//     none for the NULL cipher;
//  4. CBC in place from that IV;
//  5. HMAC over SPI .. ciphertext, cut to the ICV, appended.
//
// Inbound road of one datagram:
//  1. under the SA lock: the SPI picks the current, then the aging pair;
//  2. lengths: SPI, sequence, IV, at least one block (two bytes for the
//     NULL cipher) and the ICV must fit, the ciphertext a multiple of the
//     block, all before any crypto;
//  3. ICV checked (constant time) before anything is decrypted;
//  4. CBC-decrypt in place with the datagram's IV;
//  5. pad length, next header 4 and the pad bytes checked; the inner packet
//     is what is left.
// There is no anti-replay window: sequence numbers are not checked.
//
// The outbound road also comes in two halves for the send pipeline
// (outbound_pipeline.h): esp_encap_frame does steps 1-3 under the SA lock
// and takes the sequence number then, so the order of framing is the
// order of the numbers; esp_encap_seal does steps 4-5 outside it with
// keys of the caller's own (EspSealKeys), so datagrams framed in order
// can be sealed on several threads at once. No IV depends on another
// datagram, which is what lets them. The inbound road comes in halves for
// the receive pipeline too: esp_decap_check does steps 1-2 under the
// inbound lock, esp_decap_open steps 3-5 with keys of the caller's own
// (EspOpenKeys); with no replay window, no datagram's check depends on
// another's.
#pragma once

#include <cstdint>

#include "Brindleway/datapath/auth_algo.h"
#include "Brindleway/datapath/cipher_schedule.h"
#include "Brindleway/datapath/crypt_algo.h"
#include "Brindleway/datapath/packet_buffer_pool.h"

namespace brindleway {

struct sa_desc;

// Encapsulates the packet in place: on 0 the descriptor's data moved back
// by 8 + IV length and its length is the datagram's. -1, descriptor
// untouched, when there is no outbound SA or destination, the buffer has
// no room for header and trailer, or the IV source or the cipher failed.
int esp_encap(buf_desc* pDesc);

// A datagram framed and waiting for its CBC and HMAC.
struct EspSealJob {
  // The outbound SA it was framed on; its descriptor lives until
  // esp_sa_cleanup, after the data path ended.
  const sa_desc* sa = nullptr;
  uint8_t iv[CRYPT_MAX_IV_LENGTH] = {};
  uint32_t headerLength = 0;
  uint32_t payloadLength = 0;
};

// Steps 1-3 under the SA lock, the sequence number taken: on 0 the
// descriptor's data and length are the datagram's (its ciphertext and ICV
// not written yet). -1, descriptor untouched and no number taken, as
// esp_encap refuses.
int esp_encap_frame(buf_desc* pDesc, EspSealJob& job);

// The inner packet of a datagram esp_encap_frame framed (at pData +
// job.headerLength) has shrunk in place to innerLength bytes, as
// compression does: the trailer is laid out again behind it and job and
// the descriptor's length follow. -1, nothing changed, when it would come out
// longer than it was framed.
int esp_encap_shrink(buf_desc* pDesc, EspSealJob& job, uint32_t innerLength);

// An SA's cipher and HMAC keyed again for one thread, so that threads
// never share a cipher or HMAC context: EspSealKeys for an outbound SA,
// EspOpenKeys for an inbound one. Not thread-safe: one per thread.
class EspThreadKeys {
 public:
  // 0 when keyed for sa (at once when it already is), -1 when a key was
  // refused.
  int Use(const sa_desc& sa);
  CipherSchedulePtr& Schedule() { return m_schedule; }
  HmacKey& Hmac() { return m_hmac; }

 protected:
  explicit EspThreadKeys(bool decrypt) : m_decrypt(decrypt) {}

 private:
  bool m_decrypt;
  const sa_desc* m_sa = nullptr;
  CipherSchedulePtr m_schedule;
  HmacKey m_hmac;
};

class EspSealKeys : public EspThreadKeys {
 public:
  EspSealKeys() : EspThreadKeys(false) {}
};

class EspOpenKeys : public EspThreadKeys {
 public:
  EspOpenKeys() : EspThreadKeys(true) {}
};

// Steps 4-5 for a descriptor esp_encap_frame framed into job, with keys
// keyed for job.sa. 0, or -1 when the cipher or the HMAC failed (the
// datagram must then not be sent).
int esp_encap_seal(buf_desc* pDesc, const EspSealJob& job, EspSealKeys& keys);

// Checks and decrypts the datagram in place: on 0 the descriptor's data is
// the inner packet and its length the inner length. -1 (descriptor
// untouched; drop the datagram) otherwise.
int esp_decap(buf_desc* pDesc);

// A datagram whose SPI and lengths were checked, waiting for its ICV check
// and decryption.
struct EspOpenJob {
  // The inbound SA its SPI named; its descriptor lives until
  // esp_sa_cleanup, after the data path ended.
  const sa_desc* sa = nullptr;
  uint32_t headerLength = 0;
  uint32_t payloadLength = 0;
};

// Steps 1-2 under the inbound lock. 0 with job filled, or -1 (drop the
// datagram) as esp_decap refuses it; the descriptor is left as it was.
int esp_decap_check(const buf_desc* pDesc, EspOpenJob& job);

// Steps 3-5 for a descriptor esp_decap_check accepted into job, with keys
// keyed for job.sa, outside any lock: on 0 the descriptor is the inner
// packet, as after esp_decap; -1 (drop it) otherwise.
int esp_decap_open(buf_desc* pDesc, const EspOpenJob& job, EspOpenKeys& keys);

}  // namespace brindleway
