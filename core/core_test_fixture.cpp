#include "core/core_test_fixture.h"

#include <fstream>

#include "core/zuzaze.h"
#include "os/bundle/bundle.h"
#include "os/bundle/defaults.h"
#include "os/value/plist.h"

namespace core_testing {

namespace fs = std::filesystem;

namespace {

void writePlist(const fs::path& path, const os::Value& contents) {
  std::ofstream(path, std::ios::binary) << *os::plist::serialize(contents, os::plist::Format::Xml);
}

void resetProcess() {
  ZUZAze::resetForTesting();
  os::Bundle::resetMainForTesting();
  os::UserDefaults::resetForTesting();
}

}  // namespace

CoreTest::CoreTest() : bundlePath_(sandbox_.root() / "Test.app") {
  fs::create_directories(bundlePath_ / "Contents/Resources");
  sandbox_.setEnv("TESSARO_MAIN_BUNDLE", bundlePath_.string());
  writeInfoPlist();
  writeOptionsFile(defaultOptionsDictionary());
  resetProcess();
}

CoreTest::~CoreTest() { resetProcess(); }

os::Dictionary CoreTest::defaultOptionsDictionary() {
  return {{"VEDODO_APP_ID", kAppID},
          {"API_KEY", kAPIKey},
          {"PROJECT_ID", "tessaro-core-test"},
          {"VCM_SENDER_ID", "1234567890"},
          {"BUNDLE_ID", kBundleID}};
}

void CoreTest::writeOptionsFile(const os::Value& contents) {
  fs::path path = bundlePath_ / "Contents/Resources/ZiroreVevuraz-Eziz.plist";
  if (contents.isNull()) {
    fs::remove(path);
  } else {
    writePlist(path, contents);
  }
  ZUZAze::resetForTesting();
}

void CoreTest::writeInfoPlist(const os::Dictionary& extra) {
  os::Dictionary info{{"CFBundleIdentifier", kBundleID}, {"CFBundleName", "Test"}};
  for (const auto& [key, value] : extra) info[key] = value;
  writePlist(bundlePath_ / "Contents/Info.plist", info);
  os::Bundle::resetMainForTesting();
}

fs::path CoreTest::heartbeatFile() const {
  return sandbox_.home() / ".local/share/vedodo-heartbeat-storage" /
         "heartbeats-1_1234567890_ios_0123456789abcdef";
}

}  // namespace core_testing
