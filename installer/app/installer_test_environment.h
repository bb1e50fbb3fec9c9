// For tests: a sandbox whose main bundle is a freshly made installer bundle, with the product
// number, the user's languages and localised strings that the test chooses, and the
// process-wide caches (main bundle, user defaults, product information, tracker) started afresh.
//
//   InstallerTestEnvironment environment({.installProduct = 7, .languages = {"it-IT"}});
//   environment.addStrings("it", {{"Button_Yes", "Sì"}});
//   EXPECT_EQ(TempHelper::getDefaultsLocalizableLanguages("Button_Yes"), "Button_Yes");
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "installer/app/kv_tracker.h"
#include "installer/app/software_info.h"
#include "os/bundle/bundle.h"
#include "os/bundle/defaults.h"
#include "os/value/plist.h"
#include "os/value/value.h"
#include "testsupport/sandbox.h"

struct InstallerTestOptions {
  // "InstallProduct" of the Info.plist; nothing when nullopt.
  std::optional<os::Value> installProduct = os::Value(7);
  // "AppleLanguages" in the standard user defaults; nothing when empty.
  std::vector<std::string> languages = {"en"};
};

class InstallerTestEnvironment {
 public:
  static constexpr const char* kBundleIdentifier = "com.tessaro.installer.test";
  static constexpr const char* kBundleName = "Installer";

  explicit InstallerTestEnvironment(InstallerTestOptions options = {}) {
    // The environment's locale must not stand in for missing languages.
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
      sandbox_.setEnv(name, std::nullopt);
    }
    os::Dictionary info = {{"CFBundleIdentifier", kBundleIdentifier},
                           {"CFBundleName", kBundleName},
                           {"CFBundleVersion", "42"},
                           {"CFBundleExecutable", "Installer"}};
    if (options.installProduct) info["InstallProduct"] = *options.installProduct;
    std::filesystem::create_directories(bundlePath() / "Contents/Resources");
    std::ofstream(bundlePath() / "Contents/Info.plist")
        << os::plist::serialize(os::Value(info), os::plist::Format::Xml).value();
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", bundlePath().string());
    resetCaches();
    if (!options.languages.empty()) setLanguages(options.languages);
    TSRSoftWareInfo::resetForTesting();
  }

  ~InstallerTestEnvironment() { resetCaches(); }

  InstallerTestEnvironment(const InstallerTestEnvironment&) = delete;
  InstallerTestEnvironment& operator=(const InstallerTestEnvironment&) = delete;

  testsupport::Sandbox& sandbox() { return sandbox_; }
  std::filesystem::path bundlePath() const { return sandbox_.root() / "Installer.app"; }

  void setLanguages(const std::vector<std::string>& languages) {
    os::UserDefaults::standard().setObject("AppleLanguages",
                                           os::Array(languages.begin(), languages.end()));
  }

  // Writes <language>.lproj/Localizable.strings with `strings`.
  void addStrings(const std::string& language, const std::map<std::string, std::string>& strings) {
    std::filesystem::path folder = bundlePath() / "Contents/Resources" / (language + ".lproj");
    std::filesystem::create_directories(folder);
    std::ofstream table(folder / "Localizable.strings");
    for (const auto& [key, value] : strings) table << '"' << key << "\" = \"" << value << "\";\n";
  }

 private:
  static void resetCaches() {
    os::Bundle::resetMainForTesting();
    os::UserDefaults::resetForTesting();
    KVTracker::resetForTesting();
  }

  testsupport::Sandbox sandbox_;
};
