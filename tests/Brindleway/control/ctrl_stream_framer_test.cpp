// The framer cuts a TLS byte stream into whole control messages, whatever
// the reads look like, and gives up on a length no message can have.
#include "Brindleway/control/ctrl_stream_framer.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/log_reader.h"
#include "common/temp_root.h"
#include "support/log.h"

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;

// A message of total length `total` (at least 8): header, then a byte
// pattern that differs per seed.
Bytes Message(uint32_t total, uint8_t seed) {
  Bytes out{0x10, 0, 0, 3,
            static_cast<uint8_t>(total >> 24), static_cast<uint8_t>(total >> 16),
            static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total)};
  for (uint32_t i = 8; i < total; ++i) out.push_back(static_cast<uint8_t>(seed + i));
  return out;
}

TEST(CtrlStreamFramer, SeveralMessagesInOneRead) {
  const Bytes first = Message(16, 1), second = Message(28, 2), third = Message(40, 3);
  Bytes chunk = first;
  chunk.insert(chunk.end(), second.begin(), second.end());
  chunk.insert(chunk.end(), third.begin(), third.begin() + 10);

  CtrlStreamFramer framer;
  framer.Append(chunk.data(), chunk.size());
  Bytes msg;
  ASSERT_EQ(framer.Next(msg), 0);
  EXPECT_EQ(msg, first);
  ASSERT_EQ(framer.Next(msg), 0);
  EXPECT_EQ(msg, second);
  ASSERT_EQ(framer.Next(msg), 0);
  EXPECT_TRUE(msg.empty());
  EXPECT_EQ(framer.Buffered(), 10u);

  framer.Append(third.data() + 10, third.size() - 10);
  ASSERT_EQ(framer.Next(msg), 0);
  EXPECT_EQ(msg, third);
  EXPECT_EQ(framer.Buffered(), 0u);
}

TEST(CtrlStreamFramer, OneMessageSplitAtEveryOffset) {
  const Bytes whole = Message(37, 7);
  const Bytes next = Message(12, 9);
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    CtrlStreamFramer framer;
    Bytes msg;
    framer.Append(whole.data(), cut);
    ASSERT_EQ(framer.Next(msg), 0);
    if (cut < whole.size()) {
      EXPECT_TRUE(msg.empty());
      // The rest arrives together with the next message.
      Bytes rest(whole.begin() + static_cast<std::ptrdiff_t>(cut), whole.end());
      rest.insert(rest.end(), next.begin(), next.end());
      framer.Append(rest.data(), rest.size());
      ASSERT_EQ(framer.Next(msg), 0);
    } else {
      framer.Append(next.data(), next.size());
    }
    EXPECT_EQ(msg, whole);
    ASSERT_EQ(framer.Next(msg), 0);
    EXPECT_EQ(msg, next);
    EXPECT_EQ(framer.Buffered(), 0u);
  }
}

TEST(CtrlStreamFramer, LengthOutsideEightTo65536KillsTheStream) {
  vqtest::TempRoot root;
  LogInit(nullptr);
  for (uint32_t total : {0u, 7u, 65537u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(total);
    CtrlStreamFramer framer;
    Bytes header = Message(8, 0);
    header[4] = static_cast<uint8_t>(total >> 24);
    header[5] = static_cast<uint8_t>(total >> 16);
    header[6] = static_cast<uint8_t>(total >> 8);
    header[7] = static_cast<uint8_t>(total);
    framer.Append(header.data(), header.size());
    Bytes msg;
    EXPECT_EQ(framer.Next(msg), 75);
    EXPECT_TRUE(framer.IsDead());
    // Nothing after it is trusted.
    const Bytes good = Message(12, 1);
    framer.Append(good.data(), good.size());
    EXPECT_EQ(framer.Next(msg), 75);
    EXPECT_TRUE(msg.empty());
    framer.Reset();
    framer.Append(good.data(), good.size());
    EXPECT_EQ(framer.Next(msg), 0);
    EXPECT_EQ(msg, good);
  }
  EXPECT_NE(vqtest::ReadLogText().find("Header length error 65537"), std::string::npos);

  // The bounds themselves are messages.
  for (uint32_t total : {8u, 65536u}) {
    CtrlStreamFramer framer;
    const Bytes whole = Message(total, 4);
    framer.Append(whole.data(), whole.size() - 1);
    Bytes msg;
    ASSERT_EQ(framer.Next(msg), 0);
    EXPECT_TRUE(msg.empty());
    framer.Append(whole.data() + whole.size() - 1, 1);
    ASSERT_EQ(framer.Next(msg), 0);
    EXPECT_EQ(msg, whole);
  }
}

}  // namespace
}  // namespace brindleway
