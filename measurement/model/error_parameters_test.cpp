#include "measurement/model/error_parameters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/text.h"

namespace measurement {
namespace {

TEST(ErrorParameters, TrimsToUnicodeScalars) {
  const std::string emoji = "\U0001F600";
  struct Case {
    std::string text;
    int32_t limit;
    std::string expected;
  };
  const Case cases[] = {
      {std::string(40, 'a'), 40, std::string(40, 'a')},
      {std::string(41, 'a'), 40, std::string(40, 'a') + "..."},
      {testsupport::repeated(emoji, 41), 40, testsupport::repeated(emoji, 40) + "..."},
      {testsupport::repeated("\u00e9", 3), 2, "\u00e9\u00e9..."},
      {"", 0, ""},
      {"a\xff"
       "bc",
       2, "a\uFFFD..."},  // ill-formed bytes read as U+FFFD
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(trimmedToLimit(c.text, c.limit), c.expected);
  }
}

TEST(ErrorParameters, RecordOnlyTheFirstProblem) {
  Parameters parameters;
  Value longName(std::string(41, 'n'));
  addErrorParameters(parameters, 3, *longName.stringValue(), 40, &longName);
  addErrorParameters(parameters, 14, "second", 40, nullptr);
  setErrorCodeIfAbsent(parameters, 5);
  addErrorValueParameters(parameters, "third", 40, nullptr);
  EXPECT_EQ(parameters, (Parameters{{"_err", Value(int64_t{3})},
                                    {"_ev", Value(std::string(40, 'n') + "...")},
                                    {"_el", Value(int64_t{41})}}));

  Parameters withCode{{"_err", Value(int64_t{9})}};
  addErrorParameters(withCode, 4, "name", 40, nullptr);  // any of the three stops it
  EXPECT_EQ(withCode.size(), 1u);
  addErrorValueParameters(withCode, std::nullopt, 40, nullptr);  // but not the value parameters
  EXPECT_EQ(withCode.at("_ev"), Value(std::string("(nil)")));
  EXPECT_FALSE(withCode.contains("_el"));
}

TEST(ErrorParameters, LengthsOfStringsArraysAndNumbers) {
  EXPECT_EQ(errorValueLength(Value(std::string("\U0001F600ab"))), 3);
  EXPECT_EQ(errorValueLength(Value(os::Array{1, 2})), 2);
  EXPECT_EQ(errorValueLength(Value(int64_t{123456})), 0);
}

struct LoggedEvent {
  std::string origin, name;
  Parameters parameters;
};

class ErrorEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    setInternalEventLogger([this](std::string_view origin, std::string_view name, Parameters p) {
      logged_.push_back({std::string(origin), std::string(name), std::move(p)});
    });
  }
  void TearDown() override { setInternalEventLogger(nullptr); }
  std::vector<LoggedEvent> logged_;
};

TEST_F(ErrorEvents, GoThroughTheFacadeAsAutoErrEvents) {
  logErrorEvent(0);
  EXPECT_TRUE(logged_.empty());
  logErrorEvent(19);
  ASSERT_EQ(logged_.size(), 1u);
  EXPECT_EQ(logged_[0].origin, "auto");
  EXPECT_EQ(logged_[0].name, "_err");
  EXPECT_EQ(logged_[0].parameters, (Parameters{{"_err", Value(int64_t{19})}}));
}

TEST_F(ErrorEvents, CarryTheLengthOnlyForLongStringsAndValueErrors) {
  Value shortText(std::string("abc")), longText(std::string(41, 'x')), number(int64_t{7});
  struct Case {
    int64_t code;
    const Value* value;
    bool hasLength;
  };
  const Case cases[] = {
      {13, &shortText, false}, {13, &longText, true}, {4, &shortText, true},
      {7, &number, true},      {13, nullptr, false},  {0, &longText, false},
  };
  for (const Case& c : cases) {
    logged_.clear();
    logErrorEventWithNameAndValue(c.code, "user_name", 40, c.value);
    if (c.code == 0) {
      EXPECT_TRUE(logged_.empty());
      continue;
    }
    ASSERT_EQ(logged_.size(), 1u);
    const Parameters& parameters = logged_[0].parameters;
    EXPECT_EQ(parameters.at("_err"), Value(c.code));
    EXPECT_EQ(parameters.at("_ev"), Value(std::string("user_name")));
    EXPECT_EQ(parameters.contains("_el"), c.hasLength) << c.code;
  }
}

}  // namespace
}  // namespace measurement
