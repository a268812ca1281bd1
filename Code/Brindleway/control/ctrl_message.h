// One control message of the gateway protocol: an 8-byte header followed by
// type-length-value payloads. Builds a message for sending and takes a
// received one apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Brindleway/control/ctrl_protocol.h"

namespace brindleway {

class CtrlMessage {
 public:
  static constexpr uint32_t kInitialCapacity = 512;
  static constexpr size_t kMaxPayloads = 600;

  struct PayloadEntry {
    uint16_t wType;
    uint16_t wLength;
  };

  CtrlMessage();
  ~CtrlMessage() = default;
  CtrlMessage(const CtrlMessage&) = delete;
  CtrlMessage& operator=(const CtrlMessage&) = delete;

  // False when the first allocation failed: such a message is neither
  // written nor loaded.
  bool HasBuffer() const { return m_pBlock != nullptr; }

  // Moves the message into a block of the new capacity, keeping what was
  // written. 0 or -1 (old block and content kept).
  int Expand(uint32_t dwNewCapacity);

  // Starts a message: the current protocol version, the flags, the type and
  // a length of 8. Drops anything written before.
  int WriteHeader(uint8_t btFlags, uint16_t wType);
  // Appends one payload padded to a multiple of 4 and adds it to the
  // header's length. 0, or -1 (message unchanged) when the value is 65536
  // bytes or longer or the buffer can't grow.
  int WritePayload(uint16_t wType, const void* pValue, size_t nLength);
  int WriteU32Payload(uint16_t wType, uint32_t dwValue);
  int WriteU16Payload(uint16_t wType, uint16_t wValue);
  // The four bytes of dwAddr as they lie in memory (addresses and the SPI,
  // already in network order).
  int WriteAddrPayload(uint16_t wType, uint32_t dwAddr);

  // Copies one received message into the buffer. 0, or 61 when the buffer
  // can't hold it.
  int Load(const uint8_t* pBytes, size_t nLength);
  // Checks the header of the loaded message and fills the payload table.
  // 0, 75 (length or layout), 86 (unknown payload in a response), 1003
  // (gateway too new) or 4010 (version changed outside the login).
  int Parse();

  // The first payload of a type. 0 when found (with the right length for
  // the typed getters), nonzero otherwise.
  int GetPayload(uint16_t wType, const uint8_t*& pValue, uint16_t& wLength) const;
  int GetU32(uint16_t wType, uint32_t& dwValue) const;
  int GetU16(uint16_t wType, uint16_t& wValue) const;
  // The four bytes as they lie, into dwAddr's memory.
  int GetAddress(uint16_t wType, uint32_t& dwAddr) const;

  // Header fields of what was written or loaded; 0 while no whole header is
  // there.
  uint8_t GetVersion() const;
  uint8_t GetFlags() const;
  uint16_t GetType() const;
  uint32_t GetLength() const;

  // The bytes to send (or that were loaded): start to write position.
  const uint8_t* Data() const { return m_pStart; }
  size_t Size() const { return static_cast<size_t>(m_pWrite - m_pStart); }
  uint32_t Capacity() const { return m_dwCapacity; }

 private:
  // Allocates the first 512 bytes; logs and leaves no buffer on failure.
  void Init();
  void ClearPayloadTable();
  int ParseFail(int iResult);

  std::unique_ptr<uint8_t[]> m_pBlock;
  uint8_t* m_pStart = nullptr;
  uint32_t m_dwCapacity = 0;
  uint8_t* m_pWrite = nullptr;
  uint8_t* m_pLength = nullptr;
  // Ended by an entry of type 0 unless all entries are used.
  std::array<PayloadEntry, kMaxPayloads> m_payloads{};
  std::array<const uint8_t*, kMaxPayloads> m_values{};
};

}  // namespace brindleway
