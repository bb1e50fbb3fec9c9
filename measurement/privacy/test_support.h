// For the privacy tests: a sandbox with a main bundle of the test's own, whose Info.plist and
// service plist a test writes, and whose preferences start empty. The process's monitor
// is used (and so made) within it.
//
//   PrivacySandbox sandbox;
//   sandbox.writeInfoPlist({{"VEDODO_ANALYTICS_TCF_DATA_ENABLED", false}});
//   sandbox.writeServicePlist(os::Dictionary{{"VEDODO_APP_ID", "1:1:ios:1"}});
#pragma once

#include <filesystem>
#include <string>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/test_support.h"
#include "os/bundle/bundle.h"
#include "os/bundle/defaults.h"
#include "os/files/files.h"
#include "os/value/plist.h"

namespace measurement {

inline constexpr const char* kTestBundleIdentifier = "com.tessaro.privacy.test";

class PrivacySandbox : public PreferencesSandbox {
 public:
  PrivacySandbox() : bundle_(root() / "Test.app") {
    writeInfoPlist({});
    setEnv("TESSARO_MAIN_BUNDLE", bundle_.string());
    os::Bundle::resetMainForTesting();
    os::UserDefaults::resetForTesting();
  }

  const std::filesystem::path& bundle() const { return bundle_; }

  // Replaces the Info.plist with the bundle's identifier and `extra` over it; the main bundle
  // is read afresh afterwards.
  void writeInfoPlist(const os::Dictionary& extra) {
    os::Dictionary info{{"CFBundleIdentifier", kTestBundleIdentifier}};
    for (const auto& [key, value] : extra) info.insert_or_assign(key, value);
    writePlist(bundle_ / "Contents/Info.plist", info);
    os::Bundle::resetMainForTesting();
  }
  // Writes the service plist "ZiroreVevuraz-Eziz.plist" into the resources; null removes it.
  void writeServicePlist(const os::Value& contents) {
    std::filesystem::path path = bundle_ / "Contents/Resources/ZiroreVevuraz-Eziz.plist";
    if (contents.isNull()) {
      std::filesystem::remove(path);
    } else {
      writePlist(path, contents);
    }
    os::Bundle::resetMainForTesting();
  }

  static void writePlist(const std::filesystem::path& path, const os::Value& contents) {
    std::filesystem::create_directories(path.parent_path());
    std::optional<std::string> bytes = os::plist::serialize(contents, os::plist::Format::Xml);
    os::files::writeAtomically(path, bytes.value_or("not a property list"), nullptr);
  }

 private:
  std::filesystem::path bundle_;
};

}  // namespace measurement
