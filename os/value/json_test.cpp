#include "os/value/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace os::json {
namespace {

constexpr uint64_t kUint64Max = std::numeric_limits<uint64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

Value parsed(std::string_view text, bool allowFragments = false) {
  Error error;
  auto value = parse(text, &error, allowFragments);
  EXPECT_TRUE(value.has_value()) << text << ": " << error.description;
  return value.value_or(Value());
}

TEST(Json, ParsesEveryKind) {
  Value value = parsed(R"({
    "object": {"nested": {"deep": [1, 2, {"x": null}]}},
    "array": [true, false, null, "s", 1, -1, 1.5],
    "string": "plain",
    "escapes": "q\" b\\ s\/ \b\f\n\r\t \u0041\u00e9\u20ac \ud834\udd1e",
    "nul": "a\u0000b",
    "utf8": "h\u00e9llo ✓ 𝄞",
    "int": 42, "negative": -42, "zero": -0,
    "max": 9223372036854775807, "min": -9223372036854775808,
    "aboveInt64": 9223372036854775808, "uint64max": 18446744073709551615,
    "beyondUint64": 18446744073709551616, "belowInt64": -9223372036854775809,
    "real": 0.1, "realInteger": 3.0, "exponent": 1e3, "negativeExponent": 2.5E-3,
    "empty": {}, "emptyArray": [], "emptyString": ""
  })");
  ASSERT_TRUE(value.isDictionary());
  EXPECT_EQ(value["object"]["nested"]["deep"][2]["x"], Value());
  EXPECT_TRUE(value["object"]["nested"]["deep"][2].asDictionary()->contains("x"));
  EXPECT_EQ(value["array"], Value(Array{true, false, Value(), "s", 1, -1, 1.5}));
  EXPECT_EQ(value["array"][0].type(), Value::Type::Boolean);
  EXPECT_EQ(value["array"][4].type(), Value::Type::Integer);
  EXPECT_EQ(value["escapes"],
            Value("q\" b\\ s/ \b\f\n\r\t A\xc3\xa9\xe2\x82\xac \xf0\x9d\x84\x9e"));
  EXPECT_EQ(*value["nul"].asString(), std::string("a\0b", 3));
  EXPECT_EQ(value["utf8"], Value("h\xc3\xa9llo \xe2\x9c\x93 \xf0\x9d\x84\x9e"));
  EXPECT_EQ(value["int"].type(), Value::Type::Integer);
  EXPECT_EQ(*value["negative"].asInteger(), -42);
  EXPECT_EQ(value["zero"].type(), Value::Type::Integer);
  EXPECT_EQ(*value["max"].asInteger(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(*value["min"].asInteger(), kInt64Min);
  ASSERT_EQ(value["aboveInt64"].type(), Value::Type::Unsigned);
  EXPECT_EQ(*value["aboveInt64"].asUnsigned(), uint64_t{1} << 63);
  EXPECT_EQ(*value["uint64max"].asUnsigned(), kUint64Max);
  ASSERT_EQ(value["beyondUint64"].type(), Value::Type::Real);
  EXPECT_EQ(*value["beyondUint64"].asReal(), 18446744073709551616.0);
  EXPECT_EQ(value["belowInt64"].type(), Value::Type::Real);
  EXPECT_EQ(*value["real"].asReal(), 0.1);
  ASSERT_EQ(value["realInteger"].type(), Value::Type::Real);
  EXPECT_EQ(*value["realInteger"].asReal(), 3.0);
  EXPECT_EQ(*value["exponent"].asReal(), 1000.0);
  EXPECT_EQ(*value["negativeExponent"].asReal(), 0.0025);
  EXPECT_EQ(value["empty"], Value(Dictionary{}));
  EXPECT_EQ(value["emptyArray"], Value(Array{}));
  EXPECT_EQ(value["emptyString"], Value(""));
}

TEST(Json, DuplicateKeysKeepTheLastValueAndBomIsSkipped) {
  EXPECT_EQ(parsed(R"({"a": 1, "a": 2})"), Value(Dictionary{{"a", 2}}));
  EXPECT_EQ(parsed("\xef\xbb\xbf[1]"), Value(Array{1}));
}

TEST(Json, TopLevelScalarsNeedFragments) {
  struct Case {
    const char* text;
    Value value;
  };
  const Case cases[] = {{"\"text\"", "text"}, {"12", 12},        {"-1.5", -1.5},
                        {"true", true},       {"null", Value()}, {" 7 ", 7}};
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(parse(c.text, &error).has_value()) << c.text;
    EXPECT_EQ(error.code, kInvalidJSONError);
    EXPECT_NE(error.description.find("fragments"), std::string::npos) << error.description;
    EXPECT_EQ(parsed(c.text, true), c.value) << c.text;
  }
}

TEST(Json, MalformedInputGivesTheParsersReason) {
  struct Case {
    std::string text;
    const char* reason;  // a part of the description
  };
  const Case cases[] = {
      {"", "unexpected end of input"},
      {"   ", "unexpected end of input"},
      {"{", "unexpected end of input"},
      {"[1, 2", "unexpected end of input"},
      {"[1,]", "unexpected ']'"},
      {"{\"a\" 1}", "expected ':'"},
      {"{a: 1}", "invalid literal"},
      {"{\"a\": 1,}", "expected string literal"},
      {"[tru]", "invalid literal"},
      {"[01]", "unexpected number literal"},
      {"[1.]", "invalid number"},
      {"[.5]", "invalid literal"},
      {"[+1]", "invalid literal"},
      {"[NaN]", "invalid literal"},
      {"[1e400]", "number overflow"},
      {"[-1e400]", "number overflow"},
      {"[\"abc]", "missing closing quote"},
      {"[\"a\nb\"]", "control character"},
      {"[\"\\x\"]", "invalid string"},
      {"[\"\\u12\"]", "'\\u' must be followed by 4 hex digits"},
      {"[\"\\ud800\"]", "surrogate"},
      {"[\"\\udc00\"]", "surrogate"},
      {"[\"\\ud800\\u0041\"]", "surrogate"},
      {"[\"\xff\"]", "ill-formed UTF-8"},
      {"[\"\xc3\"]", "ill-formed UTF-8"},
      {"[\"\xed\xa0\x80\"]", "ill-formed UTF-8"},  // an encoded surrogate
      {"[\"\xc0\xaf\"]", "ill-formed UTF-8"},      // an overlong "/"
      {"\xff[1]", "invalid literal"},
      {"[1] [2]", "expected end of input"},
      {"{} x", "expected end of input"},
      {std::string("[1]\0", 4), "unexpected NUL byte at offset 3"},
      {std::string("[\"a\0\"]", 6), "NUL byte"},
      {"/* comment */ [1]", "invalid literal"},
      {std::string(600, '[') + std::string(600, ']'), "too many nested"},
      {std::string(100000, '['), "too many nested"},
  };
  for (const Case& c : cases) {
    Error error;
    Error* out = &error;
    EXPECT_FALSE(parse(c.text, out, true).has_value()) << c.text;
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.code, 3840);
    EXPECT_NE(error.description.find(c.reason), std::string::npos)
        << c.text << " gave: " << error.description;
    EXPECT_EQ(error.localizedDescription(), error.description);
    EXPECT_TRUE(error.userInfo["NSDebugDescription"].isString());
    // The description never carries the input's invalid bytes: it can be written as JSON.
    EXPECT_TRUE(serialize(Value(Array{error.description})).has_value()) << error.description;
  }
  EXPECT_FALSE(parse("[1,]").has_value());  // no error out-parameter is fine

  Error error;
  parse("[1, 2, x]", &error);
  EXPECT_NE(error.description.find("line 1, column 8"), std::string::npos) << error.description;
  EXPECT_EQ(error.userInfo["NSJSONSerializationErrorIndex"], Value(7));
}

TEST(Json, NestingUpTo512LevelsIsAccepted) {
  std::string text = std::string(512, '[') + std::string(512, ']');
  Value value = parsed(text);
  int depth = 0;
  for (const Value* level = &value; level->isArray(); level = &(*level)[0]) ++depth;
  EXPECT_EQ(depth, 512);
  EXPECT_FALSE(parse(std::string(513, '[') + std::string(513, ']')).has_value());
}

TEST(Json, SerializesCompactWithSortedKeysAndEscapedSlashes) {
  Value value = Dictionary{{"b", Array{1, -2, 2.5, true, false, Value()}},
                           {"a", "x/y"},
                           {"c", Dictionary{}},
                           {"d", Array{}},
                           {"big", kUint64Max},
                           {"min", kInt64Min}};
  EXPECT_EQ(serialize(value).value(),
            R"({"a":"x\/y","b":[1,-2,2.5,true,false,null],"big":18446744073709551615,)"
            R"("c":{},"d":[],"min":-9223372036854775808})");
  WriteOptions noEscape;
  noEscape.escapeSlashes = false;
  EXPECT_EQ(serialize(Value(Array{"a/b", "</script>"}), noEscape).value(),
            R"(["a/b","</script>"])");
  EXPECT_EQ(serialize(Value(Array{"a/b", "</script>"})).value(), R"(["a\/b","<\/script>"])");
}

TEST(Json, PrettyPrintsWithTwoSpaces) {
  Value value = Dictionary{{"list", Array{1, Dictionary{{"k", "v"}}}}, {"empty", Array{}}};
  WriteOptions pretty;
  pretty.prettyPrinted = true;
  EXPECT_EQ(serialize(value, pretty).value(),
            "{\n"
            "  \"empty\": [],\n"
            "  \"list\": [\n"
            "    1,\n"
            "    {\n"
            "      \"k\": \"v\"\n"
            "    }\n"
            "  ]\n"
            "}");
}

TEST(Json, EscapesStrings) {
  using namespace std::string_literals;
  Value value = Array{"q\" b\\ \b\f\n\r\t \x01 \x7f \0"s, "h\xc3\xa9llo \xf0\x9d\x84\x9e"};
  EXPECT_EQ(
      serialize(value).value(),
      "[\"q\\\" b\\\\ \\b\\f\\n\\r\\t \\u0001 \x7f \\u0000\",\"h\xc3\xa9llo \xf0\x9d\x84\x9e\"]");
}

TEST(Json, RealsReadBackToTheSameDouble) {
  const double reals[] = {0.1,
                          0.2 + 0.1,
                          1.0 / 3,
                          3.0,
                          -0.0,
                          1e300,
                          -1e-300,
                          5e-324,
                          std::numeric_limits<double>::max(),
                          std::numeric_limits<double>::min(),
                          123456789.123,
                          9007199254740993.0,
                          1e16,
                          2.5e-3};
  for (double real : reals) {
    auto text = serialize(Value(Array{real}));
    ASSERT_TRUE(text.has_value());
    Value back = parsed(*text);
    ASSERT_EQ(back[0].type(), Value::Type::Real) << *text;
    EXPECT_EQ(std::bit_cast<uint64_t>(*back[0].asReal()), std::bit_cast<uint64_t>(real)) << *text;
  }
  EXPECT_EQ(serialize(Value(Array{3.0, 0.1, -0.0})).value(), "[3.0,0.1,-0.0]");
}

TEST(Json, RoundTripsEveryKindJsonCanCarry) {
  Value value = Dictionary{
      {"bool", Array{true, false}},
      {"null", Value()},
      {"int", Array{0, 1, -1, std::numeric_limits<int64_t>::max(), kInt64Min}},
      {"unsigned", Array{uint64_t{1} << 63, kUint64Max}},
      {"real", Array{0.5, -1e-10, 3.0}},
      {"string", Array{"", "plain", "\xe2\x9c\x93 \xf0\x9d\x84\x9e", "a/b\\c\"d\n"}},
      {"nested", Dictionary{{"a", Dictionary{{"b", Array{Array{Array{}}}}}}, {"", "empty key"}}},
  };
  for (bool pretty : {false, true}) {
    for (bool escapeSlashes : {false, true}) {
      WriteOptions options;
      options.prettyPrinted = pretty;
      options.escapeSlashes = escapeSlashes;
      auto text = serialize(value, options);
      ASSERT_TRUE(text.has_value());
      Value back = parsed(*text);
      EXPECT_EQ(back, value) << *text;
      // Kinds survive, not only values.
      EXPECT_EQ(back["bool"][0].type(), Value::Type::Boolean);
      EXPECT_EQ(back["int"][1].type(), Value::Type::Integer);
      EXPECT_EQ(back["unsigned"][1].type(), Value::Type::Unsigned);
      EXPECT_EQ(back["real"][2].type(), Value::Type::Real);
    }
  }
}

TEST(Json, RefusesWhatJsonCannotCarry) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    Value value;
    const char* reason;
  };
  const Case cases[] = {
      {Array{Data{1}}, "data"},
      {Dictionary{{"when", Date{0}}}, "date"},
      {Array{inf}, "invalid number value (inf)"},
      {Array{-inf}, "invalid number value"},
      {Array{std::nan("")}, "invalid number value (nan)"},
      {Dictionary{{"list", Array{1, 2, Dictionary{{"x", Data{}}}}}}, "$.list[2].x"},
      {Array{"\xff"}, "not valid UTF-8"},
      {Dictionary{{"\xff", 1}}, "key is not valid UTF-8"},
      {"fragment", "fragments"},
      {1, "fragments"},
      {Value(), "fragments"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(isValidJSONObject(c.value)) << c.value.description();
    Error error;
    EXPECT_FALSE(serialize(c.value, {}, &error).has_value()) << c.value.description();
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.code, kInvalidJSONError);
    EXPECT_NE(error.description.find(c.reason), std::string::npos) << error.description;
  }
}

TEST(Json, FragmentsAreWrittenWhenAllowed) {
  WriteOptions fragments;
  fragments.fragmentsAllowed = true;
  EXPECT_EQ(serialize(Value("a/b"), fragments).value(), R"("a\/b")");
  EXPECT_EQ(serialize(Value(12), fragments).value(), "12");
  EXPECT_EQ(serialize(Value(), fragments).value(), "null");
  EXPECT_EQ(serialize(Value(true), fragments).value(), "true");
  EXPECT_FALSE(serialize(Value(Data{}), fragments).has_value());
}

TEST(Json, IsValidJsonObject) {
  EXPECT_TRUE(isValidJSONObject(Value(Array{})));
  EXPECT_TRUE(isValidJSONObject(Value(Dictionary{})));
  EXPECT_TRUE(isValidJSONObject(Value(Dictionary{{"a", Array{1, 1u, 1.5, "s", true, Value()}}})));
  EXPECT_FALSE(isValidJSONObject(Value("s")));
  EXPECT_TRUE(isValidJSONObject(Value("s"), true));
  EXPECT_TRUE(isValidJSONObject(Value(), true));
  EXPECT_FALSE(isValidJSONObject(Value(Date{0}), true));
  EXPECT_FALSE(isValidJSONObject(Value(Array{Array{Data{}}})));
}

}  // namespace
}  // namespace os::json
