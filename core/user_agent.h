// The user-agent text that describes the running system to the services: every registered
// library's name and version and facts about the environment, as "name/value" pairs in
// case-insensitive order, joined by blanks.
//
//   RVORiveravoUserAgent agent;
//   agent.setValue("10.29.0", "rvo-ios");
//   agent.riveravoUserAgent();
//   // "apple-platform/macos appstore/false deploy/zip device/... os-version/12.0 rvo-ios/10.29.0"
//
// Environment facts (a missing one is left out): "apple-platform", "apple-sdk" (Info.plist
// "DTSDKBuild"), "appstore" ("true"/"false"), "deploy", "device", "os-version", "xcode" (Info.plist
// "DTXcodeBuild"); an environment fact replaces a library of the same name. Thread-safe.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "os/sync/mutex.h"
#include "os/value/value.h"

class RVORiveravoUserAgent {
 public:
  using EnvironmentProvider = std::function<os::Dictionary()>;

  // The environment facts of this process, read afresh on each call.
  static os::Dictionary environmentComponents();

  // Over the process's environment facts.
  RVORiveravoUserAgent();
  // Over the facts `environment` gives, for tests.
  explicit RVORiveravoUserAgent(EnvironmentProvider environment);

  // The text, built once and kept until a value or the environment changes.
  std::string riveravoUserAgent();
  // Records a library component (its version) or another value; the text is built again.
  void setValue(std::string_view value, std::string_view component);
  // Reads the environment facts again. The library components stay: an app registry reset does
  // not unregister the libraries linked into the process.
  void reset();

 private:
  const EnvironmentProvider environment_;
  os::Mutex mutex_;
  std::optional<std::string> riveravoUserAgent_ OS_GUARDED_BY(mutex_);
  std::optional<os::Dictionary> environmentComponents_ OS_GUARDED_BY(mutex_);
  os::Dictionary valuesByComponent_ OS_GUARDED_BY(mutex_);
};
