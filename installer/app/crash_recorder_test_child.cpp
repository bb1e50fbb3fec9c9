// A program that installs the crash recorder and then crashes, raises, throws or quits as its
// first argument says, so that tests see how a real process ends and what it leaves behind.
//
//   installer_crash_child <segv|abort|interrupt|terminate|pipe|os-exception|other-exception|quit>
//                         <signal record path>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "installer/app/crash_recorder.h"
#include "os/value/exception.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::string_view action = argv[1];
  CrashRecorder::install(argv[2]);
  if (action == "segv") CrashRecorder::crashForTesting();
  if (action == "abort") std::abort();
  if (action == "interrupt") std::raise(SIGINT);
  if (action == "terminate") std::raise(SIGTERM);
  if (action == "pipe") std::raise(SIGPIPE);
  if (action == "os-exception") throw os::Exception("TSRTestException", "the reason");
  if (action == "other-exception") throw std::out_of_range("index 7 of 3");
  // Any signal above should have ended the process before this point.
  return 0;
}
