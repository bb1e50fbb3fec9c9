#include "os/bundle/bundle.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "os/bundle/defaults.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/log/log.h"
#include "os/value/plist.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace os {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testsupport::writeFile;

// The UTF-16 little-endian bytes of `text` after a byte-order mark.
std::string utf16WithByteOrderMark(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

std::string textOf(const std::optional<std::string>& path) {
  return path ? testsupport::readFile(*path) : "<none>";
}

// An installer bundle in a sandbox with en (development), ja and de texts, a Base table and
// resources, which the main bundle points at. No language variable or default is set.
class BundleTest : public ::testing::Test {
 protected:
  BundleTest() {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
      sandbox_.setEnv(name, std::nullopt);
    }
    writeBundle(app_, plist::Format::Xml);
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", app_.string());
    Bundle::resetMainForTesting();
    UserDefaults::resetForTesting();
  }
  ~BundleTest() override {
    Bundle::resetMainForTesting();
    UserDefaults::resetForTesting();
  }

  static void writeBundle(const fs::path& app, plist::Format infoFormat) {
    const Value info = Dictionary{{"CFBundleIdentifier", "com.example.installer"},
                                  {"CFBundleName", "Installer"},
                                  {"CFBundleExecutable", "installer"},
                                  {"CFBundleDevelopmentRegion", "en"},
                                  {"ProductNumber", 7}};
    writeFile(app / "Contents/Info.plist", *plist::serialize(info, infoFormat));
    const fs::path resources = app / "Contents/Resources";
    writeFile(resources / "en.lproj/Localizable.strings",
              "/* English */\n\"TITLE\" = \"Install\";\n\"ONLY_EN\" = \"English only\";\n");
    writeFile(resources / "ja.lproj/Localizable.strings",
              utf16WithByteOrderMark(u"\"TITLE\" = \"\u30A4\u30F3\u30B9\u30C8\u30FC\u30EB\";"));
    writeFile(resources / "ja.lproj/Errors.strings", "\"DISK_FULL\" = \"\\U30C7\\U30A3\";");
    writeFile(resources / "de.lproj/Localizable.strings", "TITLE = Installieren;");
    writeFile(resources / "Base.lproj/Localizable.strings",
              "\"ONLY_BASE\" = \"Base text\"; \"TITLE\" = \"Base title\";");
    writeFile(resources / "logo.png", "logo");
    writeFile(resources / "en.lproj/Welcome.rtf", "welcome en");
    writeFile(resources / "ja.lproj/Welcome.rtf", "welcome ja");
    writeFile(resources / "images/arrow.png", "arrow");
    writeFile(resources / "notes.lproj", "a file, not a localisation");
  }

  // Puts the system's language list into the global user defaults.
  static void setSystemLanguages(const Array& languages) {
    ASSERT_TRUE(files::createDirectory(paths::preferences(), true, nullptr));
    ASSERT_TRUE(files::writeAtomically(
        paths::preferences() / ".GlobalPreferences.plist",
        *plist::serialize(Dictionary{{"AppleLanguages", languages}}, plist::Format::Binary),
        nullptr));
  }

  testsupport::Sandbox sandbox_;
  const fs::path app_ = sandbox_.root() / "Installer.app";
};

TEST_F(BundleTest, MainBundleDescribesTheAppFolder) {
  const Bundle bundle = Bundle::main();
  EXPECT_EQ(bundle.bundlePath(), app_.string());
  EXPECT_EQ(bundle.bundleIdentifier(), "com.example.installer");
  EXPECT_EQ(bundle.name(), "Installer");
  EXPECT_EQ(bundle.executablePath(), (app_ / "Contents/MacOS/installer").string());
  EXPECT_EQ(bundle.resourcePath(), (app_ / "Contents/Resources").string());
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("ProductNumber"), Value(7));
  EXPECT_TRUE(bundle.objectForInfoDictionaryKey("Missing").isNull());
  EXPECT_EQ(bundle.infoDictionary().count(), 5u);
  EXPECT_EQ(bundle.developmentLocalization(), "en");
  EXPECT_EQ(bundle.localizations(), (Strings{"Base", "de", "en", "ja"}));
}

TEST_F(BundleTest, ReadsBinaryInfoAndToleratesMissingOrBrokenInfo) {
  const fs::path binary = sandbox_.root() / "Binary.app/";
  writeBundle(binary, plist::Format::Binary);
  EXPECT_EQ(Bundle(binary.string()).bundleIdentifier(), "com.example.installer");

  // Without usable info the defaults apply: the folder's name, "en", no identifier.
  const fs::path broken = sandbox_.root() / "Broken Tool.app";
  writeFile(broken / "Contents/Info.plist", "<?xml version=\"1.0\"?><plist><dict><key>");
  log::Capture capture;
  const Bundle brokenBundle(broken.string() + "/");
  EXPECT_EQ(brokenBundle.bundlePath(), broken.string());
  EXPECT_TRUE(capture.contains("Info.plist"));
  EXPECT_EQ(brokenBundle.infoDictionary(), Value(Dictionary{}));
  EXPECT_EQ(brokenBundle.name(), "Broken Tool");
  EXPECT_EQ(brokenBundle.bundleIdentifier(), "");
  EXPECT_EQ(brokenBundle.executablePath(), "");
  EXPECT_EQ(brokenBundle.developmentLocalization(), "en");

  const Bundle missing((sandbox_.root() / "Missing.app").string());
  EXPECT_TRUE(missing.localizations().empty());
  EXPECT_EQ(missing.localizedString("KEY"), "KEY");
  EXPECT_FALSE(missing.pathForResource("logo", "png"));
}

TEST_F(BundleTest, LanguageComesFromTheSystemListInTheDefaults) {
  sandbox_.setEnv("LANG", "de_DE.UTF-8");
  setSystemLanguages({"ja-JP", "en-US"});
  const Bundle bundle = Bundle::main();
  EXPECT_EQ(bundle.preferredLocalizations(), (Strings{"ja", "en"}));
  EXPECT_EQ(bundle.localizedString("TITLE"),
            "\xE3\x82\xA4\xE3\x83\xB3\xE3\x82\xB9\xE3\x83\x88\xE3\x83\xBC\xE3\x83\xAB");
  EXPECT_EQ(bundle.localizedString("ONLY_EN"), "English only");
  EXPECT_EQ(bundle.localizedString("ONLY_BASE"), "Base text");
  EXPECT_EQ(bundle.localizedString("DISK_FULL", "", "Errors"), "\xE3\x83\x87\xE3\x82\xA3");
  EXPECT_EQ(bundle.localizedString("DISK_FULL"), "DISK_FULL");
  EXPECT_EQ(bundle.localizedString("MISSING"), "MISSING");
  EXPECT_EQ(bundle.localizedString("MISSING", "Fallback"), "Fallback");
  EXPECT_EQ(textOf(bundle.pathForResource("Welcome", "rtf")), "welcome ja");
}

TEST_F(BundleTest, LanguageComesFromTheEnvironmentWithoutTheDefault) {
  sandbox_.setEnv("LANG", "de_DE.UTF-8");
  const Bundle bundle = Bundle::main();
  EXPECT_EQ(bundle.preferredLocalizations(), (Strings{"de", "en"}));
  EXPECT_EQ(bundle.localizedString("TITLE"), "Installieren");
  EXPECT_EQ(bundle.localizedString("ONLY_EN"), "English only");
  EXPECT_EQ(textOf(bundle.pathForResource("Welcome", "rtf")), "welcome en");
}

TEST_F(BundleTest, UnavailableLanguagesFallBackToTheDevelopmentRegion) {
  struct Case {
    const char* developmentRegion;
    Strings expectedLocalizations;
    const char* expectedTitle;
  };
  sandbox_.setEnv("LANG", "fr_FR.UTF-8");
  for (const Case& c : {Case{"en", {"en"}, "Install"}, Case{"German", {"de"}, "Installieren"},
                        Case{"it", {"it"}, "Base title"}}) {
    SCOPED_TRACE(c.developmentRegion);
    const fs::path app = sandbox_.root() / (std::string(c.developmentRegion) + ".app");
    writeBundle(app, plist::Format::Xml);
    writeFile(app / "Contents/Info.plist",
              *plist::serialize(Dictionary{{"CFBundleDevelopmentRegion", c.developmentRegion}},
                                plist::Format::Xml));
    const Bundle bundle(app.string());
    EXPECT_EQ(bundle.preferredLocalizations(), c.expectedLocalizations);
    EXPECT_EQ(bundle.localizedString("TITLE"), c.expectedTitle);
  }
}

TEST_F(BundleTest, FindsResourcesInResourcesThenInTheLanguageFolders) {
  setSystemLanguages({"ja"});
  const Bundle bundle = Bundle::main();
  const fs::path resources = app_ / "Contents/Resources";
  struct Case {
    const char* name;
    const char* type;
    const char* subdirectory;
    std::optional<fs::path> expected;
  };
  const Case cases[] = {
      {"logo", "png", "", resources / "logo.png"},
      {"logo.png", "", "", resources / "logo.png"},
      {"logo", ".png", "", resources / "logo.png"},
      {"arrow", "png", "images", resources / "images/arrow.png"},
      {"Welcome", "rtf", "", resources / "ja.lproj/Welcome.rtf"},
      {"Localizable", "strings", "", resources / "ja.lproj/Localizable.strings"},
      {"ja", "lproj", "", resources / "ja.lproj"},
      {"arrow", "png", "", std::nullopt},
      {"logo", "jpg", "", std::nullopt},
      {"", "png", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.type + " " + c.subdirectory);
    std::optional<std::string> path = bundle.pathForResource(c.name, c.type, c.subdirectory);
    EXPECT_EQ(path, c.expected ? std::optional(c.expected->string()) : std::nullopt);
  }
}

TEST_F(BundleTest, LooksUpAnExplicitLanguageFolder) {
  setSystemLanguages({"ja"});
  const Bundle bundle = Bundle::main();
  EXPECT_EQ(bundle.localizedStringForLanguage("TITLE", "de"), "Installieren");
  EXPECT_EQ(bundle.localizedStringForLanguage("TITLE", "en"), "Install");
  EXPECT_EQ(bundle.localizedStringForLanguage("ONLY_EN", "de"), "ONLY_EN");
  EXPECT_EQ(bundle.localizedStringForLanguage("TITLE", "it"), "TITLE");
  EXPECT_EQ(bundle.localizedStringForLanguage("TITLE", ""), "TITLE");
  EXPECT_EQ(bundle.localizedStringForLanguage("DISK_FULL", "ja", "Errors"),
            "\xE3\x83\x87\xE3\x82\xA3");
}

TEST_F(BundleTest, MalformedTableIsLoggedOnceAndShowsKeys) {
  sandbox_.setEnv("LANG", "de_DE");
  writeFile(app_ / "Contents/Resources/de.lproj/Localizable.strings", "\"TITLE\" = \"open");
  log::Capture capture;
  const Bundle bundle = Bundle::main();
  EXPECT_EQ(bundle.localizedString("TITLE"), "Install");
  EXPECT_EQ(bundle.localizedString("TITLE"), "Install");
  EXPECT_EQ(bundle.localizedStringForLanguage("TITLE", "de"), "TITLE");
  int reports = 0;
  for (const log::Line& line : capture.lines()) {
    if (line.message.find("de.lproj/Localizable.strings") == std::string::npos) continue;
    ++reports;
    EXPECT_NE(line.message.find("Unterminated quoted string starting on line 1"),
              std::string::npos);
  }
  EXPECT_EQ(reports, 1);
}

TEST_F(BundleTest, ManyThreadsShareTheTableCache) {
  setSystemLanguages({"de"});
  const Bundle bundle = Bundle::main();
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        if (bundle.localizedString("TITLE") != "Installieren") ++wrong[t];
        if (bundle.localizedString("ONLY_BASE") != "Base text") ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST_F(BundleTest, ResetFindsTheMainBundleAgain) {
  const Bundle first = Bundle::main();
  const fs::path other = sandbox_.root() / "Other.app";
  writeFile(other / "Contents/Info.plist",
            *plist::serialize(Dictionary{{"CFBundleIdentifier", "com.example.other"}},
                              plist::Format::Xml));
  sandbox_.setEnv("TESSARO_MAIN_BUNDLE", other.string());
  EXPECT_EQ(Bundle::main().bundleIdentifier(), "com.example.installer");
  Bundle::resetMainForTesting();
  EXPECT_EQ(Bundle::main().bundleIdentifier(), "com.example.other");
  EXPECT_EQ(first.bundleIdentifier(), "com.example.installer");
}

// Outside any X.app the main bundle is the executable's folder, with nothing in its info.
TEST_F(BundleTest, ExecutableOutsideABundleGivesItsFolder) {
  sandbox_.setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
  Bundle::resetMainForTesting();
  const fs::path executable = fs::read_symlink("/proc/self/exe");
  const Bundle bundle = Bundle::main();
  EXPECT_EQ(bundle.bundlePath(), executable.parent_path().string());
  EXPECT_EQ(bundle.resourcePath(), executable.parent_path().string());
  EXPECT_EQ(bundle.executablePath(), executable.string());
  EXPECT_EQ(bundle.bundleIdentifier(), "");
  EXPECT_EQ(bundle.infoDictionary(), Value(Dictionary{}));
}

// Run by ExecutableInsideABundleGivesTheBundle in a copy of this program placed in an X.app;
// reports the main bundle it finds through its exit status.
TEST(BundleChild, DISABLED_ReportsTheMainBundle) {
  const char* expected = getenv("BUNDLE_TEST_EXPECTED_PATH");
  ASSERT_NE(expected, nullptr);
  EXPECT_EQ(Bundle::main().bundlePath(), expected);
  EXPECT_EQ(Bundle::main().bundleIdentifier(), "com.example.installer");
}

TEST_F(BundleTest, ExecutableInsideABundleGivesTheBundle) {
  const fs::path copy = app_ / "Contents/MacOS/installer";
  fs::create_directories(copy.parent_path());
  fs::copy_file(fs::read_symlink("/proc/self/exe"), copy);
  sandbox_.setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
  sandbox_.setEnv("BUNDLE_TEST_EXPECTED_PATH", app_.string());
  const std::string command = "'" + copy.string() +
                              "' --gtest_also_run_disabled_tests "
                              "--gtest_filter=BundleChild.DISABLED_ReportsTheMainBundle >/dev/null";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace os
