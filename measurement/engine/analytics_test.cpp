#include "measurement/engine/analytics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/test_support.h"
#include "measurement/foundation/value.h"
#include "measurement/model/error_parameters.h"
#include "measurement/privacy/consent_settings.h"
#include "os/sync/mutex.h"

namespace measurement {
namespace {

inline void PrintTo(const Value& value, std::ostream* out) { *out << value.description(); }

struct LoggedEvent {
  std::string origin;
  std::string name;
  Parameters parameters;
};

// The facade refuses bad input on the caller's thread, so what it reports is complete when the
// call returns: the internal error events are recorded by a logger installed in place of the
// facade's own path, and the monitor lines by a capture.
class AnalyticsTest : public testing::Test {
 protected:
  AnalyticsTest() {
    setInternalEventLogger(
        [this](std::string_view origin, std::string_view name, Parameters parameters) {
          os::MutexLock lock(mutex_);
          events_.push_back({std::string(origin), std::string(name), std::move(parameters)});
        });
    APMAnalytics::clearConsent();
  }
  ~AnalyticsTest() override {
    setInternalEventLogger(nullptr);
    APMAnalytics::clearConsent();
  }

  std::vector<LoggedEvent> events() {
    os::MutexLock lock(mutex_);
    return events_;
  }
  // The codes of the consent lines, in order.
  std::vector<int64_t> consentCodes() const {
    std::vector<int64_t> found;
    for (const MonitorRecord& record : capture_.records()) {
      if (record.code >= 25040 && record.code < 25060) found.push_back(record.code);
    }
    return found;
  }

  PreferencesSandbox sandbox_;
  MonitorCapture capture_;
  os::Mutex mutex_;
  std::vector<LoggedEvent> events_ OS_GUARDED_BY(mutex_);
};

TEST_F(AnalyticsTest, ARefusedPublicEventNameIsLoggedAsAnErrorEventInstead) {
  const std::string tooLong(41, 'a');
  struct Case {
    std::string name;
    Parameters expected;
  };
  const std::vector<Case> cases = {
      // A reserved prefix.
      {"riveravo_x", {{"_err", Value(int64_t{13})}, {"_ev", Value(std::string("riveravo_x"))}}},
      // One character over the limit: the name is cut, and its length kept.
      {tooLong,
       {{"_err", Value(int64_t{2})},
        {"_ev", Value(std::string(40, 'a') + "...")},
        {"_el", Value(int64_t{41})}}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    {
      os::MutexLock lock(mutex_);
      events_.clear();
    }
    APMAnalytics::logEventWithName(test.name, {{"value", os::Value(int64_t{1})}});
    std::vector<LoggedEvent> logged = events();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].origin, "auto");
    EXPECT_EQ(logged[0].name, "_err");
    EXPECT_EQ(logged[0].parameters, test.expected);
  }
}

TEST_F(AnalyticsTest, RefusedConsentIsLoggedAndChangesNothing) {
  struct Case {
    const char* what;
    os::Dictionary consent;
    bool afterTCFConsent;
    std::vector<int64_t> codes;
  };
  const std::vector<Case> cases = {
      {"invalid value", {{kConsentTypeAdStorage, os::Value("maybe")}}, false, {25042, 25041}},
      {"non-text value", {{kConsentTypeAdStorage, os::Value(int64_t{1})}}, false, {25042, 25041}},
      {"empty", {}, false, {25041}},
      {"no consent type", {{"not_a_type", os::Value(kConsentStatusGranted)}}, false, {25041}},
      {"lower priority",
       {{kConsentTypeAdStorage, os::Value(kConsentStatusGranted)}},
       true,
       {25043}},
      {"invalid value and lower priority",
       {{kConsentTypeAdStorage, os::Value("maybe")},
        {kConsentTypeAnalyticsStorage, os::Value(kConsentStatusGranted)}},
       true,
       {25042, 25043}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    APMAnalytics::clearConsent();
    if (test.afterTCFConsent) {
      ASSERT_TRUE(ConsentSettings::updateSettingsIfPriorityAllows(
          {{kConsentTypeAdStorage, os::Value(kConsentStatusDenied)}}, kConsentSourceTCF));
    }
    const int64_t source = ConsentSettings::consentSource();
    const bool adStorageDenied = ConsentSettings::isAdStorageDenied();
    const size_t before = consentCodes().size();

    APMAnalytics::setConsent(test.consent);

    std::vector<int64_t> codes = consentCodes();
    EXPECT_EQ(std::vector<int64_t>(codes.begin() + static_cast<ptrdiff_t>(before), codes.end()),
              test.codes);
    EXPECT_EQ(ConsentSettings::consentSource(), source);
    EXPECT_EQ(ConsentSettings::isAdStorageDenied(), adStorageDenied);
    EXPECT_FALSE(ConsentSettings::isAnalyticsStorageDenied());
  }
}

// What was accepted survives a restart (the process's consent state forgotten, the suite kept),
// each source reloaded under its own key and never above the rank it had.
TEST_F(AnalyticsTest, AcceptedConsentIsReloadedAfterARestartAtItsRank) {
  struct Case {
    const char* key;
    int64_t reloadedSource;
  };
  const Case cases[] = {
      {kConsentSettingsKey, 30},
      {kConsentSettingsThirdPartyKey, 10},
      {kConsentSettingsTCFKey, kConsentSourceTCF},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.key);
    APMAnalytics::clearConsent();
    APMAnalytics::setConsent({{kConsentTypeAdStorage, os::Value(kConsentStatusDenied)},
                              {kConsentTypeAnalyticsStorage, os::Value(kConsentStatusGranted)}},
                             test.key);
    ASSERT_TRUE(ConsentSettings::isAdStorageDenied());

    ConsentSettings::clearAllSettings();  // the restart
    ASSERT_EQ(ConsentSettings::consentSource(), kConsentSourceNone);
    APMAnalytics::loadPersistedConsentSettings();

    EXPECT_EQ(ConsentSettings::consentSource(), test.reloadedSource);
    EXPECT_TRUE(ConsentSettings::isAdStorageDenied());
    EXPECT_FALSE(ConsentSettings::isAnalyticsStorageDenied());
  }
  // A later update of lower rank than the reloaded one is refused, and nothing is persisted.
  APMAnalytics::setConsent({{kConsentTypeAdStorage, os::Value(kConsentStatusGranted)}});
  EXPECT_TRUE(ConsentSettings::isAdStorageDenied());
  ConsentSettings::clearAllSettings();
  APMAnalytics::loadPersistedConsentSettings();
  EXPECT_TRUE(ConsentSettings::isAdStorageDenied());
}

}  // namespace
}  // namespace measurement
