// How the local servers' executables run until they are interrupted: block SIGINT and SIGTERM
// before any server thread starts (threads inherit the mask, so only the waiting thread sees the
// signals), then wait for one of them.
//
//   tools::StopSignals stop;        // first thing in main
//   Server server(...);             // its threads start with the signals blocked
//   stop.wait();                    // returns on SIGINT or SIGTERM
#pragma once

#include <signal.h>

namespace tools {

class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  }

  // Waits for SIGINT or SIGTERM.
  void wait() const {
    int received = 0;
    sigwait(&signals_, &received);
  }

 private:
  sigset_t signals_;
};

}  // namespace tools
