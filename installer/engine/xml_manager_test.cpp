#include "installer/engine/xml_manager.h"

#include <gtest/gtest.h>

#include "installer/engine/engine_test_support.h"
#include "os/value/plist.h"

namespace {

namespace fs = std::filesystem;
using engine_test::EngineTestEnvironment;
using engine_test::writeFile;

TEST(XMLManagerTest, LanguageKeysFollowTheConfigurationsNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"en-GB", "en"}, {"ja-JP", "jp"}, {"fr-CA", "fr"}, {"de-CH", "de"}, {"es", "es"},
      {"ar-EG", "ar"}, {"it-IT", "it"}, {"pt-BR", "br"}, {"pt-PT", "br"}, {"nl", "nl"},
      {"tr", "tr"},    {"tw", "tw"},    {"kr", "kr"},    {"ko-KR", "en"}, {"zh-Hant", "en"},
      {"ru-RU", "en"}, {"", "en"}};
  for (const auto& [language, key] : cases) {
    EXPECT_EQ(XMLManager::configurationLanguageKey(language), key) << language;
  }
}

TEST(XMLManagerTest, ReadsTheAddressForTheUsersLanguageAndIgnoresWhatIsNotThere) {
  const std::string mac = "http://download.tessaro.example/mac.zip";
  const os::Value entry(os::Dictionary{{"mac", mac}});
  const std::string kept = "http://download.tessaro.example/kept.zip";
  struct Case {
    const char* name;
    const char* language;
    std::optional<std::string> body;  // the file; a property list of `configuration` when unset
    os::Value configuration;
    std::optional<std::string> before;
    std::optional<std::string> after;
  };
  const Case cases[] = {
      {"english entry", "en-US", {}, os::Dictionary{{"en", entry}}, {}, mac},
      {"portuguese reads br",
       "pt-BR",
       {},
       os::Dictionary{{"br", entry}, {"en", os::Dictionary{}}},
       {},
       mac},
      {"japanese without jp", "ja-JP", {}, os::Dictionary{{"en", entry}}, {}, std::nullopt},
      {"german without mac",
       "de-DE",
       {},
       os::Dictionary{{"de", os::Dictionary{{"win", "x.exe"}}}},
       kept,
       kept},
      {"entry not a dictionary", "en", {}, os::Dictionary{{"en", "http://x/y.zip"}}, kept, kept},
      {"mac not a string",
       "en",
       {},
       os::Dictionary{{"en", os::Dictionary{{"mac", 7}}}},
       kept,
       kept},
      {"root not a dictionary", "en", {}, os::Array{entry}, kept, kept},
      {"not a property list", "en", "<html><body>502</body></html>", {}, kept, kept},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    InstallerTestEnvironment environment({.languages = {test.language}});
    XMLManager::resetForTesting();
    XMLManager& manager = XMLManager::sharedManager();
    if (test.before) {
      // A fetch whose file names `before` for the language.
      fs::path earlier = environment.sandbox().root() / "earlier.xml";
      writeFile(earlier, *os::plist::serialize(
                             os::Dictionary{{XMLManager::configurationLanguageKey(test.language),
                                             os::Dictionary{{"mac", *test.before}}}},
                             os::plist::Format::Xml));
      manager.readConfigurationFile(earlier.string());
    }
    fs::path file = environment.sandbox().root() / "bv-config.xml";
    writeFile(file, test.body ? *test.body
                              : *os::plist::serialize(test.configuration, os::plist::Format::Xml));
    manager.readConfigurationFile(file.string());
    EXPECT_EQ(manager.zipDownloadPath(), test.after);
  }
  XMLManager::resetForTesting();
}

// Fetches the configuration of the product; returns how often the callback ran and
// whether it ran on the main thread each time.
struct Fetch {
  int callbacks = 0;
  bool onMainThread = true;
};

Fetch fetchConfiguration() {
  Fetch fetch;
  std::optional<std::string> address =
      TSRSoftWareInfo::singleton().product().configurationAddress();
  EXPECT_TRUE(address);
  // As the progress screen does: started from a global-queue thread.
  os::DispatchQueue::global()->async([address, &fetch] {
    XMLManager::sharedManager().downloadByXMLPath(*address, [&fetch] {
      fetch.onMainThread = fetch.onMainThread && os::isMainThread();
      ++fetch.callbacks;
    });
  });
  EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return fetch.callbacks > 0; }, 30));
  // A second callback would come right after the first.
  os::RunLoop::main().runUntil([] { return false; }, 0.2);
  return fetch;
}

TEST(XMLManagerTest, FetchesTheConfigurationOverHttpsWithoutAnEncodingHeader) {
  EngineTestEnvironment environment;
  XMLManager::resetForTesting();
  // An earlier download of the file is replaced.
  writeFile(fs::path(TempHelper::getAppCachePath()) / "bv-config.xml", "stale");

  Fetch fetch = fetchConfiguration();
  EXPECT_EQ(fetch.callbacks, 1);
  EXPECT_TRUE(fetch.onMainThread);
  EXPECT_EQ(XMLManager::sharedManager().zipDownloadPath(),
            std::string("https://") + TSRHosts::kDownloadHost +
                tools::ResourceServer::kLatestArchivePath);

  std::vector<testsupport::RecordedRequest> requests =
      environment.server().resourceServer().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, tools::ResourceServer::kConfigurationPath);
  EXPECT_EQ(requests[0].header("Accept-Encoding"), "");
  EXPECT_EQ(requests[0].header("Host"), TSRHosts::kResourceHost);
  XMLManager::resetForTesting();
}

TEST(XMLManagerTest, AFailedFetchLeavesAnEmptyAddressAndStillCallsBack) {
  EngineTestEnvironment environment;
  XMLManager::resetForTesting();
  environment.server().setFaults(tools::Resource::Configuration, {.status = 500});
  Fetch fetch = fetchConfiguration();
  EXPECT_EQ(fetch.callbacks, 1);
  EXPECT_TRUE(fetch.onMainThread);
  EXPECT_EQ(XMLManager::sharedManager().zipDownloadPath(), "");

  // A certificate nobody vouches for fails the same way.
  environment.server().setFaults(tools::Resource::Configuration, {});
  environment.sandbox().setEnv("TESSARO_CA_FILE", std::nullopt);
  fetch = fetchConfiguration();
  EXPECT_EQ(fetch.callbacks, 1);
  EXPECT_EQ(XMLManager::sharedManager().zipDownloadPath(), "");
  EXPECT_EQ(environment.server().resourceServer().requests().size(), 1u);
  XMLManager::resetForTesting();
}

TEST(XMLManagerTest, AnEndlessConfigurationIsDroppedAtItsLimitAsAnUnreadableOne) {
  EngineTestEnvironment environment;
  const std::string kept = "https://download.tessaro.example/kept.zip";
  for (bool chunked : {true, false}) {
    SCOPED_TRACE(chunked ? "chunked" : "close-delimited");
    XMLManager::resetForTesting();
    fs::path earlier = environment.sandbox().root() / "earlier.xml";
    writeFile(earlier, *os::plist::serialize(os::Dictionary{{"en", os::Dictionary{{"mac", kept}}}},
                                             os::plist::Format::Xml));
    XMLManager::sharedManager().readConfigurationFile(earlier.string());
    environment.server().setFaults(tools::Resource::Configuration,
                                   {.chunked = chunked, .endless = true});

    Fetch fetch = fetchConfiguration();
    EXPECT_EQ(fetch.callbacks, 1);
    EXPECT_TRUE(fetch.onMainThread);
    EXPECT_EQ(XMLManager::sharedManager().zipDownloadPath(), kept);
    EXPECT_TRUE(engine_test::describeTree(TempHelper::getAppCachePath()).empty());
  }
  XMLManager::resetForTesting();
}

}  // namespace
