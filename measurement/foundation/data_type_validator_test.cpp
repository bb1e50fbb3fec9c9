#include "measurement/foundation/data_type_validator.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/settings.h"
#include "testsupport/text.h"

namespace measurement {
namespace {

using Check = std::function<bool(int32_t*)>;

struct Case {
  std::string what;
  Check check;
  int32_t failure;  // 0: valid
};

void expectCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int32_t failure = -1;
    EXPECT_EQ(c.check(&failure), c.failure == kValidationValid);
    EXPECT_EQ(failure, c.failure);
    EXPECT_EQ(c.check(nullptr), c.failure == kValidationValid);  // no out-parameter is fine
  }
}

Check publicEvent(std::string name) {
  return [name](int32_t* f) { return DataTypeValidator::isValidPublicEventName(name, f); };
}
Check internalEvent(std::string name) {
  return [name](int32_t* f) { return DataTypeValidator::isValidInternalEventName(name, f); };
}

TEST(DataTypeValidator, EventNames) {
  const std::string emoji = "\U0001F600";
  expectCases({
      {"40 letters", publicEvent(std::string(40, 'a')), kValidationValid},
      {"41 letters", publicEvent(std::string(41, 'a')), kValidationTooLong},
      {"40 scalars: a letter and 39 digits of another script",
       publicEvent("a" + testsupport::repeated("\u0663", 39)), kValidationValid},
      {"empty", publicEvent(""), kValidationMissing},
      {"leading underscore", publicEvent("_s"), kValidationBadCharacters},
      {"leading underscore, internal", internalEvent("_s"), kValidationValid},
      {"leading digit", publicEvent("1a"), kValidationBadCharacters},
      {"blank", publicEvent("a b"), kValidationBadCharacters},
      {"emoji", publicEvent("a" + emoji), kValidationBadCharacters},
      {"accented letter", publicEvent("caf\u00e9"), kValidationValid},
      {"base letter and combining mark", publicEvent("cafe\u0301"), kValidationBadCharacters},
      {"ill-formed UTF-8", publicEvent("a\xff"), kValidationBadCharacters},
      {"screen_view", publicEvent("screen_view"), kValidationValid},
      {"first_open", publicEvent("first_open"), kValidationReserved},
      {"ad_impression", publicEvent("ad_impression"), kValidationValid},
      {"ga_session", publicEvent("ga_session"), kValidationReserved},
      {"vedodo_x", publicEvent("vedodo_x"), kValidationReserved},
      {"riveravo_x", publicEvent("riveravo_x"), kValidationReserved},
      {"internal 41", internalEvent(std::string(41, 'a')), kValidationTooLong},
  });
}

TEST(DataTypeValidator, Origins) {
  auto forwarded = [](std::string origin) -> Check {
    return
        [origin](int32_t* f) { return DataTypeValidator::isValidForwardedEventOrigin(origin, f); };
  };
  auto internal = [](std::string origin) -> Check {
    return
        [origin](int32_t* f) { return DataTypeValidator::isValidInternalEventOrigin(origin, f); };
  };
  auto conditional = [](std::string origin) -> Check {
    return [origin](int32_t* f) {
      return DataTypeValidator::isValidConditionalUserPropertyOrigin(origin, f);
    };
  };
  expectCases({
      {"app+gtm", forwarded("app+gtm"), kValidationValid},
      {"app", forwarded("app"), kValidationNotForwardedOrigin},
      {"empty", forwarded(""), kValidationMissing},
      {"only the suffix", forwarded("+gtm"), kValidationMissing},
      {"32 + suffix", forwarded(std::string(32, 'a') + "+gtm"), kValidationValid},
      {"33 + suffix", forwarded(std::string(33, 'a') + "+gtm"), kValidationTooLong},
      {"internal 32", internal(std::string(32, 'a')), kValidationValid},
      {"internal 33", internal(std::string(33, 'a')), kValidationTooLong},
      {"internal auto", internal("auto"), kValidationValid},
      {"conditional 33", conditional(std::string(33, 'a')), kValidationTooLong},
  });
}

TEST(DataTypeValidator, ParameterAndUserPropertyNames) {
  auto publicParameter = [](std::string name) -> Check {
    return
        [name](int32_t* f) { return DataTypeValidator::isValidPublicEventParameterName(name, f); };
  };
  auto internalParameter = [](std::string name) -> Check {
    return [name](int32_t* f) {
      return DataTypeValidator::isValidInternalEventParameterName(name, f);
    };
  };
  auto publicProperty = [](std::string name) -> Check {
    return
        [name](int32_t* f) { return DataTypeValidator::isValidPublicUserAttributeName(name, f); };
  };
  auto internalProperty = [](std::string name) -> Check {
    return
        [name](int32_t* f) { return DataTypeValidator::isValidInternalUserAttributeName(name, f); };
  };
  auto conditionalName = [](std::string name) -> Check {
    return [name](int32_t* f) {
      return DataTypeValidator::isValidConditionalUserPropertyName(name, f);
    };
  };
  expectCases({
      {"parameter 40", publicParameter(std::string(40, 'p')), kValidationValid},
      {"parameter 41", publicParameter(std::string(41, 'p')), kValidationTooLong},
      {"parameter ga_", publicParameter("ga_x"), kValidationReserved},
      {"parameter _sn", publicParameter("_sn"), kValidationBadCharacters},
      {"internal parameter _sn", internalParameter("_sn"), kValidationValid},
      {"property 24", publicProperty(std::string(24, 'u')), kValidationValid},
      {"property 25", publicProperty(std::string(25, 'u')), kValidationTooLong},
      {"property user_id", publicProperty("user_id"), kValidationReserved},
      {"property first_open_time", publicProperty("first_open_time"), kValidationReserved},
      {"property vedodo_x", publicProperty("vedodo_x"), kValidationReserved},
      {"internal property _fot", internalProperty("_fot"), kValidationValid},
      {"internal property 25", internalProperty(std::string(25, 'u')), kValidationTooLong},
      {"conditional name 24", conditionalName(std::string(24, 'c')), kValidationValid},
      {"conditional name 25", conditionalName(std::string(25, 'c')), kValidationTooLong},
  });
}

TEST(DataTypeValidator, ValuesCountScalarsAndFollowTheServerLimit) {
  auto value = [](auto rule, std::optional<Value> v) -> Check {
    return [rule, v](int32_t* f) { return rule(v ? &*v : nullptr, f); };
  };
  auto text = [](std::string s) { return std::optional<Value>(Value(std::move(s))); };
  auto publicValue = [](const Value* v, int32_t* f) {
    return DataTypeValidator::isValidPublicEventParameterValue(v, f);
  };
  auto internalValue = [](const Value* v, int32_t* f) {
    return DataTypeValidator::isValidInternalEventParameterValue(v, f);
  };
  auto publicProperty = [](const Value* v, int32_t* f) {
    return DataTypeValidator::isValidPublicUserAttributeValue(v, f);
  };
  auto conditional = [](const Value* v, int32_t* f) {
    return DataTypeValidator::isValidConditionalUserPropertyValue(v, f);
  };
  auto internalProperty = [](std::string name) {
    return [name](const Value* v, int32_t* f) {
      return DataTypeValidator::isValidInternalUserAttributeValue(v, name, f);
    };
  };
  const std::string emoji = "\U0001F600";
  expectCases({
      {"100 emoji", value(publicValue, text(testsupport::repeated(emoji, 100))), kValidationValid},
      {"101 emoji", value(publicValue, text(testsupport::repeated(emoji, 101))),
       kValidationTooLong},
      {"empty parameter value", value(publicValue, text("")), kValidationValid},
      {"missing", value(publicValue, std::nullopt), kValidationMissing},
      {"long number", value(publicValue, Value(int64_t{123456789012345})), kValidationValid},
      {"internal 256", value(internalValue, text(std::string(256, 'v'))), kValidationValid},
      {"internal 257", value(internalValue, text(std::string(257, 'v'))), kValidationTooLong},
      {"empty property value", value(publicProperty, text("")), kValidationMissing},
      {"property 36", value(publicProperty, text(testsupport::repeated(emoji, 36))),
       kValidationValid},
      {"property 37", value(publicProperty, text(std::string(37, 'v'))), kValidationTooLong},
      {"_id 256", value(internalProperty("_id"), text(std::string(256, 'v'))), kValidationValid},
      {"_fot 37", value(internalProperty("_fot"), text(std::string(37, 'v'))), kValidationTooLong},
      {"conditional 36", value(conditional, text(std::string(36, 'v'))), kValidationValid},
      {"conditional 37", value(conditional, text(std::string(37, 'v'))), kValidationTooLong},
      {"conditional empty", value(conditional, text("")), kValidationMissing},
      {"conditional number", value(conditional, Value(2.5)), kValidationValid},
      {"conditional array", value(conditional, Value(os::Array{})), kValidationValid},
      {"conditional missing", value(conditional, std::nullopt), kValidationMissing},
  });

  // The public limit follows the server setting; the internal one stays at least 256.
  auto settings = std::make_shared<Settings>();
  settings->cacheValue("300", "measurement.upload.max_event_parameter_value_length");
  setEngineSettings(settings);
  expectCases({
      {"300 under a limit of 300", value(publicValue, text(std::string(300, 'v'))),
       kValidationValid},
      {"301 under a limit of 300", value(internalValue, text(std::string(301, 'v'))),
       kValidationTooLong},
  });
  setEngineSettings(nullptr);
}

TEST(DataTypeValidator, StringsAndScreenValues) {
  auto string = [](os::Value v, int32_t min, int32_t max) -> Check {
    return [v, min, max](int32_t* f) {
      return DataTypeValidator::isValidString(v, min, max, ValidatedType::kEventName, f);
    };
  };
  auto screen = [](os::Value v) -> Check {
    return [v](int32_t* f) { return DataTypeValidator::isValidScreenParameterValue(v, f); };
  };
  expectCases({
      {"null", string(os::Value(), 0, 5), kValidationMissing},
      {"number", string(os::Value(5), 0, 5), kValidationWrongType},
      {"too short", string(os::Value("ab"), 3, 5), kValidationTooShort},
      {"empty, nothing required", string(os::Value(""), 0, 5), kValidationValid},
      {"screen Home", screen(os::Value("Home")), kValidationValid},
      {"screen empty", screen(os::Value("")), kValidationMissing},
      {"screen 101", screen(os::Value(std::string(101, 's'))), kValidationTooLong},
  });
}

TEST(DataTypeValidator, NumbersAndCurrencies) {
  auto numeric = [](std::optional<Value> v) -> Check {
    return [v](int32_t* f) { return DataTypeValidator::isValidNumericValue(v ? &*v : nullptr, f); };
  };
  auto currency = [](std::optional<Value> v) -> Check {
    return [v](int32_t* f) { return DataTypeValidator::isValidCurrencyCode(v ? &*v : nullptr, f); };
  };
  auto text = [](const char* s) { return std::optional<Value>(Value(std::string(s))); };
  expectCases({
      {"int", numeric(Value(int64_t{3})), kValidationValid},
      {"double", numeric(Value(9.99)), kValidationValid},
      {"string", numeric(text("9.99")), kValidationNotNumeric},
      {"array", numeric(Value(os::Array{})), kValidationNotNumeric},
      {"missing", numeric(std::nullopt), kValidationMissing},
      {"USD", currency(text("USD")), kValidationValid},
      {"eur", currency(text("eur")), kValidationValid},
      {"accented letters", currency(text("\u00c9\u00e9a")), kValidationValid},
      {"two letters and a digit", currency(text("US1")), kValidationNotCurrencyCode},
      {"four letters", currency(text("USDX")), kValidationNotCurrencyCode},
      {"two letters", currency(text("US")), kValidationNotCurrencyCode},
      {"an emoji is two UTF-16 units", currency(text("U\U0001F600")), kValidationNotCurrencyCode},
      {"number", currency(Value(int64_t{840})), kValidationNotCurrencyCode},
      {"missing currency", currency(std::nullopt), kValidationMissing},
  });
}

TEST(DataTypeValidator, ItemArrays) {
  auto array = [](std::string event, std::string name, size_t count, bool nested) -> Check {
    return [=](int32_t* f) {
      return DataTypeValidator::isValidArrayParamForEvent(event, name, count, nested, f);
    };
  };
  auto item = [](os::Value v) -> Check {
    return [v](int32_t* f) { return DataTypeValidator::isValidArrayParamItem(v, f); };
  };
  expectCases({
      {"200 on purchase", array("purchase", "items", 200, false), kValidationValid},
      {"201 on purchase", array("purchase", "items", 201, false), kValidationTooManyItems},
      {"nested first", array("login", "things", 500, true), kValidationNestedArray},
      {"not an items event", array("login", "items", 1, false), kValidationArrayNotAllowedForEvent},
      {"not named items", array("view_cart", "products", 1, false), kValidationArrayNameNotItems},
      {"view_search_results", array("view_search_results", "items", 0, false), kValidationValid},
      {"dictionary item", item(os::Dictionary{{"item_id", "a"}}), kValidationValid},
      {"string item", item(os::Value("a")), kValidationItemNotDictionary},
  });
  EXPECT_TRUE(DataTypeValidator::hasReservedPrefixes("ga_"));
  EXPECT_FALSE(DataTypeValidator::hasReservedPrefixes("gax"));
}

}  // namespace
}  // namespace measurement

namespace measurement {
namespace {

// What a refusal reports: level, code and message; nothing for the refusals that stay silent.
TEST(DataTypeValidator, RefusalsReportThroughTheMonitor) {
  struct Case {
    std::string what;
    Check check;
    std::optional<MonitorRecord> expected;
  };
  Value emptyText(std::string(""));
  Value longText(std::string(37, 'v'));
  Value word(std::string("abc"));
  const Case cases[] = {
      {"event name too long", publicEvent(std::string(41, 'a')),
       MonitorRecord{0, 13000, "Event name is too long. The maximum supported length is 40", {}}},
      {"empty event name", publicEvent(""),
       MonitorRecord{0, 13001, "Event name is required and can't be empty", {}}},
      {"bad characters", publicEvent("a b"),
       MonitorRecord{
           0, 13002, "Event name must contain only letters, numbers, or underscores", {}}},
      {"first character", publicEvent("_a"),
       MonitorRecord{0, 13003, "Event name must start with a letter", {}}},
      {"reserved", publicEvent("first_open"),
       MonitorRecord{0, 13006, "Event name is reserved. Ignoring event", {}}},
      {"property value too long",
       [&](int32_t* f) { return DataTypeValidator::isValidPublicUserAttributeValue(&longText, f); },
       MonitorRecord{
           3, 13000, "User property value is too long. The maximum supported length is 36", {}}},
      {"empty property value is silent",
       [&](int32_t* f) {
         return DataTypeValidator::isValidPublicUserAttributeValue(&emptyText, f);
       },
       std::nullopt},
      {"origin without suffix is silent",
       [](int32_t* f) { return DataTypeValidator::isValidForwardedEventOrigin("app", f); },
       std::nullopt},
      {"missing value",
       [](int32_t* f) {
         return DataTypeValidator::isValidConditionalUserPropertyValue(nullptr, f);
       },
       MonitorRecord{3, 13004, "Conditional user property value cannot be nil", {}}},
      {"not numeric", [&](int32_t* f) { return DataTypeValidator::isValidNumericValue(&word, f); },
       MonitorRecord{
           3, 13011, "Event parameter value must be specified with a numeric type. value", {}}},
      {"not a currency",
       [&](int32_t* f) { return DataTypeValidator::isValidCurrencyCode(&longText, f); },
       MonitorRecord{3,
                     13012,
                     "Event parameter value must contain a 3-letter ISO_4217 currency code. value",
                     {}}},
      {"array name",
       [](int32_t* f) {
         return DataTypeValidator::isValidArrayParamForEvent("purchase", "products", 1, false, f);
       },
       MonitorRecord{0,
                     13013,
                     "Event parameter name is an invalid ecommerce items. The name of array "
                     "parameters for ecommerce should be \"items\". Invalid parameter name",
                     {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MonitorCapture capture;
    c.check(nullptr);
    std::vector<MonitorRecord> records = capture.records();
    if (!c.expected) {
      EXPECT_TRUE(records.empty());
      continue;
    }
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, c.expected->level);
    EXPECT_EQ(records[0].code, c.expected->code);
    EXPECT_EQ(records[0].message, c.expected->message);
  }
}

}  // namespace
}  // namespace measurement
