#include "support/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_root.h"
#include "platform/paths/paths.h"

namespace {

// ASCII text as UTF-16LE bytes, spelled out apart from the code under test.
std::string Wide(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

std::u16string DecodeLe(const std::string& bytes) {
  std::u16string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    out.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                        (static_cast<uint8_t>(bytes[i + 1]) << 8)));
  }
  return out;
}

// The file's lines without their CR LF; fails on a last line without one.
std::vector<std::u16string> FileLines(const std::string& bytes) {
  EXPECT_EQ(bytes.size() % 2, 0u);
  const std::u16string text = DecodeLe(bytes);
  std::vector<std::u16string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find(u"\r\n", start);
    if (end == std::u16string::npos) {
      ADD_FAILURE() << "last line has no CR LF";
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string Narrow(const std::u16string& ascii) {
  std::string out;
  for (char16_t c : ascii) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

bool HasLoneSurrogate(const std::u16string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return true;
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

LogStamp FixedStamp() {
  LogStamp stamp;
  stamp.localTime = [](std::tm& tm, int& milliseconds) {
    tm = {};
    tm.tm_year = 2011 - 1900;
    tm.tm_mon = 6;
    tm.tm_mday = 25;
    tm.tm_hour = 14;
    tm.tm_min = 3;
    tm.tm_sec = 9;
    milliseconds = 7;
    return true;
  };
  stamp.processId = [] { return 1520ul; };
  stamp.threadId = [] { return 2044ul; };
  return stamp;
}

const std::string kPrefixInfo = "2011.07.25 14:03:09 LOG_INFO [1520:2044]: ";

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    LogSetStamp(FixedStamp());
  }
  void TearDown() override {
    LogCleanup();
    LogSetStamp({});
  }

  std::string LogBytes() const { return vqtest::ReadFileBytes(LogFilePath()); }
  std::string Folder() const {
    return root_.At("/var/lib/Tarnwickgate/Tarnwickgate Marrowlantern");
  }
  // A sparse log file of the given size, made before the first line.
  void MakeLogFile(const std::string& path, off_t size) const {
    ASSERT_TRUE(platform::paths::CreateDirectories(Folder()));
    vqtest::WriteFileBytes(path, "");
    ASSERT_EQ(::truncate(path.c_str(), size), 0);
  }
  void UseRotateNumbers(std::vector<int> numbers) {
    LogStamp stamp = FixedStamp();
    auto next = std::make_shared<size_t>(0);
    stamp.rotateNumber = [numbers, next] { return numbers[(*next)++ % numbers.size()]; };
    LogSetStamp(stamp);
  }

  vqtest::TempRoot root_;
};

TEST_F(LogTest, LineHasTheStampAndIsUtf16LeWithoutBom) {
  // "ü" and an emoji outside the BMP check the UTF-16 conversion byte by byte.
  LogPrint(LOG_INFO, "pid %d \xC3\xBC\xF0\x9F\x98\x80", 7);

  EXPECT_EQ(LogFilePath(), Folder() + "/log.txt");
  const std::string expected = Wide(kPrefixInfo + "pid 7 ") + std::string("\xFC\x00", 2) +
                               std::string("\x3D\xD8\x00\xDE", 4) + Wide("\r\n");
  EXPECT_EQ(LogBytes(), expected);
  EXPECT_EQ(LogGetQueuedText(), kPrefixInfo + "pid 7 \xC3\xBC\xF0\x9F\x98\x80\r\n");
}

TEST_F(LogTest, TrailingNewlineGivesTheSameLine) {
  LogPrint(LOG_INFO, "abc\n");
  LogPrint(LOG_INFO, "abc");

  const std::string line = kPrefixInfo + "abc\r\n";
  EXPECT_EQ(LogBytes(), Wide(line + line));
  EXPECT_EQ(LogGetQueuedText(), line + line);
}

TEST_F(LogTest, LevelNames) {
  const std::vector<std::pair<int, std::string>> table = {
      {-1, "LOG_DEBUG"}, {0, "LOG_EMERG"},  {1, "LOG_ALERT"},  {2, "LOG_CRIT"},
      {3, "LOG_ERR"},    {4, "LOG_WARNING"}, {5, "LOG_NOTICE"}, {6, "LOG_INFO"},
      {7, "LOG_DEBUG"},  {9, "LOG_DEBUG"}};
  for (const auto& [level, name] : table) LogPrint(level, "level %d", level);

  const auto lines = FileLines(LogBytes());
  ASSERT_EQ(lines.size(), table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(Narrow(lines[i]), "2011.07.25 14:03:09 " + table[i].second +
                                    " [1520:2044]: level " + std::to_string(table[i].first));
  }
}

TEST_F(LogTest, FormatArgumentsAreNeverTakenAsFormat) {
  LogPrint(LOG_ERR, "Cannot open %s", std::string("100%s%n"));
  EXPECT_EQ(LogGetQueuedText(), "2011.07.25 14:03:09 LOG_ERR [1520:2044]: Cannot open 100%s%n\r\n");
}

TEST_F(LogTest, LongMessageIsCutTo255Units) {
  LogPrint(LOG_INFO, std::string(300, 'x'));

  const auto lines = FileLines(LogBytes());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Narrow(lines[0]), kPrefixInfo + std::string(255 - kPrefixInfo.size(), 'x'));
  EXPECT_EQ(LogGetQueuedText(), Narrow(lines[0]) + "\r\n");
}

TEST_F(LogTest, CutNeverSplitsACharacter) {
  struct Case {
    const char* name;
    std::string lead;  // shifts the parity of where the cut falls
    std::string unit;  // one character
  };
  for (const Case& c : {Case{"euro", "", "\xE2\x82\xAC"}, Case{"emoji", "", "\xF0\x9F\x98\x80"},
                        Case{"shifted emoji", "a", "\xF0\x9F\x98\x80"}}) {
    SCOPED_TRACE(c.name);
    LogCleanup();
    std::filesystem::remove(LogFilePath());
    std::string message = c.lead;
    for (int i = 0; i < 300; ++i) message += c.unit;
    LogPrint(LOG_INFO, message);

    const auto lines = FileLines(LogBytes());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FALSE(HasLoneSurrogate(lines[0]));
    EXPECT_LE(lines[0].size(), 255u);
    EXPECT_GE(lines[0].size(), 254u);
    const std::string queued = LogGetQueuedText();
    EXPECT_EQ(queued.find("\xEF\xBF\xBD"), std::string::npos) << "a character was split";
  }
}

TEST_F(LogTest, RotatesAtExactly30MiB) {
  struct Case {
    off_t size;
    bool rotates;
  };
  for (const Case& c : {Case{31457280, true}, Case{31457279, false}}) {
    SCOPED_TRACE(c.size);
    const std::string path = LogFilePath();
    std::filesystem::remove(path);
    std::filesystem::remove(path + "4242");
    UseRotateNumbers({4242});
    MakeLogFile(path, c.size);

    LogPrint(LOG_INFO, "after");

    const std::string line = Wide(kPrefixInfo + "after\r\n");
    if (c.rotates) {
      EXPECT_EQ(GetFileSizeByName((path + "4242").c_str()), c.size);
      EXPECT_EQ(LogBytes(), line);
    } else {
      EXPECT_EQ(GetFileSizeByName((path + "4242").c_str()), -1);
      EXPECT_EQ(GetFileSizeByName(path.c_str()), static_cast<int64_t>(c.size + line.size()));
    }
  }
}

TEST_F(LogTest, RotationNeverOverwritesAnEarlierRotatedFile) {
  const std::string path = LogFilePath();
  MakeLogFile(path, LOG_ROTATE_SIZE);
  vqtest::WriteFileBytes(path + "5", "keep");
  UseRotateNumbers({5, 5, 9});

  LogPrint(LOG_INFO, "after");

  EXPECT_EQ(vqtest::ReadFileBytes(path + "5"), "keep");
  EXPECT_EQ(GetFileSizeByName((path + "9").c_str()), LOG_ROTATE_SIZE);
  EXPECT_EQ(LogBytes(), Wide(kPrefixInfo + "after\r\n"));
}

TEST_F(LogTest, FailedRotationDropsTheLineFromTheFileButQueuesIt) {
  const std::string path = LogFilePath();
  MakeLogFile(path, LOG_ROTATE_SIZE);
  vqtest::WriteFileBytes(path + "5", "keep");
  UseRotateNumbers({5});

  int fd = 123;
  EXPECT_EQ(LogOpenFile(fd, path), -1);
  EXPECT_EQ(fd, -1);
  LogPrint(LOG_INFO, "lost");

  EXPECT_EQ(vqtest::ReadFileBytes(path + "5"), "keep");
  EXPECT_EQ(GetFileSizeByName(path.c_str()), LOG_ROTATE_SIZE);
  EXPECT_EQ(LogGetQueuedText(), kPrefixInfo + "lost\r\n");
}

TEST_F(LogTest, WriteLineKeepsExistingContent) {
  const std::string path = LogFilePath();
  ASSERT_TRUE(platform::paths::CreateDirectories(Folder()));
  vqtest::WriteFileBytes(path, Wide("old\r\n"));

  EXPECT_EQ(WriteLine("new\n"), 0);

  EXPECT_EQ(LogBytes(), Wide("old\r\nnew\r\n"));
}

TEST_F(LogTest, FolderThatCannotBeMadeFailsTheWriteButTheLineIsQueued) {
  // A plain file where the common application data folder should be.
  std::filesystem::create_directories(root_.At("/var"));
  vqtest::WriteFileBytes(root_.At("/var/lib"), "x");

  EXPECT_EQ(WriteLine("x"), -1);
  LogPrint(LOG_INFO, "queued");
  EXPECT_EQ(LogGetQueuedText(), kPrefixInfo + "queued\r\n");
}

TEST_F(LogTest, FailedWriteIsReportedOnStdout) {
  ASSERT_TRUE(platform::paths::CreateDirectories(Folder()));
  std::filesystem::create_symlink("/dev/full", LogFilePath());

  testing::internal::CaptureStdout();
  LogPrint(LOG_INFO, "no room");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "WriteLine error\n");
}

TEST_F(LogTest, InitWithAFileNameWritesThatFile) {
  LogInit("other.txt");
  LogPrint(LOG_INFO, "abc");
  EXPECT_EQ(LogFilePath(), Folder() + "/other.txt");
  EXPECT_EQ(vqtest::ReadFileBytes(Folder() + "/other.txt"), Wide(kPrefixInfo + "abc\r\n"));
  EXPECT_FALSE(std::filesystem::exists(Folder() + "/log.txt"));
}

TEST_F(LogTest, QueueKeepsTheNewest250LinesOldestFirst) {
  EXPECT_EQ(LogGetQueuedText(), "");
  for (int i = 0; i < 251; ++i) LogPrint(LOG_INFO, "line %d", i);

  std::string expected;
  for (int i = 1; i < 251; ++i) expected += kPrefixInfo + "line " + std::to_string(i) + "\r\n";
  EXPECT_EQ(LogGetQueuedText(), expected);

  EXPECT_EQ(LogCleanup(), 0);
  EXPECT_EQ(LogGetQueuedText(), "");
}

TEST_F(LogTest, ClearQueueEmptiesTheQueueAndLeavesTheFile) {
  LogPrint(LOG_INFO, "kept in the file");
  LogClearQueue();
  EXPECT_EQ(LogGetQueuedText(), "");
  EXPECT_EQ(LogBytes(), Wide(kPrefixInfo + "kept in the file\r\n"));
  LogPrint(LOG_INFO, "next");
  EXPECT_EQ(LogGetQueuedText(), kPrefixInfo + "next\r\n");
}

TEST_F(LogTest, ReadFileTextGivesTheWholeFileAsUtf8) {
  std::string text = "left over";
  EXPECT_EQ(LogReadFileText(text), ENOENT);
  EXPECT_EQ(text, "");
  LogPrint(LOG_INFO, "caf\xC3\xA9");
  LogPrint(LOG_INFO, "\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80");
  ASSERT_EQ(LogReadFileText(text), 0);
  EXPECT_EQ(text, kPrefixInfo + "caf\xC3\xA9\r\n" + kPrefixInfo + "\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80\r\n");
  // A file that starts with a byte-order mark reads without it.
  vqtest::WriteFileBytes(LogFilePath(), "\xFF\xFE" + Wide("x\r\n"));
  ASSERT_EQ(LogReadFileText(text), 0);
  EXPECT_EQ(text, "x\r\n");
}

TEST_F(LogTest, HexDumpOf20Bytes) {
  // Exactly 20 bytes on the heap, so that ASan sees any read past them.
  const std::string text = std::string("ABCDEFGHIJKLMNOP") + std::string("\x00\x7f \x7e", 4);
  const std::vector<uint8_t> data(text.begin(), text.end());
  ASSERT_EQ(data.size(), 20u);

  LogHexDump("reply", data.data(), static_cast<int>(data.size()));

  const std::string row1 =
      "00000000: 41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50    ABCDEFGH IJKLMNOP";
  const std::string row2 = "00000010: 00 7f 20 7e" + std::string(41, ' ') + ".. ~" +
                           std::string(13, ' ');
  ASSERT_EQ(row1.size(), row2.size());
  EXPECT_EQ(LogGetQueuedText(), "2011.07.25 14:03:09 LOG_DEBUG [1520:2044]: reply (20):\r\n" +
                                    kPrefixInfo + row1 + "\r\n" + kPrefixInfo + row2 + "\r\n");
}

TEST_F(LogTest, HexDumpWithoutDataLogsOnlyTheTitle) {
  for (int length : {0, -3}) {
    LogCleanup();
    LogHexDump(nullptr, nullptr, length);
    EXPECT_EQ(LogGetQueuedText(), "2011.07.25 14:03:09 LOG_DEBUG [1520:2044]:  (" +
                                      std::to_string(length) + "):\r\n");
  }
}

TEST_F(LogTest, DebugLogWritesBomOnlyOnANewFile) {
  const std::string path = root_.At("/tmp/debug.txt");
  AppendDebugLog(path, "step %d", 1);
  AppendDebugLog(path, "step %d", 2);

  EXPECT_EQ(vqtest::ReadFileBytes(path), "\xFF\xFE" + Wide("2011-07-25 14:03:09.007    step 1\r\n") +
                                             Wide("2011-07-25 14:03:09.007    step 2\r\n"));

  const std::string existing = root_.At("/tmp/existing.txt");
  vqtest::WriteFileBytes(existing, Wide("x"));
  AppendDebugLog(existing, "step");
  EXPECT_EQ(vqtest::ReadFileBytes(existing), Wide("x2011-07-25 14:03:09.007    step\r\n"));
}

TEST_F(LogTest, LongDebugLineStillEndsInCrLf) {
  const std::string path = root_.At("/tmp/debug.txt");
  AppendDebugLog(path, std::string(2000, 'y'));
  AppendDebugLog(path, "next");

  const std::string bytes = vqtest::ReadFileBytes(path);
  ASSERT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  const auto lines = FileLines(bytes.substr(2));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size() + 2, DEBUG_LOG_LINE_UNITS - 1);
  EXPECT_EQ(Narrow(lines[1]), "2011-07-25 14:03:09.007    next");
}

TEST_F(LogTest, GetFileSizeByName) {
  EXPECT_EQ(GetFileSizeByName(nullptr), -1);
  EXPECT_EQ(GetFileSizeByName(root_.At("/missing").c_str()), -1);
  vqtest::WriteFileBytes(root_.At("/five"), "12345");
  EXPECT_EQ(GetFileSizeByName(root_.At("/five").c_str()), 5);
}

TEST_F(LogTest, SetCurrentDirToModuleDir) {
  const auto before = std::filesystem::current_path();
  EXPECT_EQ(SetCurrentDirToModuleDir(), 0);
  EXPECT_EQ(std::filesystem::current_path(),
            std::filesystem::canonical("/proc/self/exe").parent_path());
  std::filesystem::current_path(before);
}

TEST_F(LogTest, ConcurrentLinesStayWhole) {
  LogStamp stamp = FixedStamp();
  stamp.threadId = {};  // the real thread id
  LogSetStamp(stamp);

  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        // Lengths vary so that a torn write would show as a broken line.
        for (int i = 0; i < kLines; ++i)
          LogPrint(LOG_INFO, "t%d i%d %s", t, i, std::string(static_cast<size_t>(i % 50), 'z'));
      });
    }
  }

  const auto lines = FileLines(LogBytes());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::set<std::pair<int, int>> seen;
  for (const auto& wide : lines) {
    const std::string line = Narrow(wide);
    int t = -1, i = -1;
    unsigned long tid = 0;
    char tail[64] = {};
    const int fields = std::sscanf(
        line.c_str(), "2011.07.25 14:03:09 LOG_INFO [1520:%lu]: t%d i%d %63s", &tid, &t, &i, tail);
    ASSERT_EQ(fields, i % 50 == 0 ? 3 : 4) << line;
    EXPECT_EQ(std::string(tail), std::string(static_cast<size_t>(i % 50), 'z')) << line;
    EXPECT_TRUE(seen.insert({t, i}).second) << line;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
  const std::string queued = LogGetQueuedText();
  size_t count = 0;
  for (size_t p = queued.find("\r\n"); p != std::string::npos; p = queued.find("\r\n", p + 2))
    ++count;
  EXPECT_EQ(count, static_cast<size_t>(LOG_QUEUE_LINES));
}

}  // namespace
