#include "core/bundle_util.h"

#include <gtest/gtest.h>

#include "core/core_test_fixture.h"

namespace {

class BundleUtilTest : public core_testing::CoreTest {};

TEST_F(BundleUtilTest, FindsTheOptionsFileInTheMainBundle) {
  std::vector<os::Bundle> bundles = RVOBundleUtil::relevantBundles();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[0].bundlePath(), bundlePath_.string());
  EXPECT_EQ(
      RVOBundleUtil::optionsDictionaryPathWithResourceName("ZiroreVevuraz-Eziz", "plist", bundles),
      (bundlePath_ / "Contents/Resources/ZiroreVevuraz-Eziz.plist").string());
  EXPECT_EQ(RVOBundleUtil::optionsDictionaryPathWithResourceName("absent", "plist", bundles),
            std::nullopt);
}

TEST_F(BundleUtilTest, URLSchemesOfEveryRelevantBundleInOrder) {
  writeInfoPlist({{"CFBundleURLTypes",
                   os::Array{os::Dictionary{{"CFBundleURLSchemes", os::Array{"tessaro", "tsr"}}},
                             os::Dictionary{{"CFBundleURLName", "no schemes"}},
                             os::Dictionary{{"CFBundleURLSchemes", os::Array{"brevalo"}}}}}});
  // The main bundle is also the bundle of the core's code: its schemes come twice.
  EXPECT_EQ(RVOBundleUtil::relevantURLSchemes(),
            (std::vector<std::string>{"tessaro", "tsr", "brevalo", "tessaro", "tsr", "brevalo"}));
}

TEST_F(BundleUtilTest, BundleIdentifiers) {
  std::vector<os::Bundle> bundles = RVOBundleUtil::relevantBundles();
  EXPECT_TRUE(RVOBundleUtil::hasBundleIdentifierPrefix(core_testing::kBundleID, bundles));
  // Outside an application extension the identifier must match whole.
  EXPECT_FALSE(RVOBundleUtil::hasBundleIdentifierPrefix("com.tessaro.core", bundles));
  EXPECT_EQ(RVOBundleUtil::bundleIdentifierByRemovingLastPartFrom("com.tessaro.core.test"),
            "com.tessaro.core");
  EXPECT_EQ(RVOBundleUtil::bundleIdentifierByRemovingLastPartFrom("single"), "");
}

}  // namespace
