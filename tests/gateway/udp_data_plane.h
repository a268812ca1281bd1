// The gateway's UDP data plane, written from the wire layout alone (none of
// the client's packet code): one UDP socket and one thread.
//
// From the client:
//   - the one-byte heart-beat 0xFF: counted;
//   - ESP datagrams: checked and decrypted with EspPeer; inner packets
//     between 0.0.0.0 and 0.0.0.0 are tunnel control (ICMP: keep-alive,
//     answered with one of ours when asked to; UDP ports 0/0 with value 2:
//     logout); anything else is traffic, handed to the callback or written
//     to the TUN device.
// To the client (its address is learnt from its first valid datagram):
// inner packets, keep-alives with or without the host-check digest,
// disconnect notices with a reason, raw bytes (hostile datagrams), and
// every packet the TUN device gives.
//
// Every datagram is recorded so tests can assert what arrived and in what
// order. All methods are safe from any thread.
//
// Fast enough that a benchmark measures the client and not this end: the
// receive thread takes up to 32 datagrams per call (recvmmsg; coalesced
// ones too, UDP GRO, into a large receive buffer) and decrypts them in
// place, or, with several decryptors (`decryptors`), hands each receive
// to them (DecryptPipeline) and receives again while they decrypt; they
// record the datagrams and write their inner packets to the device in the
// order received, as the receive thread does alone (a receive of one or
// two datagrams while none is in their hands stays on the receive thread;
// past their pool of receives the receive thread waits); else, with a
// device, a writer thread writes their inner packets to it
// (handed over a batch at a time, at most kDeviceBacklog waiting, beyond
// which they are dropped as a full device queue drops them; a receive of
// one or two packets that finds the writer idle is written at once on the
// receive thread, so that a lone packet makes no hop), and the
// device thread reads what the device gives and frames it (sequence
// numbers in order) a batch of up to 32 packets at a time, each packet
// framed where it was read; sealer threads seal whole batches (CBC and
// HMAC, SealPipeline, `sealers`) while it reads on, and it sends the
// finished batches in the order it framed them (sendmmsg, runs of one
// length with UDP segmentation offload). A small batch (a lone packet of
// an idle tunnel) is sealed on the device thread at once, and sent at once
// when nothing is in flight before it. With nothing to read, or while the
// pipeline holds its limit (it then stops reading), the device thread
// seals what no sealer has taken. The device is read on one thread
// and written on another. The other sends (keep-alives, notices) frame
// and seal at once and may pass device packets still being sealed; the
// client doesn't hold sequence numbers to their order.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "gateway/decrypt_pipeline.h"
#include "gateway/esp_peer.h"
#include "gateway/seal_pipeline.h"
#include "gateway/udp_segment_sender.h"
#include "platform/sync/event.h"
#include "platform/tun/tun.h"
#include "platform/unique_fd.h"

namespace vqgateway {

struct UdpDataPlaneOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  EspPeerConfig esp{};
  // The gateway's protocol version byte: 2.1 and later send 44-byte
  // keep-alives (with a digest), older ones 32-byte ones.
  uint8_t version = 0x20;
  // Answer each keep-alive of the client with one of ours.
  bool answerKeepAlives = true;
  // The digest our keep-alives carry (2.1 and later).
  std::array<uint8_t, 16> digest{};
  // Where traffic from the client goes: the callback, else the device
  // (whose own packets then go to the client), else only the record.
  std::function<void(const std::vector<uint8_t>& inner)> onTraffic;
  platform::tun::Device* tun = nullptr;  // not owned
  // Keep traffic packets in the record (a long-running gateway doesn't).
  bool recordTraffic = true;
  // IP compression as negotiated: the CPI the client writes into its
  // IPComp headers (ours, sent in the key reply) and the one we write
  // (the client's own, from its key request).
  bool ipcomp = false;
  uint16_t gatewayCpi = 0;
  uint16_t clientCpi = 0;
  // Threads sealing the device's packets, the device thread included: 0
  // picks one per usable processor, at most SealPipeline::kMaxSealers; 1
  // seals on the device thread alone.
  unsigned sealers = 0;
  // Threads decrypting the client's datagrams beside the receive thread
  // (DecryptPipeline), delivered in the order received: 0 picks one per
  // usable processor but one, at most DecryptPipeline::kMaxDecryptors; 1 decrypts
  // on the receive thread alone.
  unsigned decryptors = 0;
};

enum class InnerKind { Traffic, KeepAlive, Logout, OtherControl };

struct ReceivedInner {
  InnerKind kind = InnerKind::Traffic;
  std::vector<uint8_t> bytes;
};

struct UdpDataPlaneStats {
  int heartBeats = 0;
  int keepAlives = 0;
  int logouts = 0;
  int traffic = 0;
  int decapFailures = 0;
  int inflated = 0;  // IPComp packets from the client, restored
  int deflated = 0;  // packets we compressed
  int ipcompFailures = 0;
};

class UdpDataPlane {
 public:
  // Binds and starts the thread; throws std::runtime_error when it can't.
  explicit UdpDataPlane(UdpDataPlaneOptions options);
  ~UdpDataPlane();
  UdpDataPlane(const UdpDataPlane&) = delete;
  UdpDataPlane& operator=(const UdpDataPlane&) = delete;

  uint16_t Port() const { return port_; }
  // New keys (a rekey, or the first key exchange of a gateway that bound
  // its data port before it).
  void SetEspConfig(const EspPeerConfig& config);
  // The client's own CPI once its key request is known.
  void SetClientCpi(uint16_t cpi);
  // Known once a valid datagram came, or once set.
  std::optional<sockaddr_in> ClientAddress() const;
  void SetClientAddress(const sockaddr_in& address);

  // False while the client's address is unknown or the send failed.
  bool SendInner(std::span<const uint8_t> inner);
  bool SendKeepAlive();
  bool SendDisconnect(uint32_t reason);
  bool SendRaw(std::span<const uint8_t> datagram);
  // Encapsulated for the client without sending (hostile datagrams).
  std::vector<uint8_t> Encap(std::span<const uint8_t> inner);
  std::vector<uint8_t> EncapBody(std::span<const uint8_t> body);

  UdpDataPlaneStats Stats() const;
  std::vector<ReceivedInner> Received() const;

 private:
  void ReceiveLoop();
  void PipelinedReceiveLoop();
  // A batch from the decryptors, in receive order.
  void DeliverDecrypted(std::span<ReceivedDatagram> batch);
  void DeviceLoop();
  // Reads a batch from the device, frames it and submits it: true when the
  // device had no more for now (or failed).
  bool ReadAndFrame(SealPipeline& pipeline);
  void SendSealed(UdpSegmentSender& sender, const SealPipeline::Batch& batch);
  void WriterLoop();
  // Inner packets on their way to the device.
  struct PacketBatch {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<size_t, size_t>> packets;  // offset, length
    void Clear() {
      bytes.clear();
      packets.clear();
    }
  };
  void QueueForDevice(std::span<const uint8_t> inner);
  void FlushToWriter();
  void WriteToDevice(const PacketBatch& batch, std::vector<std::span<const uint8_t>>& packets);
  void HandleDatagram(EspPeer& peer, std::span<uint8_t> data, const sockaddr_in& from);
  // Its record once decapsulation said ok or not.
  void HandleOpened(bool ok, std::span<const uint8_t> inner, const sockaddr_in& from);
  // Counted when it is one.
  bool HandleHeartBeat(std::span<const uint8_t> data, const sockaddr_in& from);
  void HandleInner(std::span<const uint8_t> inner);
  bool SendTo(std::span<const uint8_t> datagram);

  UdpDataPlaneOptions options_;
  std::shared_ptr<EspPeer> peer_;  // swapped under mutex_
  platform::UniqueFd socket_;
  uint16_t port_ = 0;
  platform::Event stop_{platform::Event::Reset::Manual};
  // The client address, the records and the statistics; peer_ changes
  // under both locks.
  mutable std::mutex mutex_;
  // The peer's send side (sequence numbers, its cipher and HMAC contexts).
  std::mutex sendMutex_;
  std::optional<sockaddr_in> client_;
  UdpDataPlaneStats stats_;
  std::vector<ReceivedInner> received_;
  // Filled by the receive thread, or by the decryptor delivering while
  // any receive is in the pipeline, handed to the writer after each
  // receive or batch.
  PacketBatch receivedForDevice_;
  // With more than one decryptor; made before the receive thread starts,
  // gone after it ended.
  std::unique_ptr<DecryptPipeline> pipeline_;
  std::vector<std::span<const uint8_t>> deliveredPackets_;  // with receivedForDevice_
  std::mutex writerMutex_;
  std::condition_variable writerWake_;
  PacketBatch forDevice_;  // under writerMutex_
  bool writerBusy_ = false;  // under writerMutex_: writing a batch
  bool writerStop_ = false;
  std::thread receiveThread_;
  std::thread deviceThread_;
  std::thread writerThread_;
};

// The gateway's own control packets (inner IPv4 between 0.0.0.0 and
// 0.0.0.0), for tests that send them through other means.
std::vector<uint8_t> GatewayKeepAlive(uint8_t version, const std::array<uint8_t, 16>& digest);
std::vector<uint8_t> GatewayDisconnectNotice(uint32_t reason);

}  // namespace vqgateway
