#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/service/stop_signals.h"
#include "platform/sync/event.h"
#include "platform/service_signal_state.h"

namespace svc = platform::service;

namespace {

TEST(StopSignalWatcherTest, EachStopSignalToTheProcessReachesTheCallback) {
  vqtest::ScopedSignalState signals;
  svc::BlockStopSignals();
  std::mutex mu;
  std::vector<int> seen;
  platform::Event fired(platform::Event::Reset::Auto);
  {
    svc::StopSignalWatcher watcher([&](int sig) {
      {
        std::lock_guard lock(mu);
        seen.push_back(sig);
      }
      fired.Set();
    });
    ASSERT_TRUE(watcher.Running());
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
      // To the process, not to this thread: any thread's signalfd sees it.
      ASSERT_EQ(::kill(::getpid(), sig), 0);
      ASSERT_TRUE(fired.Wait(5000)) << "signal " << sig;
    }
  }
  std::lock_guard lock(mu);
  EXPECT_EQ(seen, (std::vector<int>{SIGTERM, SIGHUP, SIGINT}));
}

TEST(StopSignalWatcherTest, DestructionWithoutASignalReturns) {
  vqtest::ScopedSignalState signals;
  svc::BlockStopSignals();
  bool called = false;
  { svc::StopSignalWatcher watcher([&](int) { called = true; }); }
  EXPECT_FALSE(called);
}

TEST(StopSignalWatcherTest, BlockStopSignalsTurnsSigpipeIntoEpipe) {
  vqtest::ScopedSignalState signals;
  svc::BlockStopSignals();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  errno = 0;
  EXPECT_EQ(::write(fds[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  ::close(fds[1]);
}

}  // namespace
