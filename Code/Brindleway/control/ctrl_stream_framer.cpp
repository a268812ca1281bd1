#include "Brindleway/control/ctrl_stream_framer.h"

#include "Brindleway/common/constants.h"
#include "Brindleway/control/ctrl_protocol.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {

void CtrlStreamFramer::Append(const uint8_t* pBytes, size_t nLength) {
  if (m_bDead || nLength == 0) return;
  // Drop what was handed out before the buffer grows again.
  if (m_nConsumed > 0) {
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_nConsumed));
    m_nConsumed = 0;
  }
  m_buffer.insert(m_buffer.end(), pBytes, pBytes + nLength);
}

int CtrlStreamFramer::Next(std::vector<uint8_t>& message) {
  message.clear();
  if (m_bDead) return VQ_ERR_PARSE_MESSAGE;
  const size_t nAvailable = Buffered();
  if (nAvailable < CTRLMSG_HEADER_LEN) return 0;
  const uint8_t* pHeader = m_buffer.data() + m_nConsumed;
  const uint32_t dwTotal = wire::GetU32BE(pHeader + CTRLMSG_LENGTH_OFFSET);
  if (dwTotal < CTRLMSG_HEADER_LEN || dwTotal > CTRLMSG_MAX_LENGTH) {
    // Without a trustworthy length there is no telling where the next
    // message starts.
    LogPrint(LOG_ERR, "Header length error %d\n", static_cast<int64_t>(dwTotal));
    m_bDead = true;
    m_buffer.clear();
    m_nConsumed = 0;
    return VQ_ERR_PARSE_MESSAGE;
  }
  if (nAvailable < dwTotal) return 0;
  message.assign(pHeader, pHeader + dwTotal);
  m_nConsumed += dwTotal;
  if (m_nConsumed == m_buffer.size()) {
    m_buffer.clear();
    m_nConsumed = 0;
  }
  return 0;
}

bool CtrlStreamFramer::HasWholeMessage() const {
  if (m_bDead) return true;
  if (Buffered() < CTRLMSG_HEADER_LEN) return false;
  const uint32_t dwTotal = wire::GetU32BE(m_buffer.data() + m_nConsumed + CTRLMSG_LENGTH_OFFSET);
  return dwTotal < CTRLMSG_HEADER_LEN || dwTotal > CTRLMSG_MAX_LENGTH || Buffered() >= dwTotal;
}

void CtrlStreamFramer::Reset() {
  m_buffer.clear();
  m_nConsumed = 0;
  m_bDead = false;
}

}  // namespace brindleway
