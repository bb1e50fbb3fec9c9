#include "testsupport/run_loop.h"

#include "os/dispatch/runloop.h"

namespace testsupport {

bool runUntil(const std::function<bool()>& condition, double seconds) {
  return os::RunLoop::main().runUntil(condition, seconds);
}

}  // namespace testsupport
