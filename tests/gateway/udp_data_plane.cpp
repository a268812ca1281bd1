#include "gateway/udp_data_plane.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/ones_sum.h"
#include "gateway/ip_comp_peer.h"
#include "gateway/udp_segment_sender.h"
#include "platform/byte_order.h"

namespace vqgateway {
namespace {

constexpr size_t kIpHeader = 20;
constexpr uint8_t kIcmp = 1;
constexpr uint8_t kUdp = 17;
constexpr uint32_t kLogoutValue = 2;
constexpr uint32_t kNoticeValue = 1;
constexpr uint8_t kHeartBeat = 0xFF;
constexpr uint32_t kTunPending = 997;
constexpr uint32_t kTunTooLong = 234;
// Datagrams per recvmmsg and packets per sendmmsg.
constexpr size_t kBatch = 32;
// Room for any datagram.
constexpr size_t kDatagramRoom = 65536;
// What one device packet may take of a batch's room (its datagram's front,
// the packet, its datagram's end), each packet from a cache line on; and a
// batch's room: a full batch of packets of an ordinary MTU, and one of any
// length.
constexpr size_t kPacketRoom = EspPeer::kMaxFront + kDatagramRoom + EspPeer::kMaxBehind;
constexpr size_t kPacketAlign = 64;
constexpr size_t kBatchRoom = kBatch * 1600 + kPacketRoom;
constexpr int kReceiveBuffer = 8 << 20;
// Inner packets waiting for the device, past which more are dropped.
constexpr size_t kDeviceBacklog = 4096;
// Packets of one receive written on the receive thread when the writer is idle.
constexpr size_t kDirectWriteMax = 2;
// Receives in the decryptors' hands, per decryptor, past which the receive
// thread waits.
constexpr size_t kReceiveRooms = 2;

struct GroControl {
  alignas(cmsghdr) uint8_t bytes[CMSG_SPACE(sizeof(int))];
};

// The segment size of a coalesced receive, or 0 for a single datagram.
size_t SegmentSize(msghdr& message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
      int size = 0;
      std::memcpy(&size, CMSG_DATA(c), sizeof size);
      return size > 0 ? static_cast<size_t>(size) : 0;
    }
  }
  return 0;
}

// Each datagram of one received message at data: a coalesced receive
// holds datagrams of one size, the last maybe shorter.
template <typename Each>
void ForEachDatagram(uint8_t* data, mmsghdr& message, Each&& each) {
  const size_t length = message.msg_len;
  const size_t segment = SegmentSize(message.msg_hdr);
  if (segment == 0 || length == 0) {
    each(std::span<uint8_t>(data, length));
    return;
  }
  for (size_t at = 0; at < length; at += segment) each(std::span<uint8_t>(data + at, std::min(segment, length - at)));
}

// One receive's headers: message i into room + i * kDatagramRoom, its
// sender into senders[i], its segment size into controls[i].
void PrepareReceive(mmsghdr* messages, iovec* parts, GroControl* controls, uint8_t* room, sockaddr_in* senders) {
  for (size_t i = 0; i < kBatch; ++i) {
    parts[i] = {room + i * kDatagramRoom, kDatagramRoom};
    messages[i].msg_hdr = {};
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_control = controls[i].bytes;
    messages[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
  }
}

using platform::GetU16BE;
using platform::GetU32BE;
using platform::PutU16BE;
using platform::PutU32BE;

// RFC 1071, complemented, with an initial sum.
uint16_t InternetChecksum(std::span<const uint8_t> data, uint32_t sum = 0) {
  return static_cast<uint16_t>(~vqtest::OnesSum(data, sum));
}

std::vector<uint8_t> ControlHeader(size_t total, uint8_t protocol) {
  std::vector<uint8_t> packet(total, 0);
  packet[0] = 0x45;
  PutU16BE(&packet[2], static_cast<uint16_t>(total));
  packet[8] = 64;
  packet[9] = protocol;
  PutU16BE(&packet[10], InternetChecksum({packet.data(), kIpHeader}));
  return packet;
}

bool BetweenZeros(std::span<const uint8_t> inner) {
  if (inner.size() < kIpHeader) return false;
  for (size_t i = 12; i < 20; ++i)
    if (inner[i] != 0) return false;
  return true;
}

}  // namespace

std::vector<uint8_t> GatewayKeepAlive(uint8_t version, const std::array<uint8_t, 16>& digest) {
  const bool withDigest = (version >> 4) >= 3 || ((version >> 4) == 2 && (version & 0x0F) != 0);
  std::vector<uint8_t> packet = ControlHeader(withDigest ? 44 : 32, kIcmp);
  packet[20] = 8;  // echo request
  if (withDigest) std::memcpy(&packet[28], digest.data(), digest.size());
  PutU16BE(&packet[22], InternetChecksum(std::span(packet).subspan(kIpHeader)));
  return packet;
}

std::vector<uint8_t> GatewayDisconnectNotice(uint32_t reason) {
  std::vector<uint8_t> packet = ControlHeader(36, kUdp);
  PutU16BE(&packet[24], 16);
  PutU32BE(&packet[28], kNoticeValue);
  PutU32BE(&packet[32], reason);
  // Pseudo-header with zero addresses: protocol and UDP length only.
  uint16_t checksum = InternetChecksum({&packet[20], 16}, kUdp + 16);
  PutU16BE(&packet[26], checksum == 0 ? 0xFFFF : checksum);
  return packet;
}

UdpDataPlane::UdpDataPlane(UdpDataPlaneOptions options)
    : options_(std::move(options)), peer_(std::make_shared<EspPeer>(options_.esp)) {
  socket_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket_.valid()) throw std::runtime_error("udp socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (::inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) throw std::runtime_error("address");
  if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("bind: " + std::string(std::strerror(errno)));
  // Room for bursts while the receive thread is busy (forced past the
  // system's limit where we may), and coalesced datagrams in one receive.
  if (::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0) {
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  }
  const int on = 1;
  ::setsockopt(socket_.get(), SOL_UDP, UDP_GRO, &on, sizeof on);
  socklen_t length = sizeof address;
  ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  const unsigned decryptors = std::min(
      options_.decryptors != 0 ? options_.decryptors : DecryptPipeline::DecryptorsForThisMachine(),
      DecryptPipeline::kMaxDecryptors);
  if (decryptors > 1) {
    pipeline_ = std::make_unique<DecryptPipeline>(decryptors, kReceiveRooms * decryptors, kBatch * kDatagramRoom,
                                                  kBatch,
                                                  [this](std::span<ReceivedDatagram> batch) { DeliverDecrypted(batch); });
  }
  receiveThread_ = std::thread([this] { ReceiveLoop(); });
  if (options_.tun != nullptr) {
    deviceThread_ = std::thread([this] { DeviceLoop(); });
    if (!pipeline_) writerThread_ = std::thread([this] { WriterLoop(); });
  }
}

UdpDataPlane::~UdpDataPlane() {
  stop_.Set();
  {
    std::lock_guard<std::mutex> lock(writerMutex_);
    writerStop_ = true;
  }
  writerWake_.notify_all();
  // Batches in flight are dropped; the receive thread's wait for a room ends.
  if (pipeline_) pipeline_->Stop();
  if (receiveThread_.joinable()) receiveThread_.join();
  pipeline_.reset();
  if (deviceThread_.joinable()) deviceThread_.join();
  if (writerThread_.joinable()) writerThread_.join();
}

void UdpDataPlane::SetEspConfig(const EspPeerConfig& config) {
  auto peer = std::make_shared<EspPeer>(config);
  std::scoped_lock lock(mutex_, sendMutex_);
  peer_ = std::move(peer);
}

std::optional<sockaddr_in> UdpDataPlane::ClientAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return client_;
}

void UdpDataPlane::SetClientAddress(const sockaddr_in& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  client_ = address;
}

UdpDataPlaneStats UdpDataPlane::Stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

std::vector<ReceivedInner> UdpDataPlane::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<uint8_t> UdpDataPlane::Encap(std::span<const uint8_t> inner) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  return peer_->Encap(inner);
}

std::vector<uint8_t> UdpDataPlane::EncapBody(std::span<const uint8_t> body) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  return peer_->EncapBody(body);
}

bool UdpDataPlane::SendTo(std::span<const uint8_t> datagram) {
  const std::optional<sockaddr_in> client = ClientAddress();
  if (!client) return false;
  const ssize_t sent = ::sendto(socket_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&*client), sizeof *client);
  return sent == static_cast<ssize_t>(datagram.size());
}

bool UdpDataPlane::SendInner(std::span<const uint8_t> inner) {
  uint16_t clientCpi = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    clientCpi = options_.clientCpi;
  }
  if (options_.ipcomp) {
    if (auto compressed = DeflateIpComp(inner, clientCpi)) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.deflated;
      }
      return SendTo(Encap(*compressed));
    }
  }
  return SendTo(Encap(inner));
}

void UdpDataPlane::SetClientCpi(uint16_t cpi) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.clientCpi = cpi;
}

bool UdpDataPlane::SendKeepAlive() { return SendInner(GatewayKeepAlive(options_.version, options_.digest)); }

bool UdpDataPlane::SendDisconnect(uint32_t reason) { return SendInner(GatewayDisconnectNotice(reason)); }

bool UdpDataPlane::SendRaw(std::span<const uint8_t> datagram) { return SendTo(datagram); }

void UdpDataPlane::ReceiveLoop() {
  if (pipeline_) {
    PipelinedReceiveLoop();
    return;
  }
  std::vector<uint8_t> buffers(kBatch * kDatagramRoom);
  mmsghdr messages[kBatch] = {};
  iovec parts[kBatch] = {};
  sockaddr_in senders[kBatch] = {};
  GroControl controls[kBatch] = {};
  for (;;) {
    pollfd fds[2] = {{stop_.Fd(), POLLIN, 0}, {socket_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    for (;;) {
      PrepareReceive(messages, parts, controls, buffers.data(), senders);
      const int n = ::recvmmsg(socket_.get(), messages, kBatch, MSG_DONTWAIT, nullptr);
      if (n <= 0) break;
      std::shared_ptr<EspPeer> peer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        peer = peer_;
      }
      for (int i = 0; i < n; ++i) {
        ForEachDatagram(buffers.data() + i * kDatagramRoom, messages[i],
                        [&](std::span<uint8_t> datagram) { HandleDatagram(*peer, datagram, senders[i]); });
      }
      FlushToWriter();
      if (static_cast<size_t>(n) < kBatch) break;
    }
  }
}

void UdpDataPlane::PipelinedReceiveLoop() {
  mmsghdr messages[kBatch] = {};
  iovec parts[kBatch] = {};
  GroControl controls[kBatch] = {};
  ReceiveRoom* room = nullptr;
  const auto done = [&] {
    if (room != nullptr) pipeline_->Release(*room);
  };
  for (;;) {
    pollfd fds[2] = {{stop_.Fd(), POLLIN, 0}, {socket_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return done();
    }
    if (fds[0].revents != 0) return done();
    for (;;) {
      if (room == nullptr && (room = pipeline_->Acquire()) == nullptr) return;
      PrepareReceive(messages, parts, controls, room->bytes.data(), room->senders.data());
      const int n = ::recvmmsg(socket_.get(), messages, kBatch, MSG_DONTWAIT, nullptr);
      if (n <= 0) break;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        room->peer = peer_;
      }
      room->datagrams.clear();
      for (int i = 0; i < n; ++i) {
        const sockaddr_in* from = &room->senders[i];
        ForEachDatagram(room->bytes.data() + i * kDatagramRoom, messages[i], [&](std::span<uint8_t> datagram) {
          room->datagrams.push_back({datagram, from, false, {}});
        });
      }
      if (room->datagrams.size() <= kDirectWriteMax && pipeline_->Idle()) {
        // Nothing older is in the decryptors' hands: done here at once, so
        // that a lone datagram makes no hop.
        for (const ReceivedDatagram& d : room->datagrams) HandleDatagram(*room->peer, d.data, *d.from);
        FlushToWriter();
      } else {
        pipeline_->Submit(*room);
        room = nullptr;
      }
      if (static_cast<size_t>(n) < kBatch) break;
    }
  }
}

void UdpDataPlane::DeliverDecrypted(std::span<ReceivedDatagram> batch) {
  for (const ReceivedDatagram& d : batch) {
    if (HandleHeartBeat(d.data, *d.from)) continue;
    HandleOpened(d.ok, d.inner, *d.from);
  }
  FlushToWriter();
}

void UdpDataPlane::DeviceLoop() {
  platform::tun::Device& tun = *options_.tun;
  SealPipeline pipeline(options_.sealers != 0 ? options_.sealers : SealPipeline::SealersForThisMachine());
  UdpSegmentSender sender;
  // The last read found nothing waiting: the device is polled.
  bool dry = true;
  for (;;) {
    while (std::unique_ptr<SealPipeline::Batch> batch = pipeline.TakeFinished()) {
      SendSealed(sender, *batch);
      pipeline.Recycle(std::move(batch));
    }
    if (!dry && !pipeline.Full()) {
      dry = ReadAndFrame(pipeline);
      continue;
    }
    // Nothing to read for now: seal what no sealer has taken, else wait for
    // the device (unless too much is in flight) or the oldest batch.
    if (pipeline.SealOne()) continue;
    const bool reading = dry && !pipeline.Full();
    pollfd fds[3] = {{stop_.Fd(), POLLIN, 0},
                     {reading ? tun.PollFd() : -1, POLLIN, 0},
                     {pipeline.InFlight() != 0 ? pipeline.DoneFd() : -1, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[1].revents & POLLIN) == 0) return;
    if ((fds[1].revents & POLLIN) != 0) dry = false;
  }
}

bool UdpDataPlane::ReadAndFrame(SealPipeline& pipeline) {
  platform::tun::Device& tun = *options_.tun;
  std::unique_ptr<SealPipeline::Batch> batch = pipeline.NewBatch();
  batch->Reserve(kBatchRoom);
  const std::span<uint8_t> room = batch->Room();
  // Each packet at its own place in the batch's room, room for its
  // datagram's front before it and its end behind it, so that it is framed
  // where it was read.
  size_t at[kBatch] = {};
  size_t lengths[kBatch] = {};
  size_t count = 0;
  size_t used = 0;
  uint32_t result = 0;
  while (count < kBatch && used + kPacketRoom <= room.size()) {
    result = tun.Read(room.subspan(used + EspPeer::kMaxFront, kDatagramRoom), lengths[count]);
    // Too long to send: dropped, and the reads go on (only a 997 may end
    // them, the device can hold more packets than it shows).
    if (result == kTunTooLong) continue;
    if (result != 0) break;
    at[count] = used;
    used += (EspPeer::kMaxFront + lengths[count] + EspPeer::kMaxBehind + kPacketAlign - 1) / kPacketAlign * kPacketAlign;
    ++count;
  }
  const bool dry = result != 0;
  if (count == 0) {
    pipeline.Recycle(std::move(batch));
    return dry;
  }
  uint16_t clientCpi = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    clientCpi = options_.clientCpi;
  }
  // Compressed where that pays.
  std::vector<std::optional<std::vector<uint8_t>>> deflated(options_.ipcomp ? count : 0);
  for (size_t i = 0; i < deflated.size(); ++i) {
    deflated[i] = DeflateIpComp(room.subspan(at[i] + EspPeer::kMaxFront, lengths[i]), clientCpi);
  }
  std::optional<sockaddr_in> client;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    client = client_;
    for (const auto& d : deflated) stats_.deflated += d ? 1 : 0;
  }
  if (!client) {
    pipeline.Recycle(std::move(batch));
    return dry;
  }
  {
    // Framed in order (the sequence numbers), sealed by the pipeline,
    // sent in order.
    std::lock_guard<std::mutex> lock(sendMutex_);
    batch->peer = peer_;
    batch->to = *client;
    const size_t front = peer_->Front();
    for (size_t i = 0; i < count; ++i) {
      std::span<const uint8_t> inner = room.subspan(at[i] + EspPeer::kMaxFront, lengths[i]);
      if (i < deflated.size() && deflated[i]) inner = *deflated[i];
      const size_t start = at[i] + EspPeer::kMaxFront - front;
      const std::span<uint8_t> out = room.subspan(start, front + lengths[i] + EspPeer::kMaxBehind);
      const size_t length = peer_->Frame(inner, out);
      if (length != 0) batch->Add(out.first(length));
    }
  }
  if (batch->datagrams.empty()) {
    pipeline.Recycle(std::move(batch));
  } else {
    pipeline.Submit(std::move(batch));
  }
  return dry;
}

void UdpDataPlane::SendSealed(UdpSegmentSender& sender, const SealPipeline::Batch& batch) {
  // A datagram whose crypto failed is never sent.
  std::span<uint8_t> datagrams[kBatch];
  size_t good = 0;
  for (size_t i = 0; i < batch.datagrams.size(); ++i) {
    if (batch.sealed[i] != 0) datagrams[good++] = batch.datagrams[i];
  }
  sender.Send(socket_.get(), batch.to, std::span(datagrams, good));
}

bool UdpDataPlane::HandleHeartBeat(std::span<const uint8_t> data, const sockaddr_in& from) {
  if (data.size() != 1 || data[0] != kHeartBeat) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  ++stats_.heartBeats;
  if (!client_) client_ = from;
  return true;
}

void UdpDataPlane::HandleDatagram(EspPeer& peer, std::span<uint8_t> data, const sockaddr_in& from) {
  if (HandleHeartBeat(data, from)) return;
  std::span<uint8_t> inner;
  const bool ok = peer.DecapInPlace(data, inner);
  HandleOpened(ok, inner, from);
}

void UdpDataPlane::HandleOpened(bool ok, std::span<const uint8_t> inner, const sockaddr_in& from) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok) {
      ++stats_.decapFailures;
      return;
    }
    client_ = from;
  }
  HandleInner(inner);
}

void UdpDataPlane::HandleInner(std::span<const uint8_t> packet) {
  std::span<const uint8_t> inner = packet;
  std::optional<std::vector<uint8_t>> restored;
  if (options_.ipcomp && IsIpComp(inner)) {
    uint16_t gatewayCpi = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      gatewayCpi = options_.gatewayCpi;
    }
    restored = InflateIpComp(inner, gatewayCpi);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!restored) {
      ++stats_.ipcompFailures;
      return;
    }
    ++stats_.inflated;
    inner = *restored;
  }
  InnerKind kind = InnerKind::Traffic;
  if (BetweenZeros(inner)) {
    if (inner[9] == kIcmp) {
      kind = InnerKind::KeepAlive;
    } else if (inner[9] == kUdp && inner.size() >= 32 && GetU16BE(&inner[20]) == 0 && GetU16BE(&inner[22]) == 0 &&
               GetU32BE(&inner[28]) == kLogoutValue) {
      kind = InnerKind::Logout;
    } else {
      kind = InnerKind::OtherControl;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (kind) {
      case InnerKind::Traffic:
        ++stats_.traffic;
        break;
      case InnerKind::KeepAlive:
        ++stats_.keepAlives;
        break;
      case InnerKind::Logout:
        ++stats_.logouts;
        break;
      case InnerKind::OtherControl:
        break;
    }
    if (kind != InnerKind::Traffic || options_.recordTraffic) {
      received_.push_back({kind, std::vector<uint8_t>(inner.begin(), inner.end())});
    }
  }
  if (kind == InnerKind::KeepAlive && options_.answerKeepAlives) SendKeepAlive();
  if (kind != InnerKind::Traffic) return;
  if (options_.onTraffic) {
    options_.onTraffic(std::vector<uint8_t>(inner.begin(), inner.end()));
  } else if (options_.tun != nullptr) {
    QueueForDevice(inner);
  }
}

void UdpDataPlane::QueueForDevice(std::span<const uint8_t> inner) {
  PacketBatch& batch = receivedForDevice_;
  batch.packets.emplace_back(batch.bytes.size(), inner.size());
  batch.bytes.insert(batch.bytes.end(), inner.begin(), inner.end());
}

void UdpDataPlane::FlushToWriter() {
  PacketBatch& batch = receivedForDevice_;
  if (batch.packets.empty()) return;
  if (pipeline_) {
    // One thread at a time gets here (the deliverer, or the receive thread
    // while the decryptors hold nothing), in receive order: written at
    // once, without another hop.
    WriteToDevice(batch, deliveredPackets_);
    batch.Clear();
    return;
  }
  {
    std::unique_lock<std::mutex> lock(writerMutex_);
    if (batch.packets.size() <= kDirectWriteMax && forDevice_.packets.empty() && !writerBusy_) {
      // Nothing older is waiting or being written (only this thread hands
      // the writer work): written here, in order, without a wake-up.
      lock.unlock();
      for (const auto& [offset, length] : batch.packets) {
        options_.tun->Write(std::span<const uint8_t>(batch.bytes.data() + offset, length));
      }
      batch.Clear();
      return;
    }
    if (forDevice_.packets.empty()) std::swap(forDevice_, batch);
    for (const auto& [offset, length] : batch.packets) {
      if (forDevice_.packets.size() >= kDeviceBacklog) break;
      forDevice_.packets.emplace_back(forDevice_.bytes.size(), length);
      forDevice_.bytes.insert(forDevice_.bytes.end(), batch.bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                              batch.bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
    }
  }
  batch.Clear();
  writerWake_.notify_one();
}

void UdpDataPlane::WriterLoop() {
  PacketBatch writing;
  std::vector<std::span<const uint8_t>> packets;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(writerMutex_);
      writerBusy_ = false;
      writerWake_.wait(lock, [this] { return writerStop_ || !forDevice_.packets.empty(); });
      if (writerStop_) return;
      std::swap(writing, forDevice_);
      writerBusy_ = true;
    }
    WriteToDevice(writing, packets);
    writing.Clear();
  }
}

void UdpDataPlane::WriteToDevice(const PacketBatch& batch, std::vector<std::span<const uint8_t>>& packets) {
  packets.clear();
  for (const auto& [offset, length] : batch.packets) packets.emplace_back(batch.bytes.data() + offset, length);
  // One call for the batch (the device may merge a TCP stream's segments);
  // a packet it refuses is lost, the rest go on.
  for (size_t done = 0; done < packets.size();) {
    size_t count = 0;
    if (options_.tun->WritePackets(std::span(packets).subspan(done), count) == 0) break;
    done += count + 1;
  }
}

}  // namespace vqgateway
