#include "installer/app/software_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "installer/app/installer_test_environment.h"
#include "os/log/log.h"
#include "os/net/url.h"
#include "support/string_extensions.h"

namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

TEST(SoftwareInfoTest, ProductNumberComesFromTheBundle) {
  struct Case {
    std::string label;
    std::optional<os::Value> configured;
    int32_t number;
    int32_t row;
  };
  const std::vector<Case> cases = {
      {"no key", std::nullopt, 1, 1},
      {"Brevalo", os::Value(7), 7, 7},
      {"a numeric string", os::Value("12"), 12, 12},
      {"unknown number", os::Value(99), 99, 0},
      {"zero", os::Value(0), 0, 0},
      // A value of the wrong kind reads as no number rather than failing.
      {"a dictionary", os::Value(os::Dictionary{{"n", 7}}), 0, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.label);
    InstallerTestEnvironment environment({.installProduct = test.configured});
    TSRSoftWareInfo& info = TSRSoftWareInfo::singleton();
    EXPECT_EQ(info.installProduct(), test.number);
    EXPECT_EQ(info.product().number, test.row);
  }
}

TEST(SoftwareInfoTest, FreshInformationHasTheBuiltInValues) {
  InstallerTestEnvironment environment;
  TSRSoftWareInfo& info = TSRSoftWareInfo::singleton();
  info.setTrackEnum(1);
  info.setIsProVersion(true);
  info.setArchiveSize(ArchiveSize::BV, 5);
  TSRSoftWareInfo::resetForTesting();  // creation starts over from scratch

  EXPECT_EQ(info.versionTrack(), "Official-fr");
  EXPECT_EQ(info.linkTrack(), "Official-fr");
  EXPECT_EQ(info.trackEnum(), 3);
  EXPECT_EQ(info.trackTestVersionID(), "2.0.0.4");
  EXPECT_FALSE(info.isProVersion());
  EXPECT_FALSE(info.chinaServer());
  EXPECT_FALSE(info.isBDMS());
  EXPECT_FALSE(info.isNoYouToBePhoto());
  const std::vector<std::pair<ArchiveSize, std::pair<std::string, int64_t>>> sizes = {
      {ArchiveSize::KVI, {"kviLenght", 101274231}}, {ArchiveSize::KVA, {"kvaLenght", 60850316}},
      {ArchiveSize::KVC, {"kvcLenght", 9249215}},   {ArchiveSize::HLI, {"hliLenght", 38484014}},
      {ArchiveSize::HLA, {"hlaLenght", 20982600}},  {ArchiveSize::SN, {"snLenght", 8107854}},
      {ArchiveSize::BV, {"bvLenght", 13519338}},    {ArchiveSize::XD, {"xdLenght", 170564688}},
      {ArchiveSize::TVI, {"tviLenght", 27285120}},  {ArchiveSize::RM, {"rmLenght", 40892377}},
      {ArchiveSize::WB, {"wbLenght", 114379497}},   {ArchiveSize::LX, {"lxLenght", 111493624}},
      {ArchiveSize::QM, {"qmLenght", 54779000}},    {ArchiveSize::TV, {"tvLenght", 146065227}},
  };
  for (const auto& [which, expected] : sizes) {
    EXPECT_EQ(TSRSoftWareInfo::archiveSizeKey(which), expected.first);
    EXPECT_EQ(info.archiveSize(which), expected.second) << expected.first;
  }
}

TEST(SoftwareInfoTest, ChannelNames) {
  InstallerTestEnvironment environment;
  TSRSoftWareInfo& info = TSRSoftWareInfo::singleton();
  const std::vector<std::pair<int32_t, std::string>> channels = {
      {1, "Official-jp"},   {2, "Official-de"},   {3, "Official-fr"},  {4, "Official-es"},
      {5, "Official-ar"},   {6, "Official-pt"},   {7, "Official-it"},  {8, "Official-tw"},
      {9, "Official-kr"},   {10, "Official-nl"},  {11, "Official-tr"}, {0, "Official-com"},
      {12, "Official-com"}, {-1, "Official-com"},
  };
  for (const auto& [number, name] : channels) {
    info.setTrackEnum(number);
    EXPECT_EQ(info.trackEnum(), number);
    EXPECT_EQ(info.versionTrack(), name) << number;
    EXPECT_EQ(info.linkTrack(), name) << number;
  }
}

TEST(SoftwareInfoTest, BrevaloRow) {
  InstallerTestEnvironment environment;
  TSRSoftWareInfo& info = TSRSoftWareInfo::singleton();
  const TSRProduct& brevalo = info.product();
  EXPECT_EQ(brevalo.productName, "Brevalo");
  EXPECT_EQ(brevalo.nameKey, "Product_BV_Name");
  EXPECT_EQ(brevalo.bundleName, "Brevalo.app");
  EXPECT_EQ(brevalo.engineBundleName, "Brevalo.app");
  EXPECT_EQ(brevalo.configurationAddress(),
            "https://resources.tessaro.example/product/config/bv-config.xml");
  EXPECT_EQ(ExtendTool::stringFromBase64String(brevalo.defaultAddress),
            "https://download.tessaro.example/product/bv/Brevalo.zip");
  EXPECT_EQ(ExtendTool::stringFromBase64String(brevalo.chinaMirrorAddress),
            "https://download-cn.tessaro.example/product/bv/Brevalo.zip");
  EXPECT_TRUE(brevalo.japaneseMirrorAddress.empty());
  EXPECT_TRUE(brevalo.germanMirrorAddress.empty());
  EXPECT_EQ(brevalo.trackingFileName(), "BV-Track.plist");

  // The engine's size follows the update list's changes to the product's own size.
  EXPECT_EQ(info.engineArchiveSize(), 13519338);
  info.setArchiveSize(ArchiveSize::BV, 2024);
  EXPECT_EQ(info.engineArchiveSize(), 2024);
}

TEST(SoftwareInfoTest, UnknownNumbersTakeTheOtherColumn) {
  InstallerTestEnvironment environment({.installProduct = os::Value(99)});
  TSRSoftWareInfo& info = TSRSoftWareInfo::singleton();
  const TSRProduct& other = info.product();
  EXPECT_EQ(other.nameKey, "Product_KV_iOS_Name");
  EXPECT_EQ(other.bundleName, "");
  EXPECT_EQ(other.engineBundleName, "");
  EXPECT_EQ(other.configurationAddress(), std::nullopt);
  EXPECT_EQ(other.defaultAddress, productForNumber(1).defaultAddress);
  EXPECT_EQ(other.analyticsTrackingID(false), "");
  EXPECT_EQ(other.trackingFileName(), "-Track.plist");
  EXPECT_EQ(info.engineArchiveSize(), kDefaultEngineArchiveSize);
  info.setArchiveSize(ArchiveSize::KVI, 1);  // the literal is not the KVI property
  EXPECT_EQ(info.engineArchiveSize(), kDefaultEngineArchiveSize);
}

TEST(SoftwareInfoTest, RowsThatDifferFromTheirNeighbours) {
  // Product 6 is opened after installing but never replaced by the engine.
  EXPECT_EQ(productForNumber(6).bundleName, "Strellin.app");
  EXPECT_EQ(productForNumber(6).engineBundleName, "");
  EXPECT_EQ(productForNumber(6).trackingFileName(), "-Track.plist");
  // Product 12 ships at Xandrel's size and has a second identifier for its pro edition.
  EXPECT_EQ(productForNumber(12).engineArchiveSize, ArchiveSize::XD);
  EXPECT_NE(productForNumber(12).analyticsTrackingID(true),
            productForNumber(12).analyticsTrackingID(false));
  EXPECT_EQ(productForNumber(7).analyticsTrackingID(true),
            productForNumber(7).analyticsTrackingID(false));
  // Product 10 has addresses but no configuration.
  EXPECT_EQ(productForNumber(10).configurationAddress(), std::nullopt);
  EXPECT_FALSE(productForNumber(10).germanMirrorAddress.empty());
}

TEST(SoftwareInfoTest, EveryBuiltInAddressIsAnArchiveOnOurHosts) {
  for (int32_t number = 0; number <= 16; ++number) {
    const TSRProduct& product = productForNumber(number);
    SCOPED_TRACE(number);
    int32_t row = number >= 1 && number <= 15 ? number : 0;
    EXPECT_EQ(product.number, row);
    EXPECT_FALSE(product.defaultAddress.empty());
    for (std::string_view encoded : {product.defaultAddress, product.japaneseMirrorAddress,
                                     product.germanMirrorAddress, product.chinaMirrorAddress}) {
      if (encoded.empty()) continue;
      std::optional<std::string> text = ExtendTool::stringFromBase64String(encoded);
      ASSERT_TRUE(text);
      std::optional<os::URL> url = os::URL::parse(*text);
      ASSERT_TRUE(url) << *text;
      EXPECT_EQ(url->scheme(), "https");
      EXPECT_THAT(url->host(), MatchesRegex("download(-jp|-de|-cn)?\\.tessaro\\.example"));
      EXPECT_THAT(url->lastPathComponent(), MatchesRegex(".+\\.zip"));
    }
    if (row == 0) {
      EXPECT_EQ(product.analyticsTrackingID(true), "");
    } else {
      EXPECT_THAT(std::string(product.analyticsTrackingID(false)),
                  MatchesRegex("UA-[0-9]+-[0-9]+"));
    }
    // Every product with a bundle for the engine has a size of its own, and only those.
    EXPECT_EQ(product.engineArchiveSize.has_value(), !product.engineBundleName.empty());
  }
}

TEST(SoftwareInfoTest, DefaultLanguage) {
  InstallerTestEnvironment environment({.languages = {"de-CH", "en"}});
  TSRSoftWareInfo& info = TSRSoftWareInfo::singleton();
  os::log::Capture capture;
  EXPECT_EQ(info.defaultLanguage(), "de-CH");
  EXPECT_TRUE(capture.contains("language array des: (\n    \"de-CH\",\n    en\n)"));

  environment.setLanguages({});
  EXPECT_EQ(info.defaultLanguage(), "en");
}

}  // namespace
