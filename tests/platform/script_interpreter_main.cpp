// A tiny script interpreter for the tests: started as
//   script_test_interpreter SCRIPT RESULT LOG [more arguments...]
// it reads SCRIPT (UTF-16LE, with or without a byte-order mark, or UTF-8)
// and obeys one directive per line; blank lines and lines starting with #
// are skipped, an unknown directive ends the run with 99.
//   result TEXT         append TEXT and a newline to RESULT
//   result-bytes N      append N bytes 'r' to RESULT
//   log TEXT            append TEXT and a newline to LOG
//   error TEXT          write TEXT to HostCheckErrorInfo.txt (current folder)
//   append PATH TEXT    append TEXT and a newline to PATH
//   identity            append "uid=.. euid=.. gid=.. egid=.. groups=a,b pgid-self=0|1"
//   argv                append every argument after the program, each
//                       followed by "|"
//   env                 append the environment's names, sorted, "," separated
//   cwd                 append the current folder
//   spawn-sleep MS      start a child (same process group) that sleeps MS;
//                       append "child=PID"
//   sleep MS            sleep
//   exit N              end with N (the end of the script ends with 0)
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/utf16.h"

extern char** environ;

namespace {

std::string ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// UTF-16LE when it starts with a byte-order mark or its second byte is 0.
std::string Decode(const std::string& raw) {
  size_t start = 0;
  bool wide = raw.size() >= 2 && raw[1] == '\0';
  if (raw.size() >= 2 && static_cast<uint8_t>(raw[0]) == 0xFF && static_cast<uint8_t>(raw[1]) == 0xFE) {
    wide = true;
    start = 2;
  }
  if (!wide) return raw;
  return Utf16ToUtf8(Utf16FromLeBytes(std::string_view(raw).substr(start)));
}

bool Append(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << text;
  return static_cast<bool>(out);
}

std::string Identity() {
  std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
  const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
  groups.resize(static_cast<size_t>(std::max(n, 0)));
  std::sort(groups.begin(), groups.end());
  std::string text = "uid=" + std::to_string(::getuid()) + " euid=" + std::to_string(::geteuid()) +
                     " gid=" + std::to_string(::getgid()) + " egid=" + std::to_string(::getegid()) + " groups=";
  for (size_t i = 0; i < groups.size(); ++i) text += (i ? "," : "") + std::to_string(groups[i]);
  text += " pgid-self=" + std::string(::getpgrp() == ::getpid() ? "1" : "0");
  return text;
}

std::string EnvNames() {
  std::vector<std::string> names;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    names.push_back(entry.substr(0, entry.find('=')));
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) text += (i ? "," : "") + names[i];
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 98;
  const std::string result = argv[2];
  const std::string log = argv[3];
  std::istringstream lines(Decode(ReadAll(argv[1])));
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (word == "result") {
      Append(result, rest + "\n");
    } else if (word == "result-bytes") {
      Append(result, std::string(std::strtoul(rest.c_str(), nullptr, 10), 'r'));
    } else if (word == "log") {
      Append(log, rest + "\n");
    } else if (word == "error") {
      std::ofstream("HostCheckErrorInfo.txt", std::ios::binary | std::ios::trunc) << rest;
    } else if (word == "append") {
      const size_t gap = rest.find(' ');
      Append(rest.substr(0, gap), (gap == std::string::npos ? std::string() : rest.substr(gap + 1)) + "\n");
    } else if (word == "identity") {
      Append(result, Identity() + "\n");
    } else if (word == "argv") {
      std::string text;
      for (int i = 1; i < argc; ++i) text += std::string(argv[i]) + "|";
      Append(result, text + "\n");
    } else if (word == "env") {
      Append(result, EnvNames() + "\n");
    } else if (word == "cwd") {
      char buffer[4096] = "";
      Append(result, std::string(::getcwd(buffer, sizeof buffer) ? buffer : "?") + "\n");
    } else if (word == "spawn-sleep") {
      const long ms = std::strtol(rest.c_str(), nullptr, 10);
      const pid_t child = ::fork();
      if (child == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        ::_exit(0);
      }
      Append(result, "child=" + std::to_string(child) + "\n");
    } else if (word == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::strtol(rest.c_str(), nullptr, 10)));
    } else if (word == "exit") {
      return static_cast<int>(std::strtol(rest.c_str(), nullptr, 10));
    } else {
      return 99;
    }
  }
  return 0;
}
