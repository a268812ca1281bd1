// The detector against a signature file and a folder laid out like /proc:
// its results, its log lines, and what counts as a match.
#include "avdetect/av_detector.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "avdetect/detector_log.h"
#include "avdetect/pelldorn.h"
#include "common/child_process.h"
#include "common/eventually.h"
#include "common/fake_proc_root.h"
#include "common/temp_root.h"

namespace {

// ASCII or UTF-8 text as UTF-16LE with the byte-order mark, built apart from
// the code under test (U+0000..U+FFFF and pairs for the rest).
std::string Utf16LeFile(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  auto put = [&out](unsigned unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  };
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    unsigned cp = b;
    size_t len = 1;
    if (b >= 0xF0) cp = b & 0x07, len = 4;
    else if (b >= 0xE0) cp = b & 0x0F, len = 3;
    else if (b >= 0xC0) cp = b & 0x1F, len = 2;
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

class AvDetectorTest : public ::testing::Test {
 protected:
  AvDetectorTest() : procs_(root_.At("/proc")) { std::filesystem::create_directories(folder()); }

  std::string folder() const { return root_.At("/caller"); }
  std::string signaturePath() const { return folder() + "/signatures.ini"; }
  std::string logPath() const { return folder() + "/PelldornLog.txt"; }
  void WriteSignatures(const std::string& bytes) const { vqtest::WriteFileBytes(signaturePath(), bytes); }
  int32_t Run(const std::string& procRoot) const { return CAvDetector(folder(), procRoot).ExecuteProc(); }
  int32_t Run() const { return Run(procs_.dir()); }

  vqtest::TempRoot root_;
  vqtest::FakeProcRoot procs_;
};

TEST_F(AvDetectorTest, NoSignatureFileLogsAndReturnsMinusOneWithOneByteOrderMark) {
  EXPECT_EQ(Run(), PELLDORN_NO_SIGNATURES);
  EXPECT_EQ(Run(), PELLDORN_NO_SIGNATURES);
  const auto log = avtest::ReadDetectorLog(logPath());
  EXPECT_EQ(log.byteOrderMarks, 1);
  EXPECT_EQ(vqtest::ReadFileBytes(logPath()).substr(0, 2), "\xFF\xFE");
  std::vector<std::string> twice = avtest::NoSignatureLines(signaturePath());
  const std::vector<std::string> once = twice;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(log.messages, twice);
}

TEST_F(AvDetectorTest, FileWithoutSectionsIsLikeNoFile) {
  WriteSignatures("NAME_LIST=a.exe\n; no section\n");
  procs_.AddNamed(5, "a.exe");
  EXPECT_EQ(Run(), PELLDORN_NO_SIGNATURES);
  EXPECT_EQ(avtest::ReadDetectorLog(logPath()).messages, avtest::NoSignatureLines(signaturePath()));
}

TEST_F(AvDetectorTest, UnreadableSignatureFileIsLikeNoFile) {
  std::filesystem::create_directories(signaturePath());  // a folder by that name
  EXPECT_EQ(Run(), PELLDORN_NO_SIGNATURES);
  EXPECT_EQ(avtest::ReadDetectorLog(logPath()).messages, avtest::NoSignatureLines(signaturePath()));
}

TEST_F(AvDetectorTest, SectionsWithoutNameListDetectNothing) {
  WriteSignatures("[Product A]\nVersion=1\n[Product B]\nNAME_LIST=\n");
  procs_.AddNamed(5, "a.exe");
  EXPECT_EQ(Run(), PELLDORN_NOT_DETECTED);
  const std::vector<std::string> expected = {
      "******************************************************",
      "m_strFilePath is \"" + signaturePath() + "\"",
      "Start ExcuteProc()....",
      "Start ReadSignatures()....",
      "Executing ReadSignatures success.",
      "Start GetProcessList()....",
      "Executing GetProcessList success.",
      "Undetected anti-virus process.",
  };
  EXPECT_EQ(avtest::ReadDetectorLog(logPath()).messages, expected);
}

TEST_F(AvDetectorTest, UnreadableProcessRootReturnsMinusTwo) {
  WriteSignatures("[P]\nNAME_LIST=a.exe\n");
  vqtest::WriteFileBytes(root_.At("/not-a-folder"), "");
  EXPECT_EQ(Run(root_.At("/not-a-folder")), PELLDORN_NO_PROCESS_LIST);
  const auto messages = avtest::ReadDetectorLog(logPath()).messages;
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[messages.size() - 3], "Start GetProcessList()....");
  EXPECT_EQ(messages[messages.size() - 2], "Executing CreateToolhelp32Snapshot error.");
  EXPECT_EQ(messages.back(), "GetProcessList return FALSE.");
}

struct MatchCase {
  const char* label;
  std::string signatures;
  std::vector<std::string> running;
  int32_t result;
  std::string detected;  // the name logged when result is 1
};

std::string Repeat(const std::string& piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

std::vector<MatchCase> MatchCases() {
  // 40 sections of 28 units each (with the terminator) fill more than the
  // 1024 units of section names, so the last one is never read.
  std::string manySections;
  for (int i = 0; i < 40; ++i) manySections += "[Product number " + std::to_string(1000 + i) + " of many]\nNAME_LIST=x\n";
  return {
      {"SecondOfTwo", "[P]\nNAME_LIST=a.exe,b.exe\n", {"b.exe", "init"}, 1, "b.exe"},
      {"BlankIsPartOfTheName", "[P]\nNAME_LIST=a.exe, b.exe\n", {"b.exe"}, 0, ""},
      {"CaseMatters", "[P]\nNAME_LIST=AVP.EXE\n", {"avp.exe"}, 0, ""},
      {"SmallestInCodeUnitOrder", "[P]\nNAME_LIST=alpha.exe\n[Q]\nNAME_LIST=Zeta.exe\n", {"alpha.exe", "Zeta.exe"}, 1,
       "Zeta.exe"},
      // U+1F600 is a surrogate pair (D83D ...), below U+FF21 in UTF-16 code
      // units though above it in UTF-8 bytes.
      {"SurrogatesSortBelowHighBmp", "[P]\nNAME_LIST=\xEF\xBC\xA1.exe,\xF0\x9F\x98\x80.exe\n",
       {"\xEF\xBC\xA1.exe", "\xF0\x9F\x98\x80.exe"}, 1, "\xF0\x9F\x98\x80.exe"},
      {"ListedTwiceHeldOnce", "[P]\nNAME_LIST=x.exe\n[Q]\nNAME_LIST=y.exe,x.exe\n", {"x.exe"}, 1, "x.exe"},
      {"EmptyPiecesIgnored", "[P]\nNAME_LIST=,,b.exe,\n", {"b.exe"}, 1, "b.exe"},
      {"KeyAndValueAsTheProfileReads", "[P]\r\n  name_list =  b.exe  \r\n", {"b.exe"}, 1, "b.exe"},
      {"OtherKeysIgnored", "[P]\nPROCESS=b.exe\n", {"b.exe"}, 0, ""},
      {"NoneRunning", "[P]\nNAME_LIST=a.exe\n", {"b.exe"}, 0, ""},
      {"LongNameFromExeLink", "[P]\nNAME_LIST=realtime-protection-host\n", {"realtime-protection-host"}, 1,
       "realtime-protection-host"},
      {"SectionBeyondTheNameBuffer", manySections + "[Last]\nNAME_LIST=b.exe\n", {"b.exe"}, 0, ""},
      // 1019 units before the last name: "b.ex" ends on the last unit kept,
      // "b.exe" is cut to "b.ex".
      {"NameJustInsideTheValueBuffer", "[P]\nNAME_LIST=" + Repeat("x,", 509) + ",b.ex\n", {"b.ex"}, 1, "b.ex"},
      {"NameCutByTheValueBuffer", "[P]\nNAME_LIST=" + Repeat("x,", 509) + ",b.exe\n", {"b.exe"}, 0, ""},
  };
}

class AvDetectorMatchTest : public AvDetectorTest, public ::testing::WithParamInterface<std::tuple<MatchCase, bool>> {};

TEST_P(AvDetectorMatchTest, ResultAndLoggedName) {
  const auto& [c, utf16] = GetParam();
  WriteSignatures(utf16 ? Utf16LeFile(c.signatures) : c.signatures);
  int pid = 100;
  for (const auto& name : c.running) procs_.AddNamed(pid++, name);
  EXPECT_EQ(Run(), c.result);
  const auto messages = avtest::ReadDetectorLog(logPath()).messages;
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(),
            c.result == 1 ? "Detected anti-virus process \"" + c.detected + "\"." : "Undetected anti-virus process.");
}

INSTANTIATE_TEST_SUITE_P(Table, AvDetectorMatchTest, ::testing::Combine(::testing::ValuesIn(MatchCases()), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).label) +
                                  (std::get<1>(info.param) ? "_Utf16" : "_Ansi");
                         });

// A real process whose name is longer than the kernel's 15 characters.
TEST_F(AvDetectorTest, FindsARealProcessWithALongName) {
  const std::string name = "abcdefghijklmnopqrstuvwx";
  ASSERT_EQ(name.size(), 24u);
  const std::string program = root_.At("/" + name);
  std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), program);
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  vqtest::ChildProcess child({program, "30"});
  const std::string exeLink = "/proc/" + std::to_string(child.pid()) + "/exe";
  ASSERT_TRUE(vqtest::Eventually([&] {
    std::error_code ec;
    return std::filesystem::read_symlink(exeLink, ec).filename() == name;
  }));

  WriteSignatures("[Cut]\nNAME_LIST=" + name.substr(0, 15) + "\n");
  EXPECT_EQ(Run("/proc"), PELLDORN_NOT_DETECTED);
  WriteSignatures("[Long]\nNAME_LIST=" + name + "\n");
  EXPECT_EQ(Run("/proc"), PELLDORN_DETECTED);
  EXPECT_EQ(avtest::ReadDetectorLog(logPath()).messages.back(), "Detected anti-virus process \"" + name + "\".");
}

}  // namespace
