// The built bundle as the installer sees it: its info dictionary, a complete strings table per
// language and pictures that decode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/zuzaze.h"
#include "os/bundle/bundle.h"
#include "os/bundle/strings_table.h"
#include "os/text/format.h"
#include "os/ui/image.h"
#include "os/value/plist.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kBundleDir = INSTALLER_BUNDLE_DIR;

// Every text the installer's screens show for Brevalo, with the number of names or folders
// each one gets through os::formatObjects.
const std::map<std::string, int> kScreenKeys = {
    {"Product_BV_Name", 0},
    {"Product_Prompt", 0},
    {"Install_Btn_Name", 0},
    {"License_Agreement_Accept", 0},
    {"License_Agreement_Yes", 0},
    {"Install_App_Prompt_Msg", 1},
    {"Install_App_Prompt_Msg1", 1},
    {"Install_App_Prompt_Msg2", 2},
    {"Button_Cancel", 0},
    {"Button_Replace", 0},
    {"Button_Yes", 0},
    {"Installing_BV_Prompt", 0},
    {"Install_Download_Prepare", 0},
    {"Install_Download_Pro", 0},
    {"Install_Failed_Name", 0},
    {"Install_TryAgain_Btn_Name", 0},
    {"Download_Error_msg", 1},
    {"Download_Error_msg_tip", 0},
    {"Contact_Us_Url", 0},
    {"Install_App_Error_Msg", 1},
    {"internet_Exception", 0},
    {"Install_App_Prompt_Msg3", 1},
};

size_t occurrences(std::string_view text, std::string_view needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

class InstallerBundleTest : public ::testing::Test {
 protected:
  testsupport::Sandbox sandbox_;  // language preferences come from here, never from the user
  os::Bundle bundle_{kBundleDir};
};

TEST_F(InstallerBundleTest, InfoDictionaryNamesTheProductAndTheExecutable) {
  EXPECT_EQ(bundle_.objectForInfoDictionaryKey("InstallProduct"), os::Value(7));
  EXPECT_EQ(bundle_.bundleIdentifier(), "com.tessaro.installer.brevalo");
  EXPECT_EQ(bundle_.name(), "Brevalo Installer");
  EXPECT_EQ(bundle_.executablePath(), kBundleDir + "/Contents/MacOS/Brevalo Installer");
  EXPECT_EQ(bundle_.developmentLocalization(), "en");
  EXPECT_THAT(bundle_.localizations(), ElementsAre("ar", "de", "en", "es", "fr", "ja"));
}

TEST_F(InstallerBundleTest, EveryLanguageHasEveryScreenText) {
  for (const std::string& language : bundle_.localizations()) {
    SCOPED_TRACE(language);
    // Parsed strictly: the bundle would log a malformed table and show the keys instead.
    os::Error error;
    std::optional<os::strings::Table> table =
        os::strings::parse(testsupport::readFile(kBundleDir + "/Contents/Resources/" + language +
                                                 ".lproj/Localizable.strings"),
                           &error);
    ASSERT_TRUE(table) << error.description;
    for (const auto& [key, placeholders] : kScreenKeys) {
      SCOPED_TRACE(key);
      std::string text = bundle_.localizedStringForLanguage(key, language);
      ASSERT_NE(text, key) << "missing";
      EXPECT_EQ(text, table->at(key));
      EXPECT_EQ(occurrences(text, "%@"), size_t(placeholders));
      // Only %@ is ever substituted: any other % sequence would show as it stands.
      EXPECT_EQ(occurrences(text, "%"), size_t(placeholders)) << text;
    }
    // The error page's link is a part of its message.
    std::string message =
        os::formatObjects(table->at("Download_Error_msg"), {table->at("Product_BV_Name")});
    EXPECT_THAT(message, HasSubstr(table->at("Download_Error_msg_tip")));
    EXPECT_THAT(message, HasSubstr("Brevalo"));
    EXPECT_THAT(table->at("Contact_Us_Url"), ::testing::StartsWith("https://"));
  }
}

TEST_F(InstallerBundleTest, PicturesDecodeAtTheirSizes) {
  struct Case {
    const char* name;
    int size;
  } cases[] = {
      {"bv_install", 120}, {"bv_failed", 120}, {"install_note", 40}, {"other_alert_bv", 48}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string> path = bundle_.pathForResource(c.name, "png");
    ASSERT_TRUE(path);
    os::Error error;
    std::shared_ptr<os::ui::Image> image = os::ui::Image::fromFile(*path, &error);
    ASSERT_TRUE(image) << error.description;
    EXPECT_EQ(image->pixelWidth(), c.size);
    EXPECT_EQ(image->pixelHeight(), c.size);
    // Drawn, not empty: the middle is covered and the corner left clear.
    EXPECT_EQ(image->pixelAt(c.size / 2, c.size / 2 - c.size / 8).alpha, 255);
    EXPECT_EQ(image->pixelAt(0, 0).alpha, 0);
  }
}

TEST_F(InstallerBundleTest, AgreementAndFontsAreResources) {
  std::optional<std::string> eula = bundle_.pathForResource("EULA", "txt");
  ASSERT_TRUE(eula);
  EXPECT_THAT(testsupport::readFile(*eula), HasSubstr("Brevalo"));
  std::optional<std::string> fonts = bundle_.pathForResource("fonts", "conf");
  ASSERT_TRUE(fonts);
  EXPECT_EQ(testsupport::readFile(*fonts),
            testsupport::readFile(std::filesystem::path(PROJECT_SOURCE_DIR) /
                                  "resources/fonts/fonts.conf"));
}

TEST_F(InstallerBundleTest, AnalyticsOptionsIdentifyThisInstaller) {
  std::optional<std::string> path = bundle_.pathForResource("ZiroreVevuraz-Eziz", "plist");
  ASSERT_TRUE(path);
  std::optional<os::Value> options = os::plist::parse(testsupport::readFile(*path));
  ASSERT_TRUE(options && options->isDictionary());
  const std::string appID = (*options)["VEDODO_APP_ID"].stringValue().value_or("");
  EXPECT_TRUE(ZUZAze::validateAppID(appID)) << appID;
  const std::string apiKey = (*options)["API_KEY"].stringValue().value_or("");
  EXPECT_EQ(apiKey.size(), 39u);
  EXPECT_EQ(apiKey.front(), 'A');
  EXPECT_EQ((*options)["BUNDLE_ID"], os::Value(bundle_.bundleIdentifier()));
  EXPECT_TRUE((*options)["PROJECT_ID"].isString());
}

}  // namespace
