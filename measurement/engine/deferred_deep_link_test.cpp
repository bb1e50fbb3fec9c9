#include "measurement/engine/deferred_deep_link.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/test_support.h"

namespace measurement {
namespace {

// The monitor stores what these log: in a sandbox, never in the real preferences.
class DeferredDeepLinkTest : public testing::Test {
 protected:
  PreferencesSandbox sandbox_;
};

DeferredDeepLinkQuery baseQuery() {
  DeferredDeepLinkQuery query;
  query.libraryVersion = 102800;
  query.advertisingID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
  query.bundleID = "com.example.app";
  query.retryCount = 2;
  return query;
}

TEST_F(DeferredDeepLinkTest, TheRequestCarriesEachValueAsOneQueryField) {
  const std::string prefix =
      "https://ads.tessaro.example/pagead/conversion/app/deeplink?sdk_version=102800&rdid="
      "6D92078A-8246-4BA4-AE5B-76104861E7DC&id_type=idfa&bundleid=com.example.app&retry=2";
  struct Case {
    const char* name;
    std::function<void(DeferredDeepLinkQuery&)> change;
    std::string suffix;
  };
  const std::vector<Case> cases{
      {"plain", [](DeferredDeepLinkQuery&) {}, ""},
      {"test request", [](DeferredDeepLinkQuery& q) { q.test = true; }, "&ddl_test=1"},
      {"consent outside the DMA region",
       [](DeferredDeepLinkQuery& q) {
         q.dmaConsentEnabled = true;
         q.consentSignals = "G111";
         q.adPersonalizationGranted = false;
       },
       "&gcs=G111&dma=0&npa=1"},
      {"services that would end the query are encoded",
       [](DeferredDeepLinkQuery& q) {
         q.dmaConsentEnabled = true;
         q.dmaRegion = true;
         q.corePlatformServices = {"b&x=1", "a#c"};
       },
       "&dma=1&dma_cps=a%23cb%26x%3D1"},
      {"ad user data denied",
       [](DeferredDeepLinkQuery& q) {
         q.dmaConsentEnabled = true;
         q.dmaRegion = true;
         q.adUserDataDenied = true;
         q.corePlatformServices = {"a"};
       },
       "&dma=1&dma_cps=-"},
  };
  for (const Case& c : cases) {
    DeferredDeepLinkQuery query = baseQuery();
    c.change(query);
    std::optional<os::URL> url = deferredDeepLinkURL("ads.tessaro.example", query);
    ASSERT_TRUE(url) << c.name;
    EXPECT_EQ(url->absoluteString(), prefix + c.suffix) << c.name;
  }

  // A bundle id with "&" and "#" stays one field and comes back whole.
  DeferredDeepLinkQuery hostile = baseQuery();
  hostile.bundleID = "com.example&retry=9#x";
  std::optional<os::URL> url = deferredDeepLinkURL("ads.tessaro.example", hostile);
  ASSERT_TRUE(url);
  ASSERT_TRUE(url->query());
  std::map<std::string, std::string> fields = apm_dictionaryWithHttpArgumentsString(*url->query());
  EXPECT_EQ(fields["bundleid"], "com.example&retry=9#x");
  EXPECT_EQ(fields["retry"], "2");
}

TEST_F(DeferredDeepLinkTest, AnAnswerCountsOnlyWithALink) {
  struct Case {
    const char* data;
    bool info;
  };
  const std::vector<Case> cases{{R"({"deeplink":"app://promo?x=1","timestamp":5})", true},
                                {R"({"deeplink":"not a link"})", false},
                                {R"({"deeplink":3})", false},
                                {"[1,2]", false},
                                {"{", false},
                                {"", false}};
  for (const Case& c : cases) {
    EXPECT_EQ(deepLinkInfoFromResponseData(c.data).has_value(), c.info) << c.data;
  }
}

}  // namespace
}  // namespace measurement
