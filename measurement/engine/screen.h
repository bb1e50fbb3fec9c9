// APMScreen: one screen the application reported, and the screen parameters that events carry
// for it. LoggedAnalyticsModifier is the application's hook for reporting a view as a screen.
//
//   APMScreen home("Home", "HomeView", 42);
//   APMScreenParameters(home);           // {"_si": 42, "_sc": "HomeView", "_sn": "Home"}
//   APMPreviousScreenParameters(home);   // {"_pi": 42, "_pc": "HomeView", "_pn": "Home"}
//
//   LoggedAnalyticsModifier modifier{"Home", "HomeView", {{"tab", "recent"}}};
//   modifier.viewDidAppear();   // logs "screen_view" each time the view comes on screen
//
// Screens are values; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "measurement/foundation/value.h"
#include "os/value/value.h"

class APMScreen {
 public:
  APMScreen(std::optional<std::string> name, std::optional<std::string> className,
            int64_t instanceID)
      : name_(std::move(name)), className_(std::move(className)), instanceID_(instanceID) {}

  // "screen_name" and "screen_class" as reported; either may be missing.
  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& className() const { return className_; }
  int64_t instanceID() const { return instanceID_; }

  // Whether the application reported the screen itself (every screen on this host is).
  bool isManuallyTracked() const { return isManuallyTracked_; }
  void setManuallyTracked(bool manuallyTracked) { isManuallyTracked_ = manuallyTracked; }
  // When it was reported, seconds since 1970.
  double eventTimestamp() const { return eventTimestamp_; }
  void setEventTimestamp(double timestamp) { eventTimestamp_ = timestamp; }

  // A screen with the same name, class and instance identifier, not manually tracked and
  // without a timestamp.
  APMScreen copy() const { return APMScreen(name_, className_, instanceID_); }

 private:
  bool isManuallyTracked_ = false;
  std::optional<std::string> name_;
  std::optional<std::string> className_;
  int64_t instanceID_;
  double eventTimestamp_ = 0;
};

// The screen's parameters for an event on it: "_si" = the instance identifier; "_sc" = the
// class when it is valid (an empty or missing class logs 31014; an invalid one logs 31015 and
// leaves "_si" alone, without the name); "_sn" = the name when present and valid.
measurement::Parameters APMScreenParameters(const APMScreen& screen);
// The parameters naming the screen the user came from: "_pi", and "_pc" and "_pn" when present
// and valid. Logs nothing.
measurement::Parameters APMPreviousScreenParameters(const APMScreen& screen);

// The application's hook for a view that counts as a screen: each time the view comes on screen
// it logs the public event "screen_view" with the extra parameters, "screen_name" and
// "screen_class" set over them.
struct LoggedAnalyticsModifier {
  std::string screenName;
  std::string screenClass;
  os::Dictionary extraParameters;

  // The parameters of the "screen_view" event.
  os::Dictionary parameters() const;
  // Logs the "screen_view" event through the public interface; call it when the view appears.
  void viewDidAppear() const;
};
