#include "measurement/model/event_names.h"

#include <gtest/gtest.h>

namespace measurement {
namespace {

TEST(ModelNames, TablesHoldTheirVocabulary) {
  EXPECT_EQ(errorCodeNames().size(), 25u);
  EXPECT_EQ(errorCodeNames().at(5), "ParameterLimitReached");
  EXPECT_EQ(errorCodeNames().at(28), "ItemScopedCustomParameterLimitReached");
  for (int64_t unnamed : {24, 25, 26, 27}) EXPECT_FALSE(errorCodeNames().contains(unnamed));
  EXPECT_EQ(itemParameterNames().size(), 33u);
  EXPECT_TRUE(itemParameterNames().contains("item_location_id"));
  for (const char* name : {"ecommerce_purchase", "_f", "_iap", "purchase", "refund"}) {
    EXPECT_TRUE(isPurchaseEventName(name)) << name;
  }
  EXPECT_FALSE(isPurchaseEventName("purchase_refund"));
}

TEST(ModelNames, AnswersQuestionsAboutNames) {
  struct Case {
    const char* name;
    bool isPublic, isError;
  };
  for (Case c : {Case{"login", true, false}, Case{"_s", false, false}, Case{"_err", false, true},
                 Case{"", false, false}, Case{"error", true, false}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(isPublicName(c.name), c.isPublic);
    EXPECT_EQ(isErrorEvent(c.name), c.isError);
  }
  EXPECT_FALSE(isNotErrorEventName("_err"));
  EXPECT_TRUE(isNotErrorEventName("_e"));
}

TEST(ModelNames, RecognisesSubscriptions) {
  Parameters subscription{{"subscription", Value(int64_t{1})}};
  Parameters notSubscription{{"subscription", Value(1.0)}};
  EXPECT_TRUE(isSubscriptionEvent("_assc", {}));
  EXPECT_TRUE(isSubscriptionEvent("_assr", {}));
  EXPECT_TRUE(isSubscriptionEvent("_iap", subscription));
  EXPECT_FALSE(isSubscriptionEvent("_iap", notSubscription));  // a double is not the int64 1
  EXPECT_FALSE(isSubscriptionEvent("_iap", {}));
  EXPECT_FALSE(isSubscriptionEvent("purchase", subscription));
}

TEST(ModelNames, ScreenParametersAndArrayCounts) {
  Parameters parameters{{"_sn", Value(std::string("Home"))},
                        {"_si", Value(int64_t{3})},
                        {"items", Value(os::Array{os::Dictionary{}, os::Dictionary{}})},
                        {"more", Value(os::Array{os::Dictionary{}})},
                        {"value", Value(1.5)}};
  EXPECT_TRUE(hasScreenParameters(parameters));
  EXPECT_FALSE(hasScreenParameters({{"value", Value(1.5)}}));
  EXPECT_EQ(screenParametersFromParameters(parameters),
            (Parameters{{"_sn", Value(std::string("Home"))}, {"_si", Value(int64_t{3})}}));
  EXPECT_TRUE(screenParametersFromParameters({}).empty());
  EXPECT_EQ(arrayParameterElementCount(parameters), 3);
  EXPECT_EQ(arrayParameterElementCount({}), 0);
}

}  // namespace
}  // namespace measurement
