// For the foundation's tests: a sandbox whose preferences start empty for this process.
//
//   TEST(Thing, StoresItsSwitch) {
//     PreferencesSandbox sandbox;
//     ...
//     EXPECT_EQ(PreferencesSandbox::onDisk("com.example.suite")["key"], os::Value(1));
//   }
#pragma once

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/settings.h"
#include "os/bundle/bundle.h"
#include "os/bundle/defaults.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/value/plist.h"
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
  // The process monitor's queued work (made on its first use inside the test) reads the
  // sandbox's folders: it finishes before the environment is restored.
  ~PreferencesSandbox() {
    monitor().drain();
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

// Installs engine settings with `values` ("measurement.upload.max_queue_time" -> "...") for
// the life of the object, as remoteSettings() answers them to the code under test.
class ScopedEngineSettings {
 public:
  explicit ScopedEngineSettings(std::initializer_list<std::pair<const char*, const char*>> values)
      : settings_(std::make_shared<Settings>()) {
    for (const auto& [key, value] : values) settings_->cacheValue(value, key);
    setEngineSettings(settings_);
  }
  ~ScopedEngineSettings() { setEngineSettings(nullptr); }

 private:
  std::shared_ptr<Settings> settings_;
};

}  // namespace measurement
