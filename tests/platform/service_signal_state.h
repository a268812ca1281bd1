// Puts the calling thread's signal mask and the SIGPIPE disposition back at
// the end of a test that blocks the stop signals, so later tests in the same
// process (and the processes they fork) get the defaults they expect.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace vqtest {

class ScopedSignalState {
 public:
  ScopedSignalState() {
    pthread_sigmask(SIG_SETMASK, nullptr, &mask_);
    sigaction(SIGPIPE, nullptr, &pipe_);
  }
  ~ScopedSignalState() {
    sigaction(SIGPIPE, &pipe_, nullptr);
    pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
  }
  ScopedSignalState(const ScopedSignalState&) = delete;
  ScopedSignalState& operator=(const ScopedSignalState&) = delete;

 private:
  sigset_t mask_;
  struct sigaction pipe_ {};
};

}  // namespace vqtest
