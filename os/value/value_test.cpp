#include "os/value/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace os {
namespace {

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr uint64_t kUint64Max = std::numeric_limits<uint64_t>::max();

TEST(Value, KindsFromConstructors) {
  EXPECT_EQ(Value().type(), Value::Type::Null);
  EXPECT_EQ(Value(nullptr).type(), Value::Type::Null);
  EXPECT_EQ(Value(true).type(), Value::Type::Boolean);
  EXPECT_EQ(Value(3).type(), Value::Type::Integer);
  EXPECT_EQ(Value(3L).type(), Value::Type::Integer);
  EXPECT_EQ(Value(3LL).type(), Value::Type::Integer);
  EXPECT_EQ(Value(int64_t{3}).type(), Value::Type::Integer);
  EXPECT_EQ(Value(3u).type(), Value::Type::Unsigned);
  EXPECT_EQ(Value(size_t{3}).type(), Value::Type::Unsigned);
  EXPECT_EQ(Value(3ULL).type(), Value::Type::Unsigned);
  EXPECT_EQ(Value(3.5).type(), Value::Type::Real);
  EXPECT_EQ(Value("text").type(), Value::Type::String);
  EXPECT_EQ(Value(std::string_view("text")).type(), Value::Type::String);
  EXPECT_EQ(Value(std::string("text")).type(), Value::Type::String);
  EXPECT_EQ(Value(Data{1, 2}).type(), Value::Type::Data);
  EXPECT_EQ(Value(Date{1}).type(), Value::Type::Date);
  EXPECT_EQ(Value(Array{1, 2}).type(), Value::Type::Array);
  EXPECT_EQ(Value(Dictionary{{"a", 1}}).type(), Value::Type::Dictionary);

  EXPECT_TRUE(Value(1).isNumber());
  EXPECT_TRUE(Value(1u).isNumber());
  EXPECT_TRUE(Value(1.0).isNumber());
  EXPECT_FALSE(Value(true).isNumber());
  EXPECT_FALSE(Value("1").isNumber());
  EXPECT_TRUE(Value(1).isInteger());
  EXPECT_TRUE(Value(1u).isInteger());
  EXPECT_FALSE(Value(1.0).isInteger());
  EXPECT_FALSE(Value(true).isInteger());
}

TEST(Value, TypedAccessGivesNullForOtherKinds) {
  Value number(7);
  ASSERT_NE(number.asInteger(), nullptr);
  EXPECT_EQ(*number.asInteger(), 7);
  EXPECT_EQ(number.asUnsigned(), nullptr);
  EXPECT_EQ(number.asReal(), nullptr);
  EXPECT_EQ(number.asString(), nullptr);
  EXPECT_EQ(number.asBool(), nullptr);

  Value list = Array{1, 2};
  list.asArray()->push_back("three");
  EXPECT_EQ(list.count(), 3u);
  Value dictionary = Dictionary{};
  (*dictionary.asDictionary())["key"] = 1;
  EXPECT_EQ(dictionary.count(), 1u);
  EXPECT_EQ(Value("abc").count(), 0u);
}

TEST(Value, LookupsGiveNullWhenMissing) {
  Value params = Dictionary{{"ea", "Launch"}, {"count", 3}, {"list", Array{"a", "b"}}};
  EXPECT_EQ(*params["ea"].asString(), "Launch");
  EXPECT_EQ(params["count"].integerValue(), 3);
  EXPECT_TRUE(params["missing"].isNull());
  EXPECT_EQ(params["list"][1], Value("b"));
  EXPECT_TRUE(params["list"][2].isNull());
  EXPECT_TRUE(params["list"]["key"].isNull());
  EXPECT_TRUE(params[0].isNull());
  EXPECT_TRUE(Value(3)["key"].isNull());
  EXPECT_EQ(&params["missing"], &nullValue());
  std::string key = "ea";
  EXPECT_EQ(params[key], Value("Launch"));
}

TEST(Value, EqualityOfNumbersAcrossKinds) {
  struct Case {
    Value a, b;
    bool equal;
  };
  const Case cases[] = {
      {1, 1u, true},
      {1, 1.0, true},
      {1u, 1.0, true},
      {-1, kUint64Max, false},
      {-1, -1.0, true},
      {0, -0.0, true},
      {1, 1.5, false},
      {kInt64Max, 9223372036854775807.0, false},  // the double is 2^63
      {uint64_t{1} << 63, 9223372036854775808.0, true},
      {kInt64Min, -9223372036854775808.0, true},
      {kUint64Max, 18446744073709551616.0, false},
      {uint64_t{1} << 53, 9007199254740992.0, true},
      {(int64_t{1} << 53) + 1, 9007199254740992.0, false},
      {0.1, 0.1, true},
      {std::nan(""), std::nan(""), true},  // like NSNumber, so that equality is reflexive
      {std::nan(""), 0, false},
      {true, true, true},
      {true, false, false},
      {true, 1, false},  // a Boolean equals only a Boolean
      {false, 0, false},
      {false, 0.0, false},
      {1, "1", false},
      {Value(), Value(), true},
      {Value(), 0, false},
      {Value(), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " vs " << c.b.description();
    EXPECT_EQ(c.b == c.a, c.equal) << c.b.description() << " vs " << c.a.description();
    EXPECT_EQ(c.a != c.b, !c.equal);
  }
}

TEST(Value, DeepEquality) {
  Value a = Dictionary{{"list", Array{1, "two", Data{3}, Date{4}}}, {"map", Dictionary{{"k", 1}}}};
  Value b =
      Dictionary{{"list", Array{1u, "two", Data{3}, Date{4}}}, {"map", Dictionary{{"k", 1.0}}}};
  EXPECT_EQ(a, b);
  Value c = b;
  (*c.asDictionary())["map"] = Dictionary{{"k", 2}};
  EXPECT_NE(a, c);
  EXPECT_NE(Value(Array{1, 2}), Value(Array{1}));
  EXPECT_NE(Value(Array{1, 2}), Value(Array{2, 1}));
  EXPECT_NE(Value(Dictionary{{"a", 1}}), Value(Dictionary{{"b", 1}}));
  EXPECT_NE(Value(Data{1}), Value(Data{2}));
  EXPECT_NE(Value(Date{1}), Value(Date{2}));
  EXPECT_NE(Value(Date{1}), Value(1));
  EXPECT_NE(Value("a"), Value("b"));
  EXPECT_NE(Value(Array{}), Value(Dictionary{}));
}

TEST(Value, Coercions) {
  struct Case {
    Value value;
    bool boolean;
    int64_t integer;
    uint64_t unsignedInteger;
    double real;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {Value(), false, 0, 0, 0},
      {true, true, 1, 1, 1},
      {false, false, 0, 0, 0},
      {0, false, 0, 0, 0},
      {-5, true, -5, 0, -5},  // negative to unsigned saturates at 0
      {kInt64Min, true, kInt64Min, 0, -9223372036854775808.0},
      {kUint64Max, true, kInt64Max, kUint64Max, 18446744073709551616.0},
      {0.5, true, 0, 0, 0.5},
      {-0.5, true, 0, 0, -0.5},
      {2.9, true, 2, 2, 2.9},
      {-2.9, true, -2, 0, -2.9},
      {1e300, true, kInt64Max, kUint64Max, 1e300},
      {-1e300, true, kInt64Min, 0, -1e300},
      {std::nan(""), true, 0, 0, std::nan("")},
      {0.0, false, 0, 0, 0},
      {"12abc", true, 12, 12, 12},
      {"  -42", true, -42, 0, -42},
      {"\t\n+7", true, 7, 7, 7},
      {"3.99", true, 3, 3, 3.99},
      {"1e3", true, 1, 1, 1000},
      {".5", false, 0, 0, 0.5},  // boolValue sees '.' after no digit 1-9
      {"0.5", false, 0, 0, 0.5},
      {"007", true, 7, 7, 7},
      {"-0", false, 0, 0, -0.0},
      {"99999999999999999999", true, kInt64Max, kUint64Max, 1e20},
      {"-99999999999999999999", true, kInt64Min, 0, -1e20},
      {"18446744073709551615", true, kInt64Max, kUint64Max, 18446744073709551615.0},
      {"1e400", true, 1, 1, inf},
      {"-1e400", true, -1, 0, -inf},
      {"1e-400", true, 1, 1, 0},
      {"YES", true, 0, 0, 0},
      {"yes", true, 0, 0, 0},
      {"true", true, 0, 0, 0},
      {"True", true, 0, 0, 0},
      {"y", true, 0, 0, 0},
      {"t", true, 0, 0, 0},
      {"NO", false, 0, 0, 0},
      {"false", false, 0, 0, 0},
      {"", false, 0, 0, 0},
      {"abc", false, 0, 0, 0},
      {"  ", false, 0, 0, 0},
      {"-", false, 0, 0, 0},
      {"1.", true, 1, 1, 1},
      {"2e", true, 2, 2, 2},
      {"inf", false, 0, 0, 0},
      {Data{1}, false, 0, 0, 0},
      {Date{5}, false, 0, 0, 0},
      {Array{1}, false, 0, 0, 0},
      {Dictionary{{"a", 1}}, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.description());
    EXPECT_EQ(c.value.boolValue(), c.boolean);
    EXPECT_EQ(c.value.integerValue(), c.integer);
    EXPECT_EQ(c.value.unsignedValue(), c.unsignedInteger);
    if (std::isnan(c.real)) {
      EXPECT_TRUE(std::isnan(c.value.doubleValue()));
    } else {
      EXPECT_EQ(c.value.doubleValue(), c.real);
    }
  }
  EXPECT_TRUE(std::signbit(Value("-0").doubleValue()));
}

TEST(Value, StringValue) {
  EXPECT_EQ(Value("text").stringValue(), "text");
  EXPECT_EQ(Value("").stringValue(), "");
  EXPECT_EQ(Value(true).stringValue(), "1");
  EXPECT_EQ(Value(false).stringValue(), "0");
  EXPECT_EQ(Value(-12).stringValue(), "-12");
  EXPECT_EQ(Value(kUint64Max).stringValue(), "18446744073709551615");
  EXPECT_EQ(Value(0.1).stringValue(), "0.1");
  EXPECT_EQ(Value(3.0).stringValue(), "3");
  EXPECT_EQ(Value().stringValue(), std::nullopt);
  EXPECT_EQ(Value(Data{1}).stringValue(), std::nullopt);
  EXPECT_EQ(Value(Date{0}).stringValue(), std::nullopt);
  EXPECT_EQ(Value(Array{}).stringValue(), std::nullopt);
  EXPECT_EQ(Value(Dictionary{}).stringValue(), std::nullopt);
}

TEST(Value, DescriptionOfScalars) {
  struct Case {
    Value value;
    const char* text;
  };
  const Case cases[] = {
      {Value(), "<null>"},
      {true, "1"},
      {false, "0"},
      {42, "42"},
      {-7, "-7"},
      {kInt64Min, "-9223372036854775808"},
      {kUint64Max, "18446744073709551615"},
      {0.1, "0.1"},
      {3.0, "3"},
      {-2.5, "-2.5"},
      {1.0 / 3, "0.3333333333333333"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e100, "1e+100"},
      {1.5e-7, "1.5e-07"},
      {123456789012.0, "123456789012"},
      {1e16, "10000000000000000"},
      {1e17, "1e+17"},
      {1200.0, "1200"},
      {1e5, "100000"},
      {-2.5e-5, "-2.5e-05"},
      {0.0001, "0.0001"},
      {123456.789, "123456.789"},
      {-0.0, "-0"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {std::nan(""), "nan"},
      {"plain text, \"quoted\"\n", "plain text, \"quoted\"\n"},  // bare at top level
      {"", ""},
      {Data{}, "<>"},
      {Data{0x0a, 0x1b, 0x2c}, "<0a1b2c>"},
      {Data{0x0a, 0x1b, 0x2c, 0x3d}, "<0a1b2c3d>"},
      {Data{0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0xff, 0x00, 0x01}, "<0a1b2c3d 4e5fff00 01>"},
      {Date{978307200}, "2001-01-01 00:00:00 +0000"},
      {Date{0}, "1970-01-01 00:00:00 +0000"},
      {Date{1700000000.75}, "2023-11-14 22:13:20 +0000"},
      {Date{-0.5}, "1969-12-31 23:59:59 +0000"},
      {Date{-2208988800}, "1900-01-01 00:00:00 +0000"},
      {Date{32503680000}, "3000-01-01 00:00:00 +0000"},
      {Array{}, "()"},
      {Dictionary{}, "{}"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value.description(), c.text);
}

TEST(Value, DescriptionOfCollections) {
  EXPECT_EQ(Value(Array{"a", "b"}).description(), "(\n    a,\n    b\n)");
  EXPECT_EQ(Value(Dictionary{{"key", "value"}}).description(), "{\n    key = value;\n}");

  // Leaves inside collections are quoted unless made only of letters, digits and "_./$:".
  Value quoting =
      Array{"plain_Text.1/$:",   "two words", "",  "a-b", "say \"hi\"\\", "line\nbreak\ttab",
            "caf\xc3\xa9",       -1,          2.5, 1e100, true,           Value(),
            Data{1, 2, 3, 4, 5}, Date{0}};
  EXPECT_EQ(quoting.description(),
            "(\n"
            "    plain_Text.1/$:,\n"
            "    \"two words\",\n"
            "    \"\",\n"
            "    \"a-b\",\n"
            "    \"say \\\"hi\\\"\\\\\",\n"
            "    \"line\\nbreak\\ttab\",\n"
            "    \"caf\xc3\xa9\",\n"
            "    \"-1\",\n"
            "    2.5,\n"
            "    \"1e+100\",\n"
            "    1,\n"
            "    \"<null>\",\n"
            "    \"<01020304 05>\",\n"
            "    \"1970-01-01 00:00:00 +0000\"\n"
            ")");

  // Nested collections start with their own indentation, as the platform prints them.
  Value nested = Dictionary{
      {"aps", Dictionary{{"alert", "Hello there"}, {"badge", 1}}},
      {"list", Array{1, Array{2, 3}, Dictionary{{"k", "v"}}, Array{}, Dictionary{}}},
      {"my key", "x"},
      {"empty", Array{}},
  };
  EXPECT_EQ(nested.description(),
            "{\n"
            "    aps =     {\n"
            "        alert = \"Hello there\";\n"
            "        badge = 1;\n"
            "    };\n"
            "    empty =     ();\n"
            "    list =     (\n"
            "        1,\n"
            "                (\n"
            "            2,\n"
            "            3\n"
            "        ),\n"
            "                {\n"
            "            k = v;\n"
            "        },\n"
            "                (),\n"
            "                {}\n"
            "    );\n"
            "    \"my key\" = x;\n"
            "}");
}

TEST(Value, CopiesAreIndependent) {
  Value original = Dictionary{{"list", Array{1, 2}}};
  Value copy = original;
  copy.asDictionary()->at("list").asArray()->push_back(3);
  EXPECT_EQ(original["list"].count(), 2u);
  EXPECT_EQ(copy["list"].count(), 3u);
  Value moved = std::move(copy);
  EXPECT_EQ(moved["list"].count(), 3u);
}

}  // namespace
}  // namespace os
