// libFuzzer target for the road of received control bytes: the stream
// framer cuts them into messages, each message is loaded and parsed, and
// the getters are asked for every payload type.
//
// Input: byte 0 is the protocol version current before the run, byte 1
// seeds the sizes of the reads the stream is cut into, the rest is the
// stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/ctrl_message.h"
#include "Brindleway/control/ctrl_protocol.h"
#include "Brindleway/control/ctrl_stream_framer.h"
#include "support/log.h"
#include "support/wire.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckMessage(const std::vector<uint8_t>& bytes) {
  // The framer hands out exactly what the header says.
  Check(bytes.size() >= brindleway::CTRLMSG_HEADER_LEN && bytes.size() <= brindleway::CTRLMSG_MAX_LENGTH);
  Check(wire::GetU32BE(bytes.data() + brindleway::CTRLMSG_LENGTH_OFFSET) == bytes.size());

  brindleway::CtrlMessage msg;
  Check(msg.Load(bytes.data(), bytes.size()) == 0);
  const uint8_t btBefore = brindleway::g_btProtocolVersion.load();
  const int result = msg.Parse();
  const uint8_t btAfter = brindleway::g_btProtocolVersion.load();
  // Only a login message may change the version, and never to major 3 or
  // above.
  if (btAfter != btBefore) Check(msg.GetType() == brindleway::CTRLMSG_TYPE_AUTH && (btAfter & 0xF0) <= 0x20);
  Check(result == 0 || result == 75 || result == 86 || result == 1003 || result == 4010);

  const uint8_t* const pBegin = msg.Data();
  const uint8_t* const pEnd = msg.Data() + msg.Size();
  // Every type the protocol knows and a few it doesn't.
  for (uint32_t type = 0; type <= 0xFFFF; type += (type < 140 ? 1 : 0xFFFF - 140)) {
    const uint8_t* pValue = nullptr;
    uint16_t wLength = 0;
    if (msg.GetPayload(static_cast<uint16_t>(type), pValue, wLength) == 0) {
      Check(result == 0);
      // Every value lies inside the message that was handed in.
      Check(pValue >= pBegin + brindleway::CTRLMSG_HEADER_LEN + brindleway::CTRLMSG_PAYLOAD_HEADER_LEN);
      Check(pValue + wLength <= pEnd);
      volatile uint8_t sink = 0;
      for (uint16_t i = 0; i < wLength; ++i) sink = static_cast<uint8_t>(sink ^ pValue[i]);
    }
    uint32_t dwValue = 0;
    uint16_t wValue = 0;
    if (msg.GetU32(static_cast<uint16_t>(type), dwValue) == 0) Check(wLength == 4);
    if (msg.GetU16(static_cast<uint16_t>(type), wValue) == 0) Check(wLength == 2);
    if (msg.GetAddress(static_cast<uint16_t>(type), dwValue) == 0) Check(wLength == 4);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No log lines: they would only slow the run and fill a disk.
  LogStamp stamp;
  stamp.localTime = [](std::tm&, int&) { return false; };
  LogSetStamp(stamp);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  brindleway::g_btProtocolVersion = data[0];
  uint32_t seed = data[1];
  const uint8_t* p = data + 2;
  size_t left = size - 2;

  brindleway::CtrlStreamFramer framer;
  std::vector<uint8_t> message;
  while (left > 0) {
    seed = seed * 1103515245u + 12345u;
    // Reads of 1 byte to a whole TLS record.
    const size_t chunk = std::min<size_t>(left, 1 + (seed >> 8) % ((seed & 0x100) ? 16384 : 24));
    framer.Append(p, chunk);
    p += chunk;
    left -= chunk;
    for (;;) {
      const int result = framer.Next(message);
      if (result != 0) {
        Check(result == 75 && framer.IsDead() && message.empty());
        return 0;
      }
      if (message.empty()) break;
      CheckMessage(message);
    }
  }
  return 0;
}
