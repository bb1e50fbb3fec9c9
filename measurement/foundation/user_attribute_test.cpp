#include "measurement/foundation/user_attribute.h"

#include <gtest/gtest.h>

#include "measurement/wire/access.h"
#include "testsupport/text.h"

namespace measurement {
namespace {

TEST(UserAttribute, IsMadeOnlyFromAValidNameAndValue) {
  struct Case {
    const char* name;
    Value value;
    bool made;
  };
  const Case cases[] = {
      {"_fot", Value(int64_t{1}), true},
      {"first_open_time", Value(2.5), true},
      {"", Value(int64_t{1}), false},
      {"has space", Value(int64_t{1}), false},
      {"abcdefghijklmnopqrstuvwx", Value(int64_t{1}), true},  // 24
      {"abcdefghijklmnopqrstuvwxy", Value(int64_t{1}), false},
      {"color", Value(std::string("")), false},
      {"color", Value(std::string(36, 'a')), true},
      {"color", Value(std::string(37, 'a')), false},
      // 36 emoji are 36 scalars, though 144 bytes.
      {"mood", Value(testsupport::repeated("\U0001F600", 36)), true},
      {"_id", Value(std::string(256, 'a')), true},
      {"_id", Value(std::string(257, 'a')), false},
      {"_gbraid", Value(std::string(256, 'a')), true},
      {"_psmvalue", Value(std::string(256, 'a')), true},
      {"_other", Value(std::string(37, 'a')), false},
      {"items", Value(os::Array{}), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<UserAttribute> attribute = UserAttribute::create("app", c.name, c.value, 1);
    EXPECT_EQ(attribute.has_value(), c.made);
    if (attribute) {
      EXPECT_EQ(attribute->origin(), "app");
      EXPECT_EQ(attribute->name(), c.name);
      EXPECT_EQ(attribute->value(), c.value);
    }
  }
}

TEST(UserAttribute, IsPublicWhenTheNameDoesNotStartWithAnUnderscore) {
  EXPECT_TRUE(UserAttribute::create("app", "first_open_time", Value(int64_t{1}), 0)->isPublic());
  EXPECT_FALSE(UserAttribute::create("auto", "_fot", Value(int64_t{1}), 0)->isPublic());
}

TEST(UserAttribute, BuildsItsUploadMessage) {
  struct Case {
    const char* what;
    Value value;
    double timestamp;
    int64_t millis;
  };
  const Case cases[] = {
      {"string", Value(std::string("blue")), 1.9995, 1999},
      {"int64", Value(int64_t{42}), 1700000000.5, 1700000000500},
      {"double", Value(2.5), 0, 0},
      {"array", Value(os::Array{os::Dictionary{}}), 1e300, INT64_MAX},  // saturates
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    APMPBUserAttribute message =
        UserAttribute::create("app", "color", c.value, c.timestamp)->protoUserAttribute();
    EXPECT_EQ(APMPBGetInt64(message, kUserAttribute_set_timestamp_millis), c.millis);
    EXPECT_EQ(APMPBGetString(message, kUserAttribute_name), "color");
    EXPECT_EQ(
        APMPBGetString(message, kUserAttribute_string_value),
        c.value.stringValue() ? std::optional<std::string>(*c.value.stringValue()) : std::nullopt);
    EXPECT_EQ(APMPBHasField(message, kUserAttribute_int_value), c.value.isInt64());
    EXPECT_EQ(APMPBGetInt64(message, kUserAttribute_int_value), c.value.int64Value());
    EXPECT_EQ(APMPBHasField(message, kUserAttribute_double_value), c.value.isDouble());
    EXPECT_EQ(APMPBGetDouble(message, kUserAttribute_double_value), c.value.doubleValue());
    EXPECT_FALSE(APMPBHasField(message, kUserAttribute_float_value));
  }
}

}  // namespace
}  // namespace measurement
