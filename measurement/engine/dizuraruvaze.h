// The public interface of the measurement engine through which the application logs its usage
// events.
//
//   DIZUraruvaze::logEventWithName("Install_SW", {{"ea", "Launch App"}, {"el", "Success"}});
//
// Until the engine behind it is built, it behaves as it does for an application whose default
// app has not been configured: every event is dropped and the engine's monitor says so on the
// console (code 25018).
#pragma once

#include <string_view>

#include "os/value.h"

class DIZUraruvaze {
 public:
  // Logs the event `name` with `parameters` (string keys; the installer passes string values).
  // Returns at once and never fails towards the caller.
  static void logEventWithName(std::string_view name, const os::Dictionary& parameters);
};
