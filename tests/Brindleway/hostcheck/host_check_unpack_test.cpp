// Unpacking the host-check script: UTF-8 cut anywhere between chunks gives
// exactly the UTF-16LE of the whole text, and what is not a whole gzip
// stream of text is refused.
#include "Brindleway/hostcheck/host_check_unpack.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "common/temp_root.h"
#include "gateway/host_check_exchange.h"

namespace brindleway {
namespace {

// Written out by hand, not through the converter under test.
std::string Le(std::u16string_view text) {
  std::string out;
  for (const char16_t u : text) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  }
  return out;
}

struct TextCase {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

const TextCase kTexts[] = {
    {"CJK", "result \xE6\xBC\xA2\xE5\xAD\x97\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88\n", u"result \u6F22\u5B57\u30C6\u30B9\u30C8\n"},
    {"4-byte", "\xF0\x9F\x98\x80x\xF0\x9D\x84\x9E\xF0\x9F\x98\x80", u"\U0001F600x\U0001D11E\U0001F600"},
    {"mixed", "a\xC3\xA9\xE6\xBC\xA2\xF0\x9F\x98\x80z", u"a\u00E9\u6F22\U0001F600z"},
    // Broken input converts the same in pieces as at once.
    {"stray continuation", "a\x80" "b", u"a\uFFFDb"},
    {"cut at the end", "ab\xE6\xBC", u"ab\uFFFD"},
    {"lead then ASCII", "\xF0\x9F" "A", u"\uFFFDA"},
};

std::string DecodeInChunks(const std::string& text, size_t chunk) {
  Utf8ChunkDecoder decoder;
  std::string out;
  for (size_t i = 0; i < text.size(); i += chunk) out += decoder.Feed(std::string_view(text).substr(i, chunk));
  return out + decoder.Finish();
}

TEST(Utf8ChunkDecoder, EveryChunkSizeAndEveryCutGiveTheWholeTextsUtf16) {
  for (const TextCase& c : kTexts) {
    SCOPED_TRACE(c.name);
    const std::string expected = Le(c.utf16);
    for (size_t chunk = 1; chunk <= c.utf8.size(); ++chunk) {
      EXPECT_EQ(DecodeInChunks(c.utf8, chunk), expected) << "chunk " << chunk;
    }
    for (size_t a = 0; a <= c.utf8.size(); ++a) {
      for (size_t b = a; b <= c.utf8.size(); ++b) {
        Utf8ChunkDecoder decoder;
        std::string out = decoder.Feed(c.utf8.substr(0, a));
        out += decoder.Feed(c.utf8.substr(a, b - a));
        out += decoder.Feed(c.utf8.substr(b));
        EXPECT_EQ(out + decoder.Finish(), expected) << "cuts " << a << ", " << b;
      }
    }
  }
}

class UnpackScriptTest : public ::testing::Test {
 protected:
  int Open(const std::string& bytes) {
    const std::string path = root_.At("/SecurityCheck.data");
    vqtest::WriteFileBytes(path, bytes);
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd_;
  }
  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
  }
  static std::string Gzip(const std::string& text) {
    const vqgw::Bytes gz = vqgw::GzipText(text);
    return std::string(gz.begin(), gz.end());
  }

  vqtest::TempRoot root_;
  int fd_ = -1;
};

TEST_F(UnpackScriptTest, ChunksOfTheGzipStreamNeverCorruptACharacter) {
  std::string text;
  std::u16string wide;
  for (int i = 0; i < 50; ++i) {
    text += kTexts[0].utf8 + kTexts[1].utf8;
    wide += kTexts[0].utf16 + kTexts[1].utf16;
  }
  for (const size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{7}, kUnpackChunkBytes}) {
    SCOPED_TRACE(chunk);
    const std::optional<std::string> out = UnpackScript(Open(Gzip(text)), chunk);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(*out, Le(wide));
    ::close(fd_);
    fd_ = -1;
  }
}

TEST_F(UnpackScriptTest, WhatIsNotAWholeGzipStreamOfTextIsRefused) {
  const std::string good = Gzip("result ok\n");
  const struct {
    const char* name;
    std::string bytes;
    size_t limit;
  } cases[] = {
      {"empty file", "", kMaxUnpackedScriptBytes},
      {"plain text", "result ok\n", kMaxUnpackedScriptBytes},
      {"gzip of nothing", Gzip(""), kMaxUnpackedScriptBytes},
      {"cut short", good.substr(0, good.size() - 6), kMaxUnpackedScriptBytes},
      {"damaged checksum", good.substr(0, good.size() - 8) + std::string(8, '\x55'), kMaxUnpackedScriptBytes},
      {"over the limit", Gzip(std::string(5000, 'a')), 4999},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(UnpackScript(Open(c.bytes), kUnpackChunkBytes, c.limit).has_value());
    ::close(fd_);
    fd_ = -1;
  }
  EXPECT_EQ(UnpackScript(Open(Gzip(std::string(5000, 'a'))), kUnpackChunkBytes, 5000), Le(std::u16string(5000, u'a')));
}

}  // namespace
}  // namespace brindleway
