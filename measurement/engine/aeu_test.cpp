#include "measurement/engine/aeu.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "os/bundle/bundle.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

// Writes an X.app bundle under `root` with the items a test asks for.
fs::path writeBundle(const fs::path& root, const std::string& name, bool withSCInfo,
                     bool withProvisioningProfile) {
  fs::path bundle = root / name;
  fs::create_directories(bundle / "Contents" / "Resources");
  std::ofstream(bundle / "Contents" / "Info.plist")
      << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
         R"(<key>CFBundleIdentifier</key><string>com.example.app</string></dict></plist>)";
  if (withSCInfo) fs::create_directories(bundle / "SC_Info");
  if (withProvisioningProfile) {
    std::ofstream(bundle / "Contents" / "Resources" / "embedded.mobileprovision") << "profile";
  }
  return bundle;
}

TEST(APMAEUTest, FromTheStoreFollowsTheBundleTheReceiptAndTheEncryption) {
  struct Case {
    const char* what;
    bool scInfo;
    bool provisioningProfile;
    bool encrypted;
    bool sandboxReceipt;
    bool expected;
  };
  const Case cases[] = {
      {"development build", false, false, false, false, false},
      {"development build with a profile", false, true, false, false, false},
      {"store folder", true, false, false, false, true},
      {"store folder in the store's sandbox", true, false, true, true, false},
      {"encrypted, no profile", false, false, true, false, true},
      {"encrypted with a profile", false, true, true, false, false},
      {"encrypted, in the store's sandbox", false, false, true, true, false},
  };
  testsupport::Sandbox sandbox;
  int index = 0;
  for (const Case& c : cases) {
    fs::path path = writeBundle(sandbox.root(), "App" + std::to_string(index++) + ".app", c.scInfo,
                                c.provisioningProfile);
    os::Bundle bundle(path.string());
    EXPECT_EQ(APMAEU::isFASForBundle(bundle, c.encrypted, c.sandboxReceipt), c.expected) << c.what;
  }
}

TEST(APMAEUTest, TheMainBundleIsFromTheStoreOnlyWithSCInfo) {
  testsupport::Sandbox sandbox;
  for (bool scInfo : {false, true}) {
    fs::path path = writeBundle(sandbox.root(), scInfo ? "Store.app" : "Plain.app", scInfo,
                                /*withProvisioningProfile=*/false);
    sandbox.setEnv("TESSARO_MAIN_BUNDLE", path.string());
    os::Bundle::resetMainForTesting();
    EXPECT_EQ(APMAEU::isFAS(), scInfo) << path;
    EXPECT_FALSE(APMAEU::isASRS());
    EXPECT_FALSE(APMAEU::isNOD());
  }
  os::Bundle::resetMainForTesting();
}

TEST(APMAEUTest, AnAppExtensionIsABundleEndingInAppex) {
  testsupport::Sandbox sandbox;
  EXPECT_TRUE(APMAEU::isAEXForBundle(os::Bundle((sandbox.root() / "Share.appex").string())));
  EXPECT_TRUE(APMAEU::isAEXForBundle(os::Bundle((sandbox.root() / "Share.appex/").string())));
  EXPECT_FALSE(APMAEU::isAEXForBundle(os::Bundle((sandbox.root() / "App.app").string())));
  EXPECT_FALSE(APMAEU::isAEXForBundle(os::Bundle((sandbox.root() / "appex").string())));
}

}  // namespace
