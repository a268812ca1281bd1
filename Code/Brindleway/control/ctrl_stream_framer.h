// Cuts the TLS byte stream of the control channel into whole control
// messages: a read may end inside a message or hold several of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brindleway {

class CtrlStreamFramer {
 public:
  // Keeps bytes read from the connection.
  void Append(const uint8_t* pBytes, size_t nLength);

  // Takes the next whole message (exactly its header's total length) into
  // message. 0 with message filled, 0 with message empty when more bytes
  // are needed, or 75 when a header's total length is below 8 or above
  // 65536: the stream can't be followed any further, and every later call
  // returns 75 until Reset.
  int Next(std::vector<uint8_t>& message);

  bool IsDead() const { return m_bDead; }
  // True when Next would hand out a message or report the stream dead
  // without more bytes.
  bool HasWholeMessage() const;
  // Bytes kept that no message has taken yet.
  size_t Buffered() const { return m_buffer.size() - m_nConsumed; }
  // Forgets everything, for a new connection.
  void Reset();

 private:
  std::vector<uint8_t> m_buffer;
  // Bytes at the front of m_buffer already handed out.
  size_t m_nConsumed = 0;
  bool m_bDead = false;
};

}  // namespace brindleway
