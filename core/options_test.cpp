#include "core/options.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/core_test_fixture.h"
#include "core/zuzaze.h"
#include "os/value/exception.h"
#include "platform/utilities/logger.h"

namespace {

using core_testing::CoreTest;

class OptionsTest : public CoreTest {};

TEST_F(OptionsTest, DefaultOptionsComeFromTheBundlesFileOnce) {
  std::shared_ptr<RVOOptions> options = RVOOptions::defaultOptions();
  ASSERT_TRUE(options);
  EXPECT_EQ(options->vedodoAppID(), core_testing::kAppID);
  EXPECT_EQ(options->APIKey(), core_testing::kAPIKey);
  EXPECT_EQ(options->bundleID(), core_testing::kBundleID);
  EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
  EXPECT_FALSE(options->editingLocked());
  EXPECT_EQ(RVOOptions::defaultOptions(), options);
  // Read once: a changed file is seen only after a reset.
  writeOptionsFile(os::Dictionary{{"VEDODO_APP_ID", "1:2:ios:3"}});
  EXPECT_EQ(RVOOptions::defaultOptions()->vedodoAppID(), "1:2:ios:3");
}

TEST_F(OptionsTest, AMissingOrMalformedFileGivesNoOptions) {
  struct Case {
    const char* name;
    os::Value contents;
    const char* logged;
  } cases[] = {
      {"missing", nullptr,
       "[I-COR000012] Could not locate configuration file: "
       "'ZiroreVevuraz-Eziz.plist'."},
      {"array", os::Array{"a"},
       "[I-COR000011] The configuration file is not a dictionary: "
       "'ZiroreVevuraz-Eziz.plist'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeOptionsFile(c.contents);
    VDULoggerCapture capture;
    EXPECT_EQ(RVOOptions::defaultOptions(), nullptr);
    EXPECT_EQ(RVOOptions::defaultOptionsDictionary(), std::nullopt);
    EXPECT_TRUE(capture.contains(c.logged));
  }
  // Not a property list at all.
  std::ofstream(bundlePath_ / "Contents/Resources/ZiroreVevuraz-Eziz.plist") << "<plist><dict>";
  RVOOptions::resetDefaultOptions();
  EXPECT_EQ(RVOOptions::defaultOptions(), nullptr);
}

TEST_F(OptionsTest, OptionsFromAFile) {
  VDULoggerCapture capture;
  EXPECT_EQ(RVOOptions::initWithContentsOfFile(std::nullopt), nullptr);
  EXPECT_TRUE(capture.contains("[I-COR000013] The plist file path is nil."));
  std::string missing = (sandbox_.root() / "none.plist").string();
  EXPECT_EQ(RVOOptions::initWithContentsOfFile(missing), nullptr);
  EXPECT_TRUE(capture.contains("[I-COR000014] The configuration file at " + missing +
                               " does not exist or is not a well-formed plist file."));
  auto options = RVOOptions::initWithContentsOfFile(
      (bundlePath_ / "Contents/Resources/ZiroreVevuraz-Eziz.plist").string());
  ASSERT_TRUE(options);
  EXPECT_EQ(options->projectID(), "tessaro-core-test");
  EXPECT_FALSE(options->usingOptionsFromDefaultPlist());

  auto made = RVOOptions::initWithVedodoAppID("1:9:ios:f", "99");
  EXPECT_EQ(made->optionsDictionary(), (os::Dictionary{{"VEDODO_APP_ID", "1:9:ios:f"},
                                                       {"VCM_SENDER_ID", "99"},
                                                       {"BUNDLE_ID", core_testing::kBundleID}}));
}

TEST_F(OptionsTest, InfoPlistOverridesTheAnalyticsSwitches) {
  writeInfoPlist({{kRVOIsAnalyticsCollectionEnabled, false}});
  auto options = RVOOptions::initInternalWithOptionsDictionary(
      {{kRVOIsAnalyticsCollectionEnabled, true}, {kRVOIsMeasurementEnabled, true}});
  EXPECT_EQ(options->analyticsOptionsDictionary(),
            (os::Dictionary{{kRVOIsAnalyticsCollectionEnabled, false},
                            {kRVOIsMeasurementEnabled, true}}));
  EXPECT_FALSE(options->isAnalyticsCollectionEnabled());
  EXPECT_TRUE(options->isMeasurementEnabled());
  EXPECT_TRUE(options->isAnalyticsCollectionExplicitlySet());
}

TEST_F(OptionsTest, AnalyticsSwitches) {
  struct Case {
    const char* name;
    os::Dictionary switches;
    bool deactivated, measurement, collection, explicitlySet;
  } cases[] = {
      {"none", {}, false, false, false, false},
      {"measurement only", {{kRVOIsMeasurementEnabled, true}}, false, true, true, true},
      {"measurement off", {{kRVOIsMeasurementEnabled, false}}, false, false, false, true},
      {"collection only", {{kRVOIsAnalyticsCollectionEnabled, true}}, false, false, true, true},
      {"deactivated",
       {{kRVOIsAnalyticsCollectionDeactivated, true}, {kRVOIsAnalyticsCollectionEnabled, true}},
       true,
       false,
       false,
       true},
      {"collection as text",
       {{kRVOIsAnalyticsCollectionEnabled, "YES"}},
       false,
       false,
       true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto options = RVOOptions::initInternalWithOptionsDictionary(c.switches);
    EXPECT_EQ(options->isAnalyticsCollectionDeactivated(), c.deactivated);
    EXPECT_EQ(options->isMeasurementEnabled(), c.measurement);
    EXPECT_EQ(options->isAnalyticsCollectionEnabled(), c.collection);
    EXPECT_EQ(options->isAnalyticsCollectionExplicitlySet(), c.explicitlySet);
  }
}

TEST_F(OptionsTest, WithoutSwitchesMeasurementFollowsTheDefaultAppsDataCollection) {
  auto options = RVOOptions::initInternalWithOptionsDictionary({});
  EXPECT_FALSE(options->isMeasurementEnabled());  // no default app yet
  ZUZAze::configure();
  EXPECT_TRUE(options->isMeasurementEnabled());
  ZUZAze::defaultApp()->setDataCollectionDefaultEnabled(false);
  EXPECT_FALSE(options->isMeasurementEnabled());
}

TEST_F(OptionsTest, CopiesOfLockedOptionsAreLockedAndEqual) {
  auto options = RVOOptions::defaultOptions();
  options->setAppGroupID("group.tessaro");
  options->setDeepLinkURLScheme("tessaro");
  options->setEditingLocked(true);
  std::shared_ptr<RVOOptions> copy = options->copy();
  EXPECT_TRUE(copy->editingLocked());
  EXPECT_TRUE(copy->usingOptionsFromDefaultPlist());
  EXPECT_EQ(*copy, *options);
  try {
    copy->setAPIKey("other");
    FAIL() << "editing locked options did not raise";
  } catch (const os::Exception& exception) {
    EXPECT_EQ(exception.name(), "com.riveravo.core");
    EXPECT_EQ(exception.reason(),
              "Attempted to modify options after it's set on ZUZAze. Please modify all properties "
              "before initializing ZUZAze.");
  }
  EXPECT_THROW(copy->setAppGroupID(std::nullopt), os::Exception);
  EXPECT_THROW(copy->setDeepLinkURLScheme("x"), os::Exception);
  EXPECT_EQ(copy->APIKey(), core_testing::kAPIKey);
}

TEST_F(OptionsTest, Equality) {
  auto base = [] { return RVOOptions::initInternalWithOptionsDictionary({{"API_KEY", "a"}}); };
  auto same = base();
  EXPECT_EQ(*base(), *same);

  auto emptyGroup = base();
  emptyGroup->setAppGroupID("");
  EXPECT_FALSE(*base() == *emptyGroup);  // absent and "" differ

  auto otherScheme = base();
  otherScheme->setDeepLinkURLScheme("x");
  EXPECT_FALSE(*base() == *otherScheme);

  auto otherKey = base();
  otherKey->setAPIKey("b");
  EXPECT_FALSE(*base() == *otherKey);

  auto otherSwitch = RVOOptions::initInternalWithOptionsDictionary(
      {{"API_KEY", "a"}, {kRVOIsMeasurementEnabled, true}});
  EXPECT_FALSE(*base() == *otherSwitch);

  // The lock and the origin are not compared.
  auto locked = base();
  locked->setEditingLocked(true);
  EXPECT_EQ(*base(), *locked);
}

TEST_F(OptionsTest, SettersStoreAndRemoveKeys) {
  auto options = RVOOptions::initInternalWithOptionsDictionary({});
  options->setStorageBucket("bucket");
  options->setTrackingID("UA-1");
  EXPECT_EQ(options->storageBucket(), "bucket");
  options->setStorageBucket(std::nullopt);
  EXPECT_EQ(options->optionsDictionary(), (os::Dictionary{{"TRACKING_ID", "UA-1"}}));
  // A value of another type under a key reads as absent.
  EXPECT_EQ(RVOOptions::initInternalWithOptionsDictionary({{"API_KEY", 7}})->APIKey(),
            std::nullopt);
}

TEST_F(OptionsTest, LibraryVersionIDHasTwoDigitsPerPart) {
  EXPECT_EQ(RVOOptions::initInternalWithOptionsDictionary({})->libraryVersionID(), "102900000");
}

}  // namespace
