#include "measurement/model/display_names.h"

#include <gtest/gtest.h>

#include "measurement/foundation/monitor.h"

namespace measurement {
namespace {

// Debug mode on for one test, off again after it.
class DebugMode : public ::testing::Test {
 protected:
  void SetUp() override { monitor().setDebugModeEnabled(true); }
  void TearDown() override { monitor().setDebugModeEnabled(false); }
};

TEST_F(DebugMode, ShowsPublicNamesBesideInternalOnes) {
  struct Case {
    std::string shown, expected;
  };
  const Case cases[] = {
      {eventDisplayName("_f"), "first_open (_f)"},
      {eventDisplayName("first_open"), "first_open"},
      {eventDisplayName("_cmp"), "ga_campaign (_cmp)"},
      {eventDisplayName("_unknown"), "_unknown"},
      {eventDisplayName(""), ""},
      {parameterDisplayName("_err"), "ga_error (_err)"},
      {parameterDisplayName("_ffr"), "riveravo_feature_rollouts (_ffr)"},  // the only one
      {userPropertyDisplayName("_fot"), "first_open_time (_fot)"},
      {userPropertyDisplayName("_exp_123"), "experiment_id (_exp_123)"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.shown, c.expected);
}

TEST_F(DebugMode, DescribesParametersAsSortedBlocks) {
  Parameters parameters{{"_sn", Value(std::string("Home"))}, {"_err", Value(int64_t{5})}};
  EXPECT_EQ(dictionaryDescription(parameters),
            "{\n    ga_error (_err) = ParameterLimitReached (5);\n    ga_screen (_sn) = Home;\n}");
  EXPECT_EQ(dictionaryDescription(Parameters{{"_err", Value(int64_t{26})}}),
            "{\n    ga_error (_err) = 26;\n}");

  Parameters withItems{{"items", Value(os::Array{os::Dictionary{{"price", 2}, {"Item_id", "a"}}})}};
  EXPECT_EQ(dictionaryDescription(withItems),
            "{\n    items = [\n    {\n        Item_id = a;\n        price = 2;\n    }\n    ];\n}");
}

TEST(DisplayNames, ArePlainOutsideDebugMode) {
  ASSERT_FALSE(monitor().isDebugModeEnabled());
  EXPECT_EQ(eventDisplayName("_f"), "_f");
  EXPECT_EQ(parameterDisplayName("_err"), "_err");
  EXPECT_EQ(userPropertyDisplayName("_fot"), "_fot");
  EXPECT_EQ(userPropertyDisplayName("_exp_1"), "experiment_id (_exp_1)");
  Parameters parameters{{"_sn", Value(std::string("Home"))}, {"_err", Value(int64_t{5})}};
  EXPECT_EQ(dictionaryDescription(parameters), "{\n    _err = 5;\n    _sn = Home;\n}");
  EXPECT_EQ(arrayDescription(os::Array{1}), "(\n    1\n)");
}

}  // namespace
}  // namespace measurement
