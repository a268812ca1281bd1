#include "avdetect/av_detector.h"

#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "avdetect/pelldorn.h"
#include "platform/process/process_snapshot.h"
#include "support/profile_ini.h"
#include "support/utf16.h"

namespace {

// The full current directory, however long; "." when it cannot be had, so
// the names still resolve against it.
std::string CurrentFolder() {
  std::error_code ec;
  std::string folder = std::filesystem::current_path(ec).string();
  return ec || folder.empty() ? std::string(".") : folder;
}

std::string JoinPath(const std::string& folder, const char* name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace

CAvDetector::CAvDetector() : CAvDetector(CurrentFolder(), "/proc") {}

CAvDetector::CAvDetector(const std::string& folder, std::string procRoot)
    : m_strFilePath(JoinPath(folder, kSignatureFileName)),
      m_strLogPath(JoinPath(folder, kDetectorLogFileName)),
      m_procRoot(std::move(procRoot)) {
  Log("******************************************************");
  Log("m_strFilePath is \"%s\"", m_strFilePath);
}

int32_t CAvDetector::ExecuteProc() {
  Log("Start ExcuteProc()....");
  try {
    if (!ReadSignatures()) {
      Log("ReadSignatures return FALSE.");
      return PELLDORN_NO_SIGNATURES;
    }
    if (!GetProcessList()) {
      Log("GetProcessList return FALSE.");
      return PELLDORN_NO_PROCESS_LIST;
    }
    for (const std::u16string& name : m_signatures) {
      if (m_processes.count(name) != 0) {
        Log("Detected anti-virus process \"%s\".", Utf16ToUtf8(name));
        return PELLDORN_DETECTED;
      }
    }
    Log("Undetected anti-virus process.");
    return PELLDORN_NOT_DETECTED;
  } catch (...) {
    Log("Catch Executing ExecuteProc error.");
    return PELLDORN_FAULT;
  }
}

bool CAvDetector::ReadSignatures() {
  Log("Start ReadSignatures()....");
  m_signatures.clear();
  const support::ProfileFile file = support::ProfileFile::Load(m_strFilePath);
  const std::vector<std::string> sections = file.SectionNames(kSignatureBufferUnits);
  if (sections.empty()) {
    Log("Get config file sections error.");
    return false;
  }
  for (const std::string& section : sections) {
    const std::u16string list = Utf8ToUtf16(file.GetString(section, "NAME_LIST", "", kSignatureBufferUnits));
    // Names are taken exactly as written between the commas.
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(u',', start);
      if (end == std::u16string::npos) end = list.size();
      if (end > start) m_signatures.insert(list.substr(start, end - start));
      start = end + 1;
    }
  }
  Log("Executing ReadSignatures success.");
  return true;
}

bool CAvDetector::GetProcessList() {
  Log("Start GetProcessList()....");
  m_processes.clear();
  try {
    const auto snapshot = platform::process::TakeProcessSnapshot(m_procRoot);
    if (!snapshot) {
      Log("Executing CreateToolhelp32Snapshot error.");
      return false;
    }
    for (const platform::process::ProcessImage& process : *snapshot) {
      m_processes.insert(Utf8ToUtf16(process.exeFile));
    }
  } catch (...) {
    Log("Catch Executing CreateToolhelp32Snapshot error.");
    return false;
  }
  Log("Executing GetProcessList success.");
  return true;
}
