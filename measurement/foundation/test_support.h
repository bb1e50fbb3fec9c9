// For the foundation's tests: a sandbox whose preferences start empty for this process.
//
//   TEST(Thing, StoresItsSwitch) {
//     PreferencesSandbox sandbox;
//     ...
//     EXPECT_EQ(PreferencesSandbox::onDisk("com.example.suite")["key"], os::Value(1));
//   }
#pragma once

#include <filesystem>
#include <string>

#include "os/bundle.h"
#include "os/defaults.h"
#include "os/files.h"
#include "os/paths.h"
#include "os/plist.h"
#include "testsupport/sandbox.h"

namespace measurement {

class PreferencesSandbox : public testsupport::Sandbox {
 public:
  // The application's domain is the executable's name: no main bundle is named.
  PreferencesSandbox() {
    setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
    os::Bundle::resetMainForTesting();
    os::UserDefaults::resetForTesting();
  }
  ~PreferencesSandbox() {
    os::UserDefaults::resetForTesting();
    os::Bundle::resetMainForTesting();
  }

  static std::filesystem::path preferencesFile(const std::string& domain) {
    return os::paths::preferences() / (domain + ".plist");
  }
  // A domain's preferences as another process reads them; null when there is no file.
  static os::Value onDisk(const std::string& domain) { return plistFile(preferencesFile(domain)); }
  // The property list in the file at `path`; null when it is missing or unreadable.
  static os::Value plistFile(const std::filesystem::path& path) {
    auto bytes = os::files::readFile(path, nullptr);
    return bytes ? os::plist::parse(*bytes).value_or(os::Value()) : os::Value();
  }
};

}  // namespace measurement
