// The generated schema tables against the protocol's fixed facts: the 42 messages, their field
// and repeated counts, the access-index order and the kind words.
#include "measurement/wire/schema/schema_types.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "measurement/wire/schema/apmpb.h"

namespace {

using wire::MessageType;

int repeatedCount(const MessageType& type) {
  int count = 0;
  for (int32_t i = 0; i < type.fieldCount; ++i) count += type.fields[i].isRepeated() ? 1 : 0;
  return count;
}

TEST(WireSchema, FortyTwoMessagesWithTheirFieldAndRepeatedCounts) {
  const std::map<std::string, std::pair<int, int>> expected = {
      {"AdCampaignInfo", {8, 0}},
      {"AppProperty", {7, 0}},
      {"Audience", {5, 2}},
      {"AudienceLeafFilterResult", {4, 0}},
      {"ClientProperty", {5, 1}},
      {"ConsentConfig", {5, 4}},
      {"ConsentDefaultEntry", {2, 0}},
      {"ConsentDelegationEntry", {2, 0}},
      {"CorePlatformServiceEntry", {2, 0}},
      {"CustomProperty", {2, 0}},
      {"DataControl", {3, 1}},
      {"DynamicFilterResultTimestamp", {2, 0}},
      {"Event", {5, 1}},
      {"EventConfig", {4, 0}},
      {"EventFilter", {8, 1}},
      {"EventParam", {6, 1}},
      {"Experiment", {2, 1}},
      {"ExperimentRequest", {2, 1}},
      {"ExperimentResponse", {2, 2}},
      {"Filter", {4, 0}},
      {"Flag", {5, 0}},
      {"MeasurementBatch", {4, 1}},
      {"MeasurementBundle", {53, 5}},
      {"MeasurementConfig", {16, 5}},
      {"NumberFilter", {5, 0}},
      {"OgtActivities", {1, 1}},
      {"OgtActivity", {2, 1}},
      {"Program", {2, 1}},
      {"PropertyFilter", {6, 0}},
      {"PsmSetting", {3, 0}},
      {"Region", {2, 0}},
      {"ResultData", {4, 4}},
      {"RuntimeEntity", {6, 1}},
      {"SdkResponse", {3, 0}},
      {"SequenceFilterResultTimestamp", {2, 1}},
      {"Setting", {2, 0}},
      {"SgtmSetting", {4, 0}},
      {"SkAdNetworkConversionValueRequest", {6, 0}},
      {"SkAdNetworkConversionValueResponse", {8, 0}},
      {"Snapshot", {2, 1}},
      {"StringFilter", {4, 1}},
      {"UserAttribute", {6, 0}},
  };
  std::map<std::string, std::pair<int, int>> actual;
  for (const MessageType* type : wire::schema::kAllMessageTypes) {
    actual[type->name] = {type->fieldCount, repeatedCount(*type)};
  }
  EXPECT_EQ(actual, expected);
}

std::vector<uint32_t> tags(const MessageType& type) {
  std::vector<uint32_t> tags;
  for (int32_t i = 0; i < type.fieldCount; ++i) tags.push_back(type.fields[i].tag);
  return tags;
}

TEST(WireSchema, IndexOrderDiffersFromTagOrderOnlyInTheBundleAndTheConfiguration) {
  std::vector<uint32_t> bundle = {1, 2, 3, 4, 5, 6, 26};
  for (uint32_t tag = 7; tag <= 19; ++tag) bundle.push_back(tag);
  bundle.push_back(27);
  for (uint32_t tag = 20; tag <= 25; ++tag) bundle.push_back(tag);
  bundle.push_back(28);
  for (uint32_t tag = 29; tag <= 35; ++tag) bundle.push_back(tag);
  for (uint32_t tag : {39, 41, 45, 47, 50, 52, 53, 55, 63, 64, 65, 67, 71, 72, 73, 75, 77, 79})
    bundle.push_back(tag);
  EXPECT_EQ(tags(wire::schema::kMeasurementBundleType), bundle);
  EXPECT_EQ(tags(wire::schema::kMeasurementConfigType),
            (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 14, 15, 16, 17, 18}));

  const std::set<std::string> tagOrderExceptions = {"MeasurementBundle", "MeasurementConfig",
                                                    "MeasurementBatch"};
  for (const MessageType* type : wire::schema::kAllMessageTypes) {
    if (tagOrderExceptions.count(type->name)) continue;
    for (int32_t i = 0; i < type->fieldCount; ++i) {
      EXPECT_EQ(type->fields[i].tag, static_cast<uint32_t>(i + 1)) << type->name << " index " << i;
    }
  }
  EXPECT_EQ(tags(wire::schema::kMeasurementBatchType), (std::vector<uint32_t>{1, 7, 8, 9}));
}

TEST(WireSchema, KindWords) {
  const wire::FieldInfo* bundle = wire::schema::kMeasurementBundleType.fields;
  EXPECT_EQ(kMeasurementBundle_retry_count, 35);
  EXPECT_EQ(bundle[kMeasurementBundle_retry_count].tag, 39u);
  EXPECT_EQ(kMeasurementBundle_experiment_ids, 37);
  EXPECT_EQ(bundle[kMeasurementBundle_experiment_ids].kind, 0x108);
  EXPECT_EQ(bundle[kMeasurementBundle_apple_consent_status].kind, 0x42);
  EXPECT_EQ(bundle[kMeasurementBundle_previous_bundle_start_timestamp_millis].kind, 0x202);
  EXPECT_EQ(bundle[kMeasurementBundle_ad_campaign_info].kind, 0x4002);
  EXPECT_EQ(wire::schema::kResultDataType.fields[kResultData_status].kind, 0x408);
  EXPECT_EQ(wire::schema::kSequenceFilterResultTimestampType
                .fields[kSequenceFilterResultTimestamp_eval_timestamps]
                .kind,
            0x208);
  EXPECT_EQ(wire::schema::kEventParamType.fields[kEventParam_float_value].kind, 0x802);

  std::set<int32_t> kinds;
  for (const MessageType* type : wire::schema::kAllMessageTypes) {
    for (int32_t i = 0; i < type->fieldCount; ++i) kinds.insert(type->fields[i].kind);
  }
  EXPECT_EQ(kinds, (std::set<int32_t>{0x22, 0x42, 0x82, 0x202, 0x802, 0x1002, 0x2002, 0x4002, 0x108,
                                      0x208, 0x408, 0x2008, 0x4008}));
}

TEST(WireSchema, EnumKindsAreTheMarkedThirtyTwoBitFields) {
  std::set<std::string> enums;
  for (const MessageType* type : wire::schema::kAllMessageTypes) {
    for (int32_t i = 0; i < type->fieldCount; ++i) {
      if (type->fields[i].kind == 0x42)
        enums.insert(std::string(type->name) + "." + type->fields[i].name);
    }
  }
  EXPECT_EQ(enums,
            (std::set<std::string>{
                "MeasurementBatch.enum_9", "MeasurementBundle.apple_consent_status",
                "SkAdNetworkConversionValueResponse.enum_1",
                "SkAdNetworkConversionValueResponse.enum_4", "SdkResponse.error_code",
                "ConsentDefaultEntry.consent_type", "ConsentDefaultEntry.consent_status",
                "ConsentDelegationEntry.consent_type", "ConsentDelegationEntry.follows_type",
                "RuntimeEntity.type", "NumberFilter.comparison_type", "StringFilter.match_type"}));
}

}  // namespace
