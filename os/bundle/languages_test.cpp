#include "os/bundle/languages.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "os/bundle/defaults.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/value/plist.h"
#include "testsupport/sandbox.h"

namespace os {
namespace {

using Strings = std::vector<std::string>;

// A sandbox with no language variables and fresh user defaults.
class PreferredLanguages : public ::testing::Test {
 protected:
  PreferredLanguages() {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
      sandbox_.setEnv(name, std::nullopt);
    }
    UserDefaults::resetForTesting();
  }
  ~PreferredLanguages() override { UserDefaults::resetForTesting(); }

  // Writes the system's language list where the platform keeps it: the global domain.
  void setSystemLanguages(const Value& languages) {
    const std::filesystem::path folder = paths::preferences();
    ASSERT_TRUE(files::createDirectory(folder, true, nullptr));
    const Value globals = Dictionary{{"AppleLanguages", languages}};
    ASSERT_TRUE(files::writeAtomically(folder / ".GlobalPreferences.plist",
                                       *plist::serialize(globals, plist::Format::Binary), nullptr));
  }

  testsupport::Sandbox sandbox_;
};

TEST_F(PreferredLanguages, ComeFromTheEnvironmentInOrder) {
  struct Case {
    std::optional<std::string> language, lcAll, lcMessages, lang;
    Strings expected;
  };
  const Case cases[] = {
      {"de_DE:fr::en_US.UTF-8",
       std::nullopt,
       std::nullopt,
       "ja_JP.UTF-8",
       {"de-DE", "fr", "en-US", "ja-JP"}},
      {std::nullopt, "C", "POSIX", "de_DE@euro", {"de-DE"}},
      {std::nullopt, "pt_BR.UTF-8", "es_ES", "pt_BR", {"pt-BR", "es-ES"}},
      {"en_US:en_US", std::nullopt, "en_US.UTF-8", "zh_CN.GB2312", {"en-US", "zh-CN"}},
      {std::nullopt, std::nullopt, std::nullopt, "C.UTF-8", {"en"}},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt, {"en"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language.value_or("-") + " " + c.lcAll.value_or("-") + " " +
                 c.lcMessages.value_or("-") + " " + c.lang.value_or("-"));
    sandbox_.setEnv("LANGUAGE", c.language);
    sandbox_.setEnv("LC_ALL", c.lcAll);
    sandbox_.setEnv("LC_MESSAGES", c.lcMessages);
    sandbox_.setEnv("LANG", c.lang);
    EXPECT_EQ(preferredLanguages(), c.expected);
  }
}

TEST_F(PreferredLanguages, SystemListInTheDefaultsWinsOverTheEnvironment) {
  sandbox_.setEnv("LANG", "de_DE.UTF-8");
  setSystemLanguages(Array{"ja-JP", 7, "en", "ja-JP"});
  EXPECT_EQ(preferredLanguages(), (Strings{"ja-JP", "en"}));

  // The application's own value hides the system's, as any default does.
  UserDefaults::standard().setObject("AppleLanguages", Array{"fr"});
  EXPECT_EQ(preferredLanguages(), (Strings{"fr"}));
}

TEST_F(PreferredLanguages, EmptySystemListFallsBackToTheEnvironment) {
  sandbox_.setEnv("LANG", "de_DE.UTF-8");
  setSystemLanguages(Array{});
  EXPECT_EQ(preferredLanguages(), (Strings{"de-DE"}));
}

TEST(PreferredLocalizations, ChooseTheBestAvailableForEachLanguage) {
  struct Case {
    Strings available, preferred, expected;
  };
  const Case cases[] = {
      // Exact identifiers, "_" for "-", case ignored.
      {{"en", "pt", "pt-BR"}, {"pt-BR", "en"}, {"pt-BR", "en"}},
      {{"en", "pt_BR"}, {"PT-br"}, {"pt_BR"}},
      // The language alone, and legacy names.
      {{"Base", "de", "en", "ja"}, {"ja-JP", "fr-FR", "en-US"}, {"ja", "en"}},
      {{"English", "German", "Japanese"}, {"de-CH", "en"}, {"German", "English"}},
      {{"English", "en"}, {"en-GB"}, {"en"}},
      {{"Dutch", "Italian", "Spanish", "French"},
       {"nl", "it", "es", "fr"},
       {"Dutch", "Italian", "Spanish", "French"}},
      // A region beats the bare language; another region is the last resort.
      {{"en", "en_GB"}, {"en-GB"}, {"en_GB"}},
      {{"pt-BR"}, {"pt-PT"}, {"pt-BR"}},
      {{"en-GB", "en-US"}, {"en"}, {"en-GB"}},
      {{"sr", "sr-Cyrl"}, {"sr-Latn"}, {"sr"}},
      // Chinese by script.
      {{"zh-Hans", "zh-Hant"}, {"zh-Hans-CN"}, {"zh-Hans"}},
      {{"zh-Hans", "zh_CN"}, {"zh-Hans-CN"}, {"zh_CN"}},
      {{"zh_CN", "zh_TW"}, {"zh-Hant-HK"}, {"zh_TW"}},
      {{"zh-Hans", "zh-Hant", "zh_HK"}, {"zh-HK"}, {"zh_HK"}},
      {{"zh-Hans", "zh-Hant"}, {"zh-TW", "zh"}, {"zh-Hant", "zh-Hans"}},
      {{"zh", "zh_CN", "zh-Hans"}, {"zh-TW"}, {}},
      {{"en", "zh"}, {"zh-Hans-CN", "zh-Hant-TW"}, {"zh"}},
      // Nothing matches; duplicates collapse.
      {{"en", "ja"}, {"ko", "ru"}, {}},
      {{"en", "ja"}, {"ja", "ja-JP", "en", "en-US"}, {"ja", "en"}},
      {{}, {"en"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.available) + " for " +
                 ::testing::PrintToString(c.preferred));
    EXPECT_EQ(preferredLocalizations(c.available, c.preferred), c.expected);
  }
}

}  // namespace
}  // namespace os
