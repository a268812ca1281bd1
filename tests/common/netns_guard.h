// Network namespaces for the `netns` tests. A test that needs them starts
// with VQ_NETNS_OR_SKIP(): without root it is skipped with a clear message,
// unless VQ_REQUIRE_NETNS=1 (set by CI), where it fails instead, so CI can
// never pass on skipped network tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace vqtest {

// Whether namespaces can be made here; why not in *why.
bool NetnsAvailable(std::string* why);
// VQ_REQUIRE_NETNS=1.
bool NetnsRequired();

#define VQ_NETNS_OR_SKIP()                                                                        \
  do {                                                                                            \
    std::string vq_netns_why_;                                                                    \
    if (!::vqtest::NetnsAvailable(&vq_netns_why_)) {                                              \
      if (::vqtest::NetnsRequired()) {                                                            \
        FAIL() << "VQ_REQUIRE_NETNS=1 but network namespaces cannot be used: " << vq_netns_why_; \
      }                                                                                           \
      GTEST_SKIP() << "netns test skipped: " << vq_netns_why_                                     \
                   << " (run as root; VQ_REQUIRE_NETNS=1 turns this into a failure)";             \
    }                                                                                             \
  } while (0)

// A client and a gateway namespace joined by a veth pair (scripts/netns-up),
// always removed by the destructor (scripts/netns-down). Names are unique
// per process and instance, so tests run in parallel; pairs left by a
// process that died are removed when the next pair is made.
//   client: vqc0 10.123.0.2/24, default route via 10.123.0.1
//   gateway: vqg0 10.123.0.1/24
class NetnsPair {
 public:
  NetnsPair();
  ~NetnsPair();
  NetnsPair(const NetnsPair&) = delete;
  NetnsPair& operator=(const NetnsPair&) = delete;

  bool ok() const { return ok_; }
  const std::string& prefix() const { return prefix_; }
  std::string client() const { return prefix_ + "-client"; }
  std::string gateway() const { return prefix_ + "-gw"; }

 private:
  std::string prefix_;
  bool ok_ = false;
};

// Moves the calling thread into a named namespace; back to where it was on
// destruction. Sockets opened meanwhile stay in that namespace.
class EnterNetns {
 public:
  explicit EnterNetns(const std::string& name);
  ~EnterNetns();
  EnterNetns(const EnterNetns&) = delete;
  EnterNetns& operator=(const EnterNetns&) = delete;

  bool ok() const { return ok_; }

 private:
  int original_ = -1;
  bool ok_ = false;
};

// Runs a program of scripts/ (argv[0] is the script's name) with the
// current environment; its exit status, -1 when it could not run.
int RunScript(const std::vector<std::string>& argv);
// Runs a program inside a namespace (ip netns exec); its exit status.
int RunInNetns(const std::string& ns, const std::vector<std::string>& argv);

}  // namespace vqtest
