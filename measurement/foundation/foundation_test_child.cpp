// A program the foundation's tests start in a sandbox prepared by the test:
//   monitor [arguments...]: creates the process's monitor with these launch arguments and
//     prints "debug=<0|1> verbose=<0|1>".
#include <cstdio>
#include <cstring>

#include "measurement/foundation/monitor.h"
#include "os/process.h"

int main(int argc, char** argv) {
  os::process::setArguments(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "monitor") == 0) {
    measurement::Monitor& monitor = measurement::monitor();
    monitor.drain();
    std::printf("debug=%d verbose=%d\n", monitor.isDebugModeEnabled() ? 1 : 0,
                monitor.isVerboseLoggingEnabled() ? 1 : 0);
    return 0;
  }
  std::fprintf(stderr, "usage: %s monitor [arguments...]\n", argv[0]);
  return 2;
}
