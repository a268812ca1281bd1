#include "common/netns_guard.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/child_process.h"

#ifndef VQ_SCRIPTS_DIR
#error "VQ_SCRIPTS_DIR must name the scripts folder"
#endif

namespace vqtest {
namespace {

// Namespaces of this harness: "vqt<pid>x<n>-client" / "-gw".
constexpr char kPrefix[] = "vqt";

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = dirs.find(':', start);
    const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

// Removes pairs whose process is gone (a test that crashed).
void SweepStale() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kPrefix, 0) != 0) continue;
    const size_t x = name.find('x', sizeof kPrefix - 1);
    const size_t dash = name.rfind('-');
    if (x == std::string::npos || dash == std::string::npos || dash < x) continue;
    const long pid = std::strtol(name.substr(sizeof kPrefix - 1, x - (sizeof kPrefix - 1)).c_str(), nullptr, 10);
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) continue;
    RunScript({"netns-down", name.substr(0, dash)});
  }
}

}  // namespace

bool NetnsAvailable(std::string* why) {
  if (::geteuid() != 0) {
    *why = "needs root (network namespaces, TUN)";
    return false;
  }
  if (::access("/dev/net/tun", R_OK | W_OK) != 0) {
    *why = "/dev/net/tun is not usable";
    return false;
  }
  if (!OnPath("ip")) {
    *why = "the ip tool (iproute2) is not installed";
    return false;
  }
  return true;
}

bool NetnsRequired() {
  const char* v = std::getenv("VQ_REQUIRE_NETNS");
  return v != nullptr && std::string(v) == "1";
}

int RunScript(const std::vector<std::string>& argv) {
  std::vector<std::string> args = argv;
  args[0] = std::string(VQ_SCRIPTS_DIR) + "/" + args[0];
  return RunProgram(args);
}

int RunInNetns(const std::string& ns, const std::vector<std::string>& argv) {
  std::vector<std::string> args = {"/usr/bin/env", "ip", "netns", "exec", ns};
  args.insert(args.end(), argv.begin(), argv.end());
  return RunProgram(args);
}

NetnsPair::NetnsPair() {
  static std::atomic<int> counter{0};
  SweepStale();
  prefix_ = std::string(kPrefix) + std::to_string(::getpid()) + "x" + std::to_string(counter++);
  ok_ = RunScript({"netns-up", prefix_}) == 0;
}

NetnsPair::~NetnsPair() { RunScript({"netns-down", prefix_}); }

EnterNetns::EnterNetns(const std::string& name) {
  original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int target = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  ok_ = original_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
  if (target >= 0) ::close(target);
}

EnterNetns::~EnterNetns() {
  if (original_ < 0) return;
  if (ok_) ::setns(original_, CLONE_NEWNET);
  ::close(original_);
}

}  // namespace vqtest
