#include "measurement/foundation/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "measurement/foundation/monitor_capture.h"

namespace measurement {
namespace {

struct ConversionCase {
  const char* name;
  os::Value object;
  bool allowArray;
  std::optional<Value> expected;
};

TEST(Value, ConvertsPlainObjectsByKind) {
  os::Array items{os::Dictionary{{"item_id", "a"}}};
  const ConversionCase cases[] = {
      {"boolean", os::Value(true), false, Value(int64_t{1})},
      {"integer", os::Value(3), false, Value(int64_t{3})},
      {"real", os::Value(2.5), false, Value(2.5)},
      {"whole real", os::Value(3.0), false, Value(3.0)},
      {"large unsigned saturates", os::Value(std::numeric_limits<uint64_t>::max()), false,
       Value(std::numeric_limits<int64_t>::max())},
      {"string", os::Value("text"), false, Value(std::string("text"))},
      {"array allowed", os::Value(items), true, Value(items)},
      {"array refused", os::Value(items), false, std::nullopt},
      {"null", os::Value(), true, std::nullopt},
      {"dictionary", os::Value(os::Dictionary{{"a", 1}}), true, std::nullopt},
      {"date", os::Value(os::Date{1.0}), true, std::nullopt},
      {"data", os::Value(os::Data{1, 2}), true, std::nullopt},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Value> value = Value::valueFromObject(c.object, c.allowArray);
    ASSERT_EQ(value.has_value(), c.expected.has_value());
    if (value) {
      EXPECT_EQ(*value, *c.expected);
    }
  }
}

TEST(Value, AccessorsAnswerOnlyTheirOwnKind) {
  Value real(2.9), integer(int64_t{7}), text(std::string("x")), array(os::Array{});
  EXPECT_EQ(real.int64Value(), 0);  // not a truncation
  EXPECT_EQ(integer.doubleValue(), 0.0);
  EXPECT_EQ(real.stringValue(), nullptr);
  EXPECT_EQ(text.arrayValue(), nullptr);
  EXPECT_EQ(array.stringValue(), nullptr);
  EXPECT_TRUE(real.isDouble() && integer.isInt64() && text.isString() && array.isArray());
  EXPECT_EQ(real.valueType(), Value::Kind::kDouble);
  EXPECT_EQ(array.valueType(), Value::Kind::kArray);
}

TEST(Value, KeepsItsOwnCopyOfAnArray) {
  os::Array items{os::Dictionary{{"item_id", "a"}}};
  Value value = *Value::valueFromObject(os::Value(items), true);
  items.push_back(os::Dictionary{{"item_id", "b"}});
  ASSERT_NE(value.arrayValue(), nullptr);
  EXPECT_EQ(value.arrayValue()->size(), 1u);
}

TEST(Value, RefusesWrongObjectsAndSaysWhy) {
  struct Case {
    const char* what;
    std::function<std::optional<Value>()> make;
    int64_t code;
  };
  const Case cases[] = {
      {"nil", [] { return Value::valueFromObject(os::Value()); }, 35000},
      {"date", [] { return Value::valueFromObject(os::Value(os::Date{1})); }, 35001},
      {"array refused", [] { return Value::valueFromObject(os::Value(os::Array{})); }, 35001},
      {"nil string", [] { return Value::initWithString(os::Value()); }, 35002},
      {"number as string", [] { return Value::initWithString(os::Value(5)); }, 35003},
      {"nil array", [] { return Value::initWithArray(os::Value()); }, 35004},
      {"string as array", [] { return Value::initWithArray(os::Value("a")); }, 35005},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MonitorCapture capture;
    EXPECT_FALSE(c.make());
    std::vector<MonitorRecord> records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, 0);
    EXPECT_EQ(records[0].code, c.code);
  }
  EXPECT_EQ(*Value::initWithString(os::Value("a"))->stringValue(), "a");
  EXPECT_TRUE(Value::initWithArray(os::Value(os::Array{}))->isArray());
}

TEST(Value, EqualityNeedsTheSameKindAndHashAgreesWithIt) {
  struct Pair {
    Value a, b;
    bool equal;
  };
  double nan = std::nan("");
  const Pair pairs[] = {
      {Value(1.0), Value(int64_t{1}), false},
      {Value(std::string("1")), Value(int64_t{1}), false},
      {Value(std::string("a")), Value(std::string("a")), true},
      {Value(0.0), Value(-0.0), true},
      {Value(nan), Value(-nan), true},
      {Value(os::Array{1, "x"}), Value(os::Array{1, "x"}), true},
      {Value(os::Array{1}), Value(os::Array{2}), false},
  };
  for (const Pair& pair : pairs) {
    SCOPED_TRACE(pair.a.description() + " vs " + pair.b.description());
    EXPECT_EQ(pair.a == pair.b, pair.equal);
    if (pair.equal) {
      EXPECT_EQ(pair.a.hash(), pair.b.hash());
    }
  }
  Value copy = Value(os::Array{1});
  Value shared = copy;
  EXPECT_EQ(copy.arrayValue(), shared.arrayValue());  // copies share the stored array
}

TEST(Value, DescribesTheStoredObject) {
  EXPECT_EQ(Value(std::string("Home")).description(), "Home");
  EXPECT_EQ(Value(int64_t{5}).description(), "5");
  EXPECT_EQ(Value(2.5).description(), "2.5");
}

}  // namespace
}  // namespace measurement
