#include "measurement/model/parameter_sanitizer.h"

#include <gtest/gtest.h>

#include <string>

#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/settings.h"
#include "measurement/foundation/test_support.h"
#include "testsupport/sandbox_environment.h"

// The monitor that the code under test logs to samples into the preferences folder.
static testing::Environment* const kSandbox =
    testing::AddGlobalTestEnvironment(new testsupport::SandboxEnvironment);

namespace measurement {
namespace {

Value text(std::string s) { return Value(std::move(s)); }
Value integer(int64_t i) { return Value(i); }

std::optional<Parameters> sanitize(const os::Dictionary& input,
                                   std::optional<std::string_view> eventName = "login",
                                   bool isPublic = true) {
  return sanitizedEventParameters(rawParameters(input), eventName, isPublic, false);
}

os::Array items(int count, const os::Dictionary& item = {{"item_id", "sku"}}) {
  return os::Array(static_cast<size_t>(count), os::Value(item));
}

TEST(ParameterSanitizer, KeepsValidParametersAsTypedValues) {
  std::optional<Parameters> result =
      sanitize({{"level", 3}, {"score", 2.5}, {"name", "hero"}, {"flag", true}});
  EXPECT_EQ(result, (Parameters{{"level", integer(3)},
                                {"score", Value(2.5)},
                                {"name", text("hero")},
                                {"flag", integer(1)}}));
  EXPECT_EQ(sanitize({}), std::nullopt);
}

TEST(ParameterSanitizer, RecordsTheFirstProblemOfDroppedParameters) {
  const std::string name41(41, 'n');
  const std::string name40WithBlank = std::string(39, 'n') + " ";
  struct Case {
    const char* what;
    os::Dictionary input;
    Parameters expected;
  };
  const Case cases[] = {
      {"41-character name",
       {{name41, 1}},
       {{"_err", integer(3)}, {"_ev", text(std::string(40, 'n') + "...")}, {"_el", integer(41)}}},
      {"40-character invalid name",
       {{name40WithBlank, 1}},
       {{"_err", integer(3)}, {"_ev", text(name40WithBlank)}}},
      {"reserved prefix", {{"ga_thing", 1}}, {{"_err", integer(14)}, {"_ev", text("ga_thing")}}},
      {"only the first of two",
       {{"1bad", 1}, {"2bad", 2}},
       {{"_err", integer(3)}, {"_ev", text("1bad")}}},
      {"a value that is not a number, string or array", {{"when", os::Date{5}}}, {}},
      {"value too long",
       {{"note", std::string(101, 'v')}},
       {{"_err", integer(4)}, {"_ev", text("note")}, {"_el", integer(101)}}},
      {"array on an event that may not carry one",
       {{"items", items(1)}},
       {{"_err", integer(21)}, {"_ev", text("login")}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(sanitize(c.input), c.expected);  // never nullopt
  }
  // Dropped keys leave the others; the error parameters join them.
  EXPECT_EQ(sanitize({{"ok", 1}, {"bad name", 2}}),
            (Parameters{{"ok", integer(1)}, {"_err", integer(3)}, {"_ev", text("bad name")}}));
}

TEST(ParameterSanitizer, ValueLimitsFollowTheServer) {
  ScopedEngineSettings settings({{"measurement.upload.max_event_parameter_value_length", "300"}});
  EXPECT_EQ(sanitize({{"note", std::string(300, 'v')}}),
            (Parameters{{"note", text(std::string(300, 'v'))}}));
  // An internal event allows the internal limit, here also 300.
  EXPECT_EQ(sanitize({{"_note", std::string(301, 'v')}}, "_s", false)->at("_err"), integer(4));
}

TEST(ParameterSanitizer, TrimsALongErrorValueOfAnInternalEvent) {
  std::string longValue(300, 'e');
  std::optional<Parameters> result = sanitize({{"_ev", longValue}}, "_err", false);
  EXPECT_EQ(result,
            (Parameters{{"_ev", text(std::string(256, 'e') + "...")}, {"_el", integer(300)}}));
  // A value trimmed before stays as it is.
  std::string trimmed = std::string(256, 'e') + "...";
  EXPECT_EQ(sanitize({{"_ev", trimmed}}, "_err", false), (Parameters{{"_ev", text(trimmed)}}));
  // A length that an earlier problem left does not let the untrimmed text through.
  result = sanitize({{"_el", 7}, {"_ev", longValue}}, "_err", false);
  EXPECT_EQ(result->at("_ev"), text(std::string(256, 'e') + "..."));
  EXPECT_EQ(result->at("_el"), integer(7));
}

TEST(ParameterSanitizer, ItemArrays) {
  struct Case {
    const char* what;
    const char* event;
    os::Dictionary input;
    size_t keptItems;  // 0: no "items" in the result
    Parameters errors;
  };
  const Case cases[] = {
      {"200 items", "purchase", {{"items", items(200)}}, 200, {}},
      {"250 items",
       "purchase",
       {{"items", items(250)}},
       200,
       {{"_err", integer(17)}, {"_ev", text("items")}}},
      {"not named items",
       "purchase",
       {{"products", items(1)}},
       0,
       {{"_err", integer(20)}, {"_ev", text("products")}}},
      {"no event name",
       nullptr,
       {{"items", items(1)}},
       0,
       {{"_err", integer(21)}, {"_ev", text("(nil)")}}},
      {"an item that is not a dictionary",
       "purchase",
       {{"items", os::Array{os::Dictionary{{"item_id", "a"}}, "b"}}},
       1,
       {{"_err", integer(4)}, {"_ev", text("items[1]")}}},
      {"an empty item is dropped",
       "purchase",
       {{"items", os::Array{os::Dictionary{}, os::Dictionary{{"item_id", "a"}}}}},
       1,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<Parameters> result =
        c.event ? sanitize(c.input, c.event) : sanitize(c.input, std::nullopt);
    ASSERT_TRUE(result);
    Parameters errors = *result;
    if (c.keptItems > 0) {
      ASSERT_TRUE(result->contains("items"));
      EXPECT_EQ(result->at("items").arrayValue()->size(), c.keptItems);
      errors.erase("items");
    }
    EXPECT_EQ(errors, c.errors);
  }
}

TEST(ParameterSanitizer, ItemsAreSanitisedThemselves) {
  os::Dictionary item{
      {"item_id", "sku"}, {"price", 9.5}, {"bad name", 1}, {"nested", os::Array{os::Dictionary{}}}};
  std::optional<Parameters> result = sanitize({{"items", os::Array{item}}}, "purchase");
  const os::Array& kept = *result->at("items").arrayValue();
  ASSERT_EQ(kept.size(), 1u);
  // The first problem inside the item is its own; the nested array is dropped as well.
  EXPECT_EQ(kept[0], os::Value(os::Dictionary{
                         {"item_id", "sku"}, {"price", 9.5}, {"_err", 3}, {"_ev", "bad name"}}));
  EXPECT_FALSE(result->contains("_err"));

  std::optional<Parameters> nested = sanitize(
      {{"items", os::Array{os::Dictionary{{"items", os::Array{os::Dictionary{}}}}}}}, "purchase");
  EXPECT_EQ(nested->at("items").arrayValue()->at(0)["_err"], os::Value(22));
}

os::Dictionary customParameters(int count, os::Dictionary base = {}) {
  for (int i = 0; i < count; ++i) base.emplace("custom_" + std::to_string(100 + i), i);
  return base;
}

TEST(ParameterSanitizer, ItemsKeepAtMostTheirCustomParameters) {
  os::Dictionary item = customParameters(30, {{"item_id", "sku"}, {"price", 1.5}});
  auto sanitizedItem = [&] {
    return *sanitizedEventParameters(rawParameters(item), "purchase", true, true);
  };
  Parameters kept = sanitizedItem();
  EXPECT_EQ(kept.size(), 2u + 27u + 1u);  // standard names, 27 custom ones, "_err"
  EXPECT_EQ(kept.at("_err"), integer(28));
  EXPECT_TRUE(kept.contains("custom_126"));
  EXPECT_FALSE(kept.contains("custom_127"));  // the last ones in key order go

  ScopedEngineSettings settings({{"measurement.item_scoped_custom_parameter_enabled", "0"}});
  kept = sanitizedItem();
  EXPECT_EQ(kept,
            (Parameters{{"item_id", text("sku")}, {"price", Value(1.5)}, {"_err", integer(23)}}));
}

TEST(ParameterSanitizer, EventsKeepAtMostTheirPublicParameters) {
  os::Dictionary input = customParameters(30, {{"_internal", 1}});
  MonitorCapture capture;
  std::optional<Parameters> result = sanitize(input, "_s", false);
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_EQ(capture.records()[0].code, 18017);
  EXPECT_EQ(capture.records()[0].message, "Event cannot contain more than 25 parameters");
  EXPECT_EQ(result->size(), 25u + 1u + 1u);  // 25 public, the internal one, "_err"
  EXPECT_EQ(result->at("_err"), integer(5));
  EXPECT_TRUE(result->contains("_internal"));
  EXPECT_TRUE(result->contains("custom_124"));
  EXPECT_FALSE(result->contains("custom_125"));

  ScopedEngineSettings settings({{"measurement.upload.max_public_event_params", "30"}});
  EXPECT_FALSE(sanitize(input, "_s", false)->contains("_err"));
}

TEST(ParameterSanitizer, TypedValuesPassUnconverted) {
  // An items array typed by an earlier pass is not converted (nor limited) again.
  RawParameters raw{{"items", Value(items(201))}, {"level", Value(int64_t{2})}};
  std::optional<Parameters> result = sanitizedEventParameters(raw, "purchase", true, false);
  EXPECT_EQ(result->at("items").arrayValue()->size(), 201u);
  EXPECT_EQ(result->at("level"), integer(2));
}

TEST(ParameterSanitizer, TrimsToACountLimit) {
  Parameters parameters{{"b", integer(1)},
                        {"a", integer(1)},
                        {"_x", integer(1)},
                        {"c", integer(1)},
                        {"price", integer(1)}};
  Parameters copy = parameters;
  trimToPublicParameterLimit(copy, 2);
  EXPECT_EQ(copy, (Parameters{{"a", integer(1)}, {"b", integer(1)}, {"_x", integer(1)}}));
  EXPECT_EQ(countPublicParameters(parameters, false), 4);
  EXPECT_EQ(countPublicParameters(parameters, true), 3);  // "price" is an item parameter
  trimPublicParameters(parameters, 0, true);
  EXPECT_EQ(parameters, (Parameters{{"_x", integer(1)}, {"price", integer(1)}}));
}

TEST(ParameterSanitizer, ValueNeedsANumberAndACurrency) {
  struct Case {
    const char* what;
    Parameters input;
    bool valid;
    Parameters expected;
  };
  const Case cases[] = {
      {"no value", {{"currency", text("x")}}, true, {{"currency", text("x")}}},
      {"value and currency",
       {{"value", Value(9.99)}, {"currency", text("EUR")}},
       true,
       {{"value", Value(9.99)}, {"currency", text("EUR")}}},
      {"value without currency",
       {{"value", integer(5)}},
       false,
       {{"_err", integer(19)}, {"_ev", text("currency")}}},
      {"bad currency",
       {{"value", integer(5)}, {"currency", text("EU")}},
       false,
       {{"currency", text("EU")}, {"_err", integer(19)}, {"_ev", text("currency")}}},
      {"value not numeric",
       {{"value", text("5")}, {"currency", text("EUR")}},
       false,
       {{"currency", text("EUR")}, {"_err", integer(18)}, {"_ev", text("value")}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Parameters parameters = c.input;
    EXPECT_EQ(hasValidValueAndCurrency(parameters), c.valid);
    EXPECT_EQ(parameters, c.expected);
  }
}

TEST(ParameterSanitizer, HasArrayParameterLooksAtEveryValue) {
  struct Case {
    const char* what;
    RawParameters parameters;
    bool hasArray;
  } cases[] = {
      {"none", {}, false},
      {"scalars", rawParameters(os::Dictionary{{"a", 1}, {"b", "x"}}), false},
      {"an empty array", rawParameters(os::Dictionary{{"a", 1}, {"z", os::Array{}}}), true},
      {"a typed array", {{"items", Value(items(1))}}, true},
      {"a typed string", {{"items", text("x")}}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(hasArrayParameter(c.parameters), c.hasArray) << c.what;
}

TEST(ParameterSanitizer, NamesSortAsEnglishDoesWithAMissingNameFirst) {
  using os::text::Order;
  struct Case {
    std::optional<std::string_view> a;
    std::optional<std::string_view> b;
    Order order;
  } cases[] = {
      {std::nullopt, "a", Order::Ascending},
      {"a", std::nullopt, Order::Descending},
      {std::nullopt, std::nullopt, Order::Same},
      {"a", "B", Order::Ascending},  // not byte order, where "B" comes first
      {"a", "A", Order::Ascending},
      {"_ev", "ab", Order::Ascending},
      {"value", "value", Order::Same},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compareNamesInEnglishLocale(c.a, c.b), c.order)
        << c.a.value_or("(nil)") << " vs " << c.b.value_or("(nil)");
  }
}

TEST(ParameterSanitizer, ValidatedParameterKeysListsTheValidNamesInEnglishOrder) {
  Parameters errors;
  std::vector<std::string> keys =
      validatedParameterKeys(rawParameters(os::Dictionary{{"Zeta", 1},
                                                          {"alpha", "x"},
                                                          {"bad name", 2},
                                                          {"1bad", 3},
                                                          {"items", items(1)},
                                                          {"_internal", 4}}),
                             true, errors);
  EXPECT_EQ(keys, (std::vector<std::string>{"alpha", "items", "Zeta"}));
  // The first refused key in the dictionary's order is the one recorded.
  EXPECT_EQ(errors, (Parameters{{"_err", integer(3)}, {"_ev", text("1bad")}}));

  // Internal names pass where the event is not public.
  errors.clear();
  EXPECT_EQ(validatedParameterKeys(rawParameters(os::Dictionary{{"_internal", 4}}), false, errors),
            std::vector<std::string>{"_internal"});
  EXPECT_TRUE(errors.empty());
}

TEST(ParameterSanitizer, ValidatedParameterKeysKeepsAKeyWithAValueOfAnotherKind) {
  MonitorCapture capture;
  Parameters errors;
  std::vector<std::string> keys = validatedParameterKeys(
      rawParameters(os::Dictionary{{"when", os::Date{5}}, {"flag", true}, {"note", "x"}}), true,
      errors);
  EXPECT_EQ(keys, (std::vector<std::string>{"flag", "note", "when"}));
  EXPECT_EQ(errors, (Parameters{{"_err", integer(4)}, {"_ev", text("when")}}));
  ASSERT_EQ(capture.records().size(), 1u);  // a boolean is a number
  EXPECT_EQ(capture.records()[0].level, 1);
  EXPECT_EQ(capture.records()[0].code, 18005);
  EXPECT_EQ(capture.records()[0].message,
            "Invalid event parameter. Parameter must be a number, string or array. Param key, "
            "param value");
}

}  // namespace
}  // namespace measurement
