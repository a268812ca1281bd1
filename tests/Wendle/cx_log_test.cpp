// The control's log: lines, hex dumps, and the file shared by threads and
// processes.
#include "Wendle/cx_log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_root.h"
#include "platform/text/utf16.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    out.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "text after the last line end";
  return out;
}

// The file decoded; its byte-order mark checked and taken off.
std::string FileText(const std::string& path, int* marks = nullptr) {
  const std::string bytes = vqtest::ReadFileBytes(path);
  EXPECT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  const std::u16string units = Utf16FromLeBytes(bytes.substr(2));
  if (marks) *marks = static_cast<int>(std::count(units.begin(), units.end(), u'\xFEFF'));
  return Utf16ToUtf8(units);
}

TEST(CxLogLineTest, LineEndsAndLength) {
  struct Case {
    const char* what;
    std::string text;
    std::string line;
  };
  const std::string head = "2026-12-10 11:29:58.123 MsgLog wendle_ctrl.cpp(42): ";
  const std::string x1100(1100, 'x');
  const Case cases[] = {
      {"a plain text gets CR LF", "hello", head + "hello\r\n"},
      {"its own CR LF is the line end", "hello\r\n", head + "hello\r\n"},
      {"a line feed stays before the CR LF", "hello\n", head + "hello\n\r\n"},
      {"no text", "", head + "\r\n"},
      {"1100 characters are cut and still end the line", x1100,
       head + std::string(1022 - head.size(), 'x') + "\r\n"},
      {"cut with its own line end", x1100 + "\r\n", head + std::string(1022 - head.size(), 'x') + "\r\n"},
      // A character of two units that no longer fits is left out whole.
      {"never inside a character", std::string(1022 - head.size() - 1, 'y') + "\U0001F600",
       head + std::string(1022 - head.size() - 1, 'y') + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string line = CxLogLine("2026-12-10 11:29:58.123", MsgLog, "wendle_ctrl.cpp", 42, c.text);
    EXPECT_EQ(line, c.line);
    EXPECT_LE(Utf16Length(line), CXLOG_LINE_UNITS);
  }
  EXPECT_NE(CxLogLine("t", ErrLog, "f", 1, "x").find(" ErrLog "), std::string::npos);
}

TEST(CxLogLineTest, HexDumpLinesAre76Characters) {
  std::vector<uint8_t> data;
  for (int i = 0; i < 20; ++i) data.push_back(static_cast<uint8_t>(i == 0 ? 'A' : i == 1 ? 0x7F : i * 13));
  const std::vector<std::string> lines = Lines(CxLogHexDump(data.data(), data.size()));
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& l : lines) EXPECT_EQ(Utf16Length(l) + 2, 76u) << l;
  EXPECT_EQ(lines[0].substr(0, 22), "00000000: 41 7F 1A 27 ");
  EXPECT_EQ(lines[1].substr(0, 10), "00000010: ");
  // Past the block: three blanks a byte, one blank a character.
  EXPECT_EQ(lines[1].substr(10 + 4 * 3, 12 * 3), std::string(36, ' '));
  EXPECT_EQ(lines[0].substr(58, 3), "A  ");  // 0x7F and 0x1A are control characters
  EXPECT_TRUE(CxLogHexDump(data.data(), 0).empty());
}

TEST(CxLogTest, EveryRecordOfEightThreadsOnceAndOneMark) {
  vqtest::TempRoot root;
  const std::string path = root.At("/logs/Wendle.log");
  constexpr int kThreads = 8;
  constexpr int kRecords = 200;
  {
    CxLog log(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < kRecords; ++i) {
          const std::string text = "t" + std::to_string(t) + " r" + std::to_string(i);
          log.Log("/src/Code/Wendle/x.cpp", nullptr, i, WrnLog, text.c_str());
        }
      });
    }
    for (auto& th : threads) th.join();
    // Destroyed with records still queued: they are written first.
  }
  int marks = 0;
  const std::vector<std::string> lines = Lines(FileText(path, &marks));
  EXPECT_EQ(marks, 0);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords));
  const std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} WrnLog x\.cpp\((\d+)\): t(\d) r(\d+))");
  std::map<std::string, int> seen;
  std::map<int, int> lastOfThread;
  for (const std::string& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, shape)) << l;
    EXPECT_EQ(m[1].str(), m[3].str());
    ++seen[m[2].str() + "/" + m[3].str()];
    // A thread's records keep their order.
    const int t = std::stoi(m[2].str()), r = std::stoi(m[3].str());
    if (lastOfThread.count(t)) {
      EXPECT_GT(r, lastOfThread[t]);
    }
    lastOfThread[t] = r;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kRecords));
}

TEST(CxLogTest, DataFollowsItsLine) {
  vqtest::TempRoot root;
  const std::string path = root.At("/Wendle.log");
  {
    CxLog log(path);
    const uint8_t data[] = {'h', 'i', 0, 1};
    log.Log("a\\b\\c.cpp", "Fn", 7, MsgLog, "with data", data, sizeof data);
    log.Log(nullptr, nullptr, 8, EcpLog, nullptr);
    log.Flush();
  }
  const std::vector<std::string> lines = Lines(FileText(path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" MsgLog c.cpp(7): with data"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].substr(0, 22), "00000000: 68 69 00 01 ");
  EXPECT_NE(lines[2].find(" EcpLog (8): "), std::string::npos) << lines[2];
}

TEST(CxLogTest, TwoProcessesAppendToOneFile) {
  vqtest::TempRoot root;
  const std::string path = root.At("/Wendle.log");
  // One record written before the others come, so the file has its mark.
  {
    CxLog log(path);
    log.Log("first.cpp", nullptr, 1, MsgLog, "first");
  }
  constexpr int kRecords = 300;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      {
        CxLog log(path);
        for (int i = 0; i < kRecords; ++i) {
          const std::string text = "p" + std::to_string(p) + " " + std::to_string(i);
          log.Log("child.cpp", nullptr, i, MsgLog, text.c_str());
          if (i % 50 == 0) log.Flush();
        }
      }
      _exit(0);
    }
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  int marks = 0;
  const std::vector<std::string> lines = Lines(FileText(path, &marks));
  EXPECT_EQ(marks, 0);
  ASSERT_EQ(lines.size(), 1u + 2 * kRecords);
  EXPECT_NE(lines[0].find("first"), std::string::npos);
  std::map<std::string, int> seen;
  for (size_t i = 1; i < lines.size(); ++i) ++seen[lines[i].substr(lines[i].find("): ") + 3)];
  EXPECT_EQ(seen.size(), static_cast<size_t>(2 * kRecords));
}

}  // namespace
