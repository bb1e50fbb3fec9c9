#include "measurement/foundation/measurement_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

namespace measurement {
namespace {

TEST(MeasurementError, UserInfoHoldsOnlyNonEmptyEntries) {
  struct Case {
    std::string description, context;
    bool hasDescription, hasContext;
  };
  for (const Case& c : {Case{"Database not open", "db", true, true}, Case{"", "db", false, true},
                        Case{"Failed", "", true, false}, Case{"", "", false, false}}) {
    const os::Error error = measurementError(kDatabaseFailure, c.description, c.context);
    EXPECT_EQ(error.domain, "com.vedodo.gmp.measurement.ErrorDomain");
    EXPECT_EQ(error.code, 3);
    EXPECT_EQ(!error.userInfo[kLocalizedDescriptionKey].isNull(), c.hasDescription);
    EXPECT_EQ(!error.userInfo["APMMonitorContext"].isNull(), c.hasContext);
    if (c.hasDescription) {
      EXPECT_EQ(error.localizedDescription(), c.description);
    }
  }
}

TEST(MeasurementError, ChecksStoreAnErrorOnlyWhenTheyFail) {
  int anything = 0;
  const std::unique_ptr<int> none;
  const std::optional<int> present = 4;
  struct Case {
    const char* name;
    std::function<bool(os::Error*)> check;
    bool passes;
  };
  const Case cases[] = {
      {"condition yes", [](os::Error* e) { return requireOrSetError(true, e, 1, "x"); }, true},
      {"condition no", [](os::Error* e) { return requireOrSetError(false, e, 1, "x"); }, false},
      {"pointer", [&](os::Error* e) { return requirePointerOrSetError(&anything, e, 1, "x"); },
       true},
      {"null pointer", [](os::Error* e) { return requirePointerOrSetError(nullptr, e, 1, "x"); },
       false},
      {"object", [&](os::Error* e) { return requireObjectOrSetError(present, e, 1, "x"); }, true},
      {"no object", [&](os::Error* e) { return requireObjectOrSetError(none, e, 1, "x"); }, false},
      {"non-zero", [](os::Error* e) { return requireNonZeroOrSetError(3, e, 1, "x"); }, true},
      {"zero", [](os::Error* e) { return requireNonZeroOrSetError(0, e, 1, "x"); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const os::Error earlier("other", 77);
    os::Error error = earlier;
    EXPECT_EQ(c.check(&error), c.passes);
    EXPECT_EQ(error, c.passes ? earlier : measurementError(1, "x"));
    // A null out-parameter is allowed and does not change the answer.
    EXPECT_EQ(c.check(nullptr), c.passes);
  }
}

TEST(MeasurementError, SetErrorOutParameterReplacesWhatTheCallerHeld) {
  os::Error error("other", 5, "old");
  setErrorOutParameterWithMonitorContext(&error, 2, "Failed to compress bundle", "gzip");
  EXPECT_EQ(error, measurementError(2, "Failed to compress bundle", "gzip"));
  setErrorOutParameter(&error, 1, "Empty table name for update");
  EXPECT_EQ(error, measurementError(1, "Empty table name for update"));
  setErrorOutParameter(nullptr, 1, "ignored");
}

TEST(MeasurementError, MonitorContextStringJoinsTheMeasurementErrorsContexts) {
  os::Error stringless = measurementError(3, "d");
  stringless.userInfo = os::Dictionary{{kMonitorContextKey, 12}};
  const os::Error foreign("NSCocoaErrorDomain", 4, "", os::Dictionary{{kMonitorContextKey, "x"}});
  const MonitorContext contexts[] = {measurementError(3, "a", "open"),
                                     std::string("text"),
                                     foreign,
                                     stringless,
                                     measurementError(3, "b"),
                                     int64_t{5},
                                     measurementError(3, "c", "step:5")};
  EXPECT_EQ(makeMonitorContextString(contexts), "open,step:5");
  EXPECT_EQ(makeMonitorContextString({}), "");
  const MonitorContext unrelated[] = {foreign, stringless};
  EXPECT_EQ(makeMonitorContextString(unrelated), "");
}

}  // namespace
}  // namespace measurement
