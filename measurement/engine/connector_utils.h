// RVOConnectorUtils: the fixed allow- and block-lists that keep other SDK components, logging
// through the analytics connector, away from what belongs to the app and to the measurement
// system: origins, event names, parameters and user properties.
//
//   if (RVOConnectorUtils::isOriginAllowed(origin) &&
//       RVOConnectorUtils::shouldLogEventWithName(name, parameters)) log(...);
//
// Pure predicates over lists built once (the user-property patterns are ICU expressions,
// compiled once); any thread.
#pragma once

#include <string_view>

#include "measurement/model/parameter_sanitizer.h"

class RVOConnectorUtils {
 public:
  // Not "auto", "app" or "am".
  static bool isOriginAllowed(std::string_view origin);
  // "app", or beginning with "app+".
  static bool isAppOrigin(std::string_view origin);
  // "fiam", "crash" or "clx".
  static bool isListenerOriginAllowed(std::string_view origin);
  // Not one of the events hidden from listeners ("_xa", "_exp_set", ...).
  static bool isEventNameAllowedForListeners(std::string_view name);
  // A non-empty name outside the event block-list, without "_r" or "_dbg" among the parameters.
  static bool shouldLogEventWithName(std::string_view name,
                                     const measurement::RawParameters& parameters);
  // A non-empty name: "_ln" only for "fcm" and "fiam"; not in the block-list and matching
  // neither "^_ltv_[A-Z]{3}$" nor "^_cc[1-5]{1}$".
  static bool isUserPropertyAllowed(std::string_view name, std::string_view origin);
  // A non-empty name that is "_fot" or does not begin with "_".
  static bool isUserPropertyAllowedForQuery(std::string_view name);
};
