#include "measurement/wire/flag_conversion.h"

#include <gtest/gtest.h>

#include <vector>

#include "measurement/wire/access.h"

namespace {

struct Complaint {
  int level;
  int code;
  std::string message;
  std::optional<std::string> context;
};

class FlagConversion : public ::testing::Test {
 protected:
  FlagConversion() {
    wire::setFlagMonitorSink([this](int level, int code, std::string_view message,
                                    const std::optional<std::string>& context) {
      complaints_.push_back({level, code, std::string(message), context});
    });
  }
  ~FlagConversion() override { wire::setFlagMonitorSink(nullptr); }

  std::vector<Complaint> complaints_;
};

TEST_F(FlagConversion, ValuesGoToTheFieldOfTheirKind) {
  struct Case {
    os::Value value;
    int32_t field;
    os::Value readBack;
  };
  const std::vector<Case> cases = {
      {true, kFlag_int_value, int64_t{1}},  // booleans are stored as integers
      {2.5, kFlag_double_value, 2.5},
      {3, kFlag_int_value, int64_t{3}},
      {uint64_t{18446744073709551615u}, kFlag_int_value, int64_t{-1}},
      {"on", kFlag_string_value, "on"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.description());
    std::optional<APMPBFlag> flag = flagProtoWithNameAndValue("f", c.value);
    ASSERT_TRUE(flag);
    EXPECT_EQ(APMPBGetString(*flag, kFlag_name), "f");
    for (int32_t field :
         {kFlag_int_value, kFlag_string_value, kFlag_double_value, kFlag_bool_value}) {
      EXPECT_EQ(APMPBHasField(*flag, field), field == c.field) << field;
    }
    const os::Value read = flagValueFromProto(&*flag);
    EXPECT_EQ(read, c.readBack);
    EXPECT_EQ(read.type(), c.readBack.type());
  }
  EXPECT_TRUE(complaints_.empty());
}

TEST_F(FlagConversion, ReadingPrefersIntegerThenDoubleThenStringThenBool) {
  APMPBFlag flag;
  EXPECT_TRUE(flagValueFromProto(&flag).isNull());
  EXPECT_TRUE(flagValueFromProto(nullptr).isNull());
  APMPBSetBool(flag, kFlag_bool_value, true);
  EXPECT_EQ(flagValueFromProto(&flag), os::Value(true));
  APMPBSetString(flag, kFlag_string_value, "s");
  EXPECT_EQ(flagValueFromProto(&flag), os::Value("s"));
  APMPBSetDouble(flag, kFlag_double_value, 0.5);
  EXPECT_EQ(flagValueFromProto(&flag), os::Value(0.5));
  APMPBSetInt64(flag, kFlag_int_value, 7);
  EXPECT_EQ(flagValueFromProto(&flag), os::Value(int64_t{7}));
}

TEST_F(FlagConversion, BadNamesAndValuesAreRefusedWithTheirCodes) {
  EXPECT_FALSE(flagProtoWithNameAndValue(nullptr, 1));
  EXPECT_FALSE(flagProtoWithNameAndValue(5, 1));
  EXPECT_FALSE(flagProtoWithNameAndValue("f", os::Date{0}));
  EXPECT_FALSE(flagProtoWithNameAndValue("f", nullptr));
  ASSERT_EQ(complaints_.size(), 4u);
  EXPECT_EQ(complaints_[0].code, 850000);
  EXPECT_EQ(complaints_[0].message, "Flag name must not be nil");
  EXPECT_EQ(complaints_[1].code, 850001);
  EXPECT_EQ(complaints_[1].message, "Flag name must be a string");
  EXPECT_EQ(complaints_[1].context, "Integer");
  EXPECT_EQ(complaints_[2].code, 850002);
  EXPECT_EQ(complaints_[2].message, "Flag value is invalid");
  EXPECT_EQ(complaints_[2].context, "Date");
  EXPECT_EQ(complaints_[3].context, "Null");
  for (const Complaint& complaint : complaints_) EXPECT_EQ(complaint.level, 1);
}

}  // namespace
