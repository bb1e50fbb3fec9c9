#include "platform/utilities/user_defaults.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "os/bundle/bundle.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/log/log.h"
#include "os/value/plist.h"
#include "platform/utilities/logger.h"
#include "testsupport/sandbox.h"

namespace {

constexpr const char* kSuite = "com.example.vdu-defaults-test";

class VDUUserDefaultsTest : public testing::Test {
 protected:
  VDUUserDefaultsTest() {
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
    os::Bundle::resetMainForTesting();
    os::UserDefaults::resetForTesting();
    VDULoggerResetForTesting();
  }
  ~VDUUserDefaultsTest() override {
    os::UserDefaults::resetForTesting();
    os::Bundle::resetMainForTesting();
  }
  // The suite's file as another process reads it.
  static os::Value onDisk(const std::string& domain) {
    auto bytes = os::files::readFile(os::paths::preferences() / (domain + ".plist"), nullptr);
    return bytes ? os::plist::parse(*bytes).value_or(os::Value()) : os::Value();
  }

  testsupport::Sandbox sandbox_;
  VDULoggerCapture capture_;
};

TEST_F(VDUUserDefaultsTest, WritesReachTheDiskBeforeTheCallReturns) {
  VDUUserDefaults defaults(kSuite);
  defaults.setObject("abc", "fid");
  defaults.setInteger(42, "count");
  defaults.setBool(true, "on");
  defaults.setDouble(0.5, "ratio");
  defaults.setObject(os::Array{"x", os::Date{1.5e9}}, "list");
  os::Value file = onDisk(kSuite);
  EXPECT_EQ(file["fid"], os::Value("abc"));
  EXPECT_EQ(file["count"], os::Value(42));
  EXPECT_EQ(file["on"], os::Value(true));
  EXPECT_EQ(defaults.stringForKey("fid"), "abc");
  EXPECT_EQ(defaults.integerForKey("count"), 42);
  EXPECT_TRUE(defaults.boolForKey("on"));
  EXPECT_EQ(defaults.doubleForKey("ratio"), 0.5);
  EXPECT_EQ(defaults.floatForKey("ratio"), 0.5f);
  EXPECT_EQ(defaults.arrayForKey("list")->size(), 2u);
  defaults.removeObjectForKey("fid");
  EXPECT_TRUE(onDisk(kSuite)["fid"].isNull());
  defaults.removeObjectForKey("never-there");  // still fine, and logs nothing
  EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(VDUUserDefaultsTest, SharesTheDomainCacheWithOtherUsersOfTheSuite) {
  VDUUserDefaults defaults(kSuite);
  os::UserDefaults::suite(kSuite)->setObject("fromOs", "os");
  EXPECT_EQ(defaults.stringForKey("fromOs"), "os");
  defaults.setObject("vdu", "fromVdu");
  EXPECT_EQ(os::UserDefaults::suite(kSuite)->stringForKey("fromVdu"), "vdu");
}

TEST_F(VDUUserDefaultsTest, AnEmptySuiteNameIsTheApplicationsOwnDomain) {
  EXPECT_EQ(VDUUserDefaults(std::string()).domainName(), VDUUserDefaults().domainName());
  EXPECT_EQ(VDUUserDefaults().domainName(), os::UserDefaults::standard().domainName());
  EXPECT_EQ(VDUUserDefaults(kSuite).domainName(), kSuite);
}

TEST_F(VDUUserDefaultsTest, InvalidKeysAndValuesAreRefusedAndLogged) {
  VDUUserDefaults defaults(kSuite);
  defaults.setObject("old", "key");
  EXPECT_TRUE(defaults.objectForKey("").isNull());
  EXPECT_TRUE(defaults.objectForKey(7).isNull());
  defaults.setObject("value", "");
  defaults.setObject(os::Array{"a", nullptr}, "key");  // no property-list form
  EXPECT_EQ(defaults.stringForKey("key"), "old");
  std::vector<VDULoggedLine> lines = capture_.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].text,
            " - <VedodoUtilities>[I-VDU000001] Cannot get object for invalid user default key.");
  EXPECT_EQ(lines[0].level, kVDULoggerLevelWarning);
  EXPECT_EQ(lines[1].text, lines[0].text);
  EXPECT_EQ(lines[2].text,
            " - [VedodoUtilities/UserDefaults][I-VDU000002] Cannot set object for invalid user "
            "default key.");
  EXPECT_NE(lines[3].text.find("[VedodoUtilities/UserDefaults][I-VDU000003] Cannot set invalid "
                               "object to user defaults. Must be a string, number, array, "
                               "dictionary, date, or data. Value: ("),
            std::string::npos)
      << lines[3].text;
}

TEST_F(VDUUserDefaultsTest, TypedGettersNeverHandBackAnotherType) {
  VDUUserDefaults defaults(kSuite);
  defaults.setObject(12, "number");
  defaults.setObject("34", "text");
  EXPECT_EQ(defaults.stringForKey("number"), std::nullopt);
  EXPECT_EQ(defaults.arrayForKey("number"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("text"), std::nullopt);
  EXPECT_EQ(defaults.integerForKey("text"), 34);  // the platform's numeric coercion
  EXPECT_EQ(defaults.integerForKey("missing"), 0);
  EXPECT_FALSE(defaults.boolForKey("missing"));
}

TEST_F(VDUUserDefaultsTest, AFailedSynchronizeIsLoggedAndTheValueStaysVisible) {
  // A file where the preferences folder should be: nothing can be written below it.
  std::filesystem::path preferences = os::paths::preferences();
  std::filesystem::create_directories(preferences.parent_path());
  { std::ofstream(preferences) << "not a folder"; }
  os::log::Capture quiet;  // the host layer's own complaint about the write
  VDUUserDefaults defaults(kSuite);
  defaults.setObject("kept", "key");
  EXPECT_EQ(defaults.stringForKey("key"), "kept");
  EXPECT_TRUE(
      capture_.contains("[VedodoUtilities/UserDefaults][I-VDU000004] Cannot synchronize "
                        "user defaults to disk"));
}

}  // namespace
