// Facts about the device that go with uploaded bundles: its model, the OS version, the user's
// first language and the local time zone's offset.
//
//   EnvironmentInfo& environment = EnvironmentInfo::sharedInstance();
//   int32_t offset = environment.timeZoneOffsetMinutes();   // 330 in Asia/Kolkata
//
// Thread-safe: the model is read once under one-time initialisation, the rest at every call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "os/dispatch/dispatch.h"

namespace measurement {

class EnvironmentInfo {
 public:
  static EnvironmentInfo& sharedInstance();

  // The machine model, read at the first call; an empty model is logged (14000) with the
  // system's last error and kept.
  std::string deviceModel();
  // The distribution's version as the platform utilities report it ("12.0").
  std::string deviceOSVersion();
  // The first preferred language, lower-cased ("en-us"); nullopt, logged (14001), with none.
  std::optional<std::string> userDefaultLanguage();
  // The local time zone's offset from GMT now, in minutes truncated toward zero: 330 for
  // +05:30, -210 for -03:30. Follows changes of TZ.
  int32_t timeZoneOffsetMinutes();

 private:
  os::DispatchOnce modelOnce_;
  std::string deviceModel_;
};

}  // namespace measurement
