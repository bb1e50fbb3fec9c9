#include "installer/app/temp_helper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "installer/app/installer_test_environment.h"
#include "os/crypto/crypto.h"
#include "os/process/process.h"
#include "support/data_extensions.h"

namespace {

namespace fs = std::filesystem;

TEST(TempHelperTest, FoldersLieUnderApplicationSupportAndAreCreated) {
  InstallerTestEnvironment environment;
  fs::path home = environment.sandbox().home();
  fs::path support = home / ".local/share" / InstallerTestEnvironment::kBundleIdentifier /
                     InstallerTestEnvironment::kBundleName;
  EXPECT_EQ(TempHelper::getAppTempPath(), (support / "tmp").string());
  EXPECT_EQ(TempHelper::getAppCachePath(), (support / "Cache").string());
  EXPECT_EQ(TempHelper::getAppSupportPath(), support.string());
  EXPECT_TRUE(fs::is_directory(support / "tmp"));
  EXPECT_TRUE(fs::is_directory(support / "Cache"));

  // The user's Applications folder is named, never created here.
  EXPECT_EQ(TempHelper::getApplicationPath(), (home / "Applications").string());
  EXPECT_FALSE(fs::exists(home / "Applications"));
}

TEST(TempHelperTest, StringIsNilOrEmptyOnlyForNoText) {
  EXPECT_TRUE(TempHelper::stringIsNilOrEmpty(std::nullopt));
  EXPECT_TRUE(TempHelper::stringIsNilOrEmpty(""));
  EXPECT_FALSE(TempHelper::stringIsNilOrEmpty(" "));
  EXPECT_FALSE(TempHelper::stringIsNilOrEmpty(std::string_view("\0", 1)));
}

TEST(TempHelperTest, LanguageFolderPerProduct) {
  struct Case {
    std::string language;
    int32_t product;
    std::string folder;
  };
  const std::vector<Case> cases = {
      {"it-IT", 7, "en"},      {"it-IT", 1, "it"},
      {"de-DE", 14, "en"},     {"ja-JP", 15, "ja"},
      {"en-GB", 14, "en"},     {"de-CH", 7, "de"},
      {"fr-CA", 7, "fr"},      {"es", 99, "es"},
      {"ar", 7, "ar"},         {"ja", 2, "ja"},
      {"pt-BR", 13, "pt"},     {"pt-BR", 7, "en"},
      {"pt-PT", 9, "pt"},      {"zh-Hant-TW", 8, "zh-Hant"},
      {"zh-Hant-TW", 9, "en"}, {"zh-TW", 1, "en"},
      {"zh-Hans-CN", 1, "en"}, {"ko-KR", 1, "ko"},
      {"ko-KR", 3, "en"},      {"nl", 13, "nl"},
      {"tr-TR", 8, "tr"},      {"tr-TR", 2, "en"},
      {"ru-RU", 1, "en"},      {"", 7, "en"},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(TempHelper::localizationLanguage(test.language, test.product), test.folder)
        << test.language << " for product " << test.product;
  }
}

TEST(TempHelperTest, TextsComeFromTheChosenFolderWhenTheBundleHasIt) {
  struct Case {
    int32_t product;
    std::string language;
    std::string key;
    std::string text;
  };
  const std::vector<Case> cases = {
      {7, "it-IT", "Button_Yes", "Yes"},  // Brevalo offers no Italian
      {1, "it-IT", "Button_Yes", "Sì"},
      {13, "pt-BR", "Button_Yes", "Yes"},  // offered, but the bundle has no "pt" folder
      {7, "de-DE", "Button_Yes", "Ja"},
      {14, "de-DE", "Button_Yes", "Yes"},
      {7, "de-DE", "Only_In_English", "Only_In_English"},  // no fallback to "en" for a key
      {7, "en-US", "Missing_Key", "Missing_Key"},
      {7, "en-US", "Only_In_English", "English only"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.language + " for product " + std::to_string(test.product));
    InstallerTestEnvironment environment(
        {.installProduct = os::Value(test.product), .languages = {test.language}});
    environment.addStrings("en", {{"Button_Yes", "Yes"}, {"Only_In_English", "English only"}});
    environment.addStrings("it", {{"Button_Yes", "Sì"}});
    environment.addStrings("de", {{"Button_Yes", "Ja"}});
    EXPECT_EQ(TempHelper::getDefaultsLocalizableLanguages(test.key), test.text);
  }
}

TEST(TempHelperTest, LanguageReportedToTheTracker) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"zh-Hans-CN", "zh-Hans-CN"}, {"ru-RU", "en"}, {"ko-KR", "ko-KR"}, {"de-CH", "de-CH"}};
  for (const auto& [language, reported] : cases) {
    InstallerTestEnvironment environment({.languages = {language, "fr"}});
    EXPECT_EQ(TempHelper::currentSelectionLanguage(), reported) << language;
  }
  InstallerTestEnvironment noLanguages({.languages = {}});
  EXPECT_EQ(TempHelper::currentSelectionLanguage(), "en");
}

TEST(TempHelperTest, FileDigests) {
  testsupport::Sandbox sandbox;
  fs::path empty = sandbox.root() / "empty";
  std::ofstream(empty).close();
  fs::path abc = sandbox.root() / "abc";
  std::ofstream(abc) << "abc";
  // Larger than one read, and not a multiple of it.
  fs::path large = sandbox.root() / "large";
  std::string bytes((3 << 20) + 12345, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 % 256);
  std::ofstream(large, std::ios::binary) << bytes;

  EXPECT_EQ(TempHelper::md5ForFile(empty.string()), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(TempHelper::md5ForFile((sandbox.root() / "missing").string()),
            "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(TempHelper::md5ForFile(abc.string()), "900150983cd24fb0d6963f7d28e17f72");
  std::string expected = ExtendTool::dataToHex(os::crypto::md5(bytes));
  std::transform(expected.begin(), expected.end(), expected.begin(), ::tolower);
  EXPECT_EQ(TempHelper::md5ForFile(large.string()), expected);
}

TEST(TempHelperTest, SystemLastNumberIsTheMinorVersion) {
  // The version text reads "Version <major>.<minor>.<patch> (...)".
  EXPECT_EQ(TempHelper::getSystemLastNumberString(),
            std::to_string(os::process::operatingSystemVersion().minorVersion));
}

TEST(TempHelperTest, VersionMajorEqualComparesRunsOfDigitsByValue) {
  struct Case {
    const char* version;
    const char* equalVersion;
    bool expected;
  };
  const Case cases[] = {
      {"1.9", "1.10", true},   {"1.10", "1.9", false}, {"2.0.0.4", "2.0.0.4", true},
      {"10.15", "11.0", true}, {"", "1.0", false},     {"1.0", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.version) + " / " + c.equalVersion);
    EXPECT_EQ(TempHelper::isVersionMajorEqual(c.version, c.equalVersion), c.expected);
  }
}

}  // namespace
