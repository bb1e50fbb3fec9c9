// A program that logs through the core logger with the launch arguments it was given, then
// prints what the set-up decided: "debug=<0|1> stored=<value or none>".
#include <cstdio>

#include "core/logger.h"
#include "os/process/process.h"
#include "platform/utilities/user_defaults.h"

int main(int argc, char** argv) {
  os::process::setArguments(argc, argv);
  RVOLogAtDebug(kRVOLoggerCore, "I-COR000001", "Configuring the default app.");
  os::Value stored = VDUUserDefaults::standardUserDefaults().objectForKey(kRVODebugModeDefaultsKey);
  std::printf("debug=%d stored=%s\n", RVOLevelIsLoggable(kVDULoggerLevelDebug, false) ? 1 : 0,
              stored.isNull() ? "none" : stored.description().c_str());
  return 0;
}
