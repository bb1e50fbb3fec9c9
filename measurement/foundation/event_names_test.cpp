#include "measurement/foundation/event_names.h"

#include <gtest/gtest.h>

namespace measurement {
namespace {

TEST(EventNames, TablesHoldTheirVocabulary) {
  EXPECT_EQ(publicToInternalEventNames().size(), 32u);
  EXPECT_EQ(publicToInternalEventNames().at("screen_view"), "_vs");
  EXPECT_EQ(publicToInternalEventNames().at("in_app_purchase"), "_iap");
  EXPECT_EQ(publicToInternalEventNames().at("riveravo_campaign"), "_cmp");
  EXPECT_EQ(publicToInternalEventNames().at("ga_campaign"), "_cmp");
  EXPECT_EQ(itemsArrayEventNames().size(), 20u);
  EXPECT_TRUE(itemsArrayEventNames().contains("view_search_results"));
  EXPECT_FALSE(itemsArrayEventNames().contains("login"));
  EXPECT_EQ(allowedPublicAdEventNames().size(), 1u);
  EXPECT_EQ(allowedPublicAdEventNames().at("ad_impression"), "_ai");
}

TEST(EventNames, ReverseTableKeepsOnePublicNamePerInternalName) {
  // 32 pairs, two of which share "_cmp".
  EXPECT_EQ(internalToPublicEventNames().size(), 31u);
  EXPECT_EQ(internalToPublicEventNames().at("_cmp"), "ga_campaign");
  for (const auto& [publicName, internalName] : publicToInternalEventNames()) {
    if (internalName == "_cmp") continue;
    EXPECT_EQ(internalToPublicEventNames().at(internalName), publicName);
  }
}

}  // namespace
}  // namespace measurement
