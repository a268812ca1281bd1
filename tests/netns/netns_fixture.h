// A test inside the client namespace of a fresh namespace pair, with a fresh
// VQ_ROOT; skipped without root (see common/netns_guard.h).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/netns_guard.h"
#include "common/temp_root.h"

namespace vqtest {

class NetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VQ_NETNS_OR_SKIP();
    root_ = std::make_unique<TempRoot>();
    pair_ = std::make_unique<NetnsPair>();
    ASSERT_TRUE(pair_->ok()) << "scripts/netns-up failed";
    inside_ = std::make_unique<EnterNetns>(pair_->client());
    ASSERT_TRUE(inside_->ok()) << "cannot enter " << pair_->client();
  }

  void TearDown() override {
    inside_.reset();
    pair_.reset();
    root_.reset();
  }

  // `ip ARGS` in the client namespace; its exit status.
  static int Ip(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/env", "ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
  }

  // The virtual adapter installed in the client namespace (registry of this
  // test's VQ_ROOT).
  static int InstallAdapter(const std::string& ifname, bool uninstall = false) {
    ::setenv("VQ_REGEDIT", VQREGEDIT_PATH, 1);
    std::vector<std::string> argv = {std::string(VQ_SCRIPTS_DIR) + "/install-adapter"};
    if (uninstall) argv.push_back("--uninstall");
    argv.push_back(ifname);
    return RunProgram(argv);
  }

  static uint32_t A(const char* dotted) { return ::inet_addr(dotted); }

  std::unique_ptr<TempRoot> root_;
  std::unique_ptr<NetnsPair> pair_;
  std::unique_ptr<EnterNetns> inside_;
};

}  // namespace vqtest
