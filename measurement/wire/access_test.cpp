#include "measurement/wire/access.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "measurement/wire/schema/apmpb.h"
#include "measurement/wire/wire_test_support.h"
#include "os/log/log.h"

namespace {

using wire::testing::stdoutOf;

TEST(WireAccess, RepeatedFieldsAlwaysExistSingularOnesOnlyWhileSet) {
  APMPBMeasurementBundle bundle;
  EXPECT_TRUE(APMPBHasField(bundle, kMeasurementBundle_events));
  EXPECT_TRUE(APMPBHasField(bundle, kMeasurementBundle_experiment_ids));
  EXPECT_FALSE(APMPBHasField(bundle, kMeasurementBundle_platform));
  APMPBSetString(bundle, kMeasurementBundle_platform, "macos");
  EXPECT_TRUE(APMPBHasField(bundle, kMeasurementBundle_platform));
  APMPBClearField(bundle, kMeasurementBundle_platform);
  EXPECT_FALSE(APMPBHasField(bundle, kMeasurementBundle_platform));
  EXPECT_EQ(APMPBGetString(bundle, kMeasurementBundle_platform), std::nullopt);
}

TEST(WireAccess, ScalarsReadBackAsWrittenAndAbsentOnesReadZero) {
  APMPBMeasurementBundle bundle;
  EXPECT_EQ(APMPBGetInt32(bundle, kMeasurementBundle_protocol_version), 0);
  EXPECT_EQ(APMPBGetInt64(bundle, kMeasurementBundle_config_version), 0);
  EXPECT_FALSE(APMPBGetBool(bundle, kMeasurementBundle_dma_region));

  APMPBSetBool(bundle, kMeasurementBundle_dma_region, true);
  APMPBSetInt32(bundle, kMeasurementBundle_timezone_offset_minutes, -1);
  APMPBSetInt32(bundle, kMeasurementBundle_apple_consent_status, 3);
  APMPBSetInt64(bundle, kMeasurementBundle_bundle_checksum, std::numeric_limits<int64_t>::min());
  EXPECT_TRUE(APMPBGetBool(bundle, kMeasurementBundle_dma_region));
  EXPECT_EQ(APMPBGetInt32(bundle, kMeasurementBundle_timezone_offset_minutes), -1);
  EXPECT_EQ(APMPBGetInt32(bundle, kMeasurementBundle_apple_consent_status), 3);
  EXPECT_EQ(APMPBGetInt64(bundle, kMeasurementBundle_bundle_checksum),
            std::numeric_limits<int64_t>::min());

  APMPBEventParam param;
  APMPBSetFloat(param, kEventParam_float_value, -0.0f);
  APMPBSetDouble(param, kEventParam_double_value, std::nan(""));
  EXPECT_TRUE(std::signbit(APMPBGetFloat(param, kEventParam_float_value)));
  EXPECT_TRUE(std::isnan(APMPBGetDouble(param, kEventParam_double_value)));
}

TEST(WireAccess, AnOperationOnAFieldOfAnotherKindLogsAndChangesNothing) {
  struct Case {
    const char* name;
    std::function<void(APMPBMeasurementBundle&)> operation;
    const char* logged;
  };
  const std::vector<Case> cases = {
      {"GetInt32 on a repeated uint32",
       [](auto& b) { EXPECT_EQ(APMPBGetInt32(b, kMeasurementBundle_experiment_ids), 0); },
       "<Nano/Failure> Field type isn't a scalar INT32. Message: MeasurementBundle, field ID: 37"},
      {"GetInt32 on a string",
       [](auto& b) { EXPECT_EQ(APMPBGetInt32(b, kMeasurementBundle_platform), 0); },
       "<Nano/Failure> Field type isn't a scalar INT32. Message: MeasurementBundle, field ID: 8"},
      {"GetInt32 on a bool",
       [](auto& b) { EXPECT_EQ(APMPBGetInt32(b, kMeasurementBundle_dma_region), 0); },
       "<Nano/Failure> Field type isn't a scalar INT32. Message: MeasurementBundle, field ID: 48"},
      {"GetInt64 on an int32",
       [](auto& b) { EXPECT_EQ(APMPBGetInt64(b, kMeasurementBundle_protocol_version), 0); },
       "<Nano/Failure> Field type isn't a scalar INT64. Message: MeasurementBundle, field ID: 0"},
      {"SetBool on an int64",
       [](auto& b) { APMPBSetBool(b, kMeasurementBundle_config_version, true); },
       "<Nano/Failure> Field type isn't a scalar BOOL. Message: MeasurementBundle, field ID: 34"},
      {"SetDouble on an int64",
       [](auto& b) { APMPBSetDouble(b, kMeasurementBundle_config_version, 1.5); },
       "<Nano/Failure> Field type isn't a scalar DOUBLE. Message: MeasurementBundle, field ID: 34"},
      {"GetFloat on an int64",
       [](auto& b) { EXPECT_EQ(APMPBGetFloat(b, kMeasurementBundle_config_version), 0.0f); },
       "<Nano/Failure> Field type isn't a scalar FLOAT. Message: MeasurementBundle, field ID: 34"},
      {"SetString on an int32",
       [](auto& b) { APMPBSetString(b, kMeasurementBundle_protocol_version, "1"); },
       "<Nano/Failure> Field type isn't a scalar STRING. Message: MeasurementBundle, field ID: 0"},
      {"SetBytes on an int32",
       [](auto& b) {
         APMPBSetBytes(b, kMeasurementBundle_protocol_version, os::Data{1, 2});
       },
       "<Nano/Failure> Field type isn't a scalar STRING. Message: MeasurementBundle, field ID: 0"},
      {"GetBytes on a message",
       [](auto& b) {
         EXPECT_EQ(APMPBGetBytes(b, kMeasurementBundle_ad_campaign_info), std::nullopt);
       },
       "<Nano/Failure> Field type isn't a scalar STRING. Message: MeasurementBundle, field ID: 52"},
      {"GetMessage on a string",
       [](auto& b) {
         EXPECT_FALSE(APMPBGetMessage<APMPBAdCampaignInfo>(b, kMeasurementBundle_platform));
       },
       "<Nano/Failure> Field type isn't a scalar MESSAGE. Message: MeasurementBundle, field ID: 8"},
      {"GetArray on a singular",
       [](auto& b) { EXPECT_TRUE(APMPBGetArray(b, kMeasurementBundle_platform).empty()); },
       "<Nano/Failure> Field type isn't REPEATED. Message: MeasurementBundle, field ID: 8"},
      {"GetArray of wrappers on repeated strings",
       [](auto& b) {
         EXPECT_TRUE(APMPBGetArray<APMPBEvent>(b, kMeasurementBundle_redacted_fields).empty());
       },
       "<Nano/Failure> Field type isn't REPEATED. Message: MeasurementBundle, field ID: 44"},
      {"SetInt32 past the last field", [](auto& b) { APMPBSetInt32(b, 53, 1); },
       "<Nano/Failure> Field type isn't a scalar INT32. Message: MeasurementBundle, field ID: 53"},
      {"GetInt64 at a negative index", [](auto& b) { EXPECT_EQ(APMPBGetInt64(b, -1), 0); },
       "<Nano/Failure> Field type isn't a scalar INT64. Message: MeasurementBundle, field ID: -1"},
      {"HasField past the last field", [](auto& b) { EXPECT_FALSE(APMPBHasField(b, 53)); },
       "<Nano/Failure> Unknown field. Message: MeasurementBundle, field ID: 53"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    APMPBMeasurementBundle bundle;
    APMPBSetInt32(bundle, kMeasurementBundle_protocol_version, 1);
    const os::Data before = *bundle.protoBuffer();
    os::log::Capture capture;
    c.operation(bundle);
    EXPECT_TRUE(capture.contains(c.logged));
    EXPECT_EQ(*bundle.protoBuffer(), before);
  }
}

TEST(WireAccess, AMovedFromWrapperIsNotInitialised) {
  APMPBEvent event;
  APMPBEvent other = std::move(event);
  os::log::Capture capture;
  EXPECT_EQ(APMPBGetInt64(event, kEvent_timestamp_millis), 0);  // NOLINT(bugprone-use-after-move)
  APMPBSetString(event, kEvent_name, "x");
  EXPECT_FALSE(APMPBHasField(event, kEvent_name));
  EXPECT_FALSE(event.protoBuffer());
  EXPECT_TRUE(capture.contains(
      "ProtocolBuffer message hasn't been initialized. GetInt64 can't be performed"));
  EXPECT_TRUE(capture.contains(
      "ProtocolBuffer message hasn't been initialized. SetString can't be performed"));
  EXPECT_TRUE(
      capture.contains("ProtocolBuffer message hasn't been initialized. HasField operation can't "
                       "be performed. Message name Event"));
}

TEST(WireAccess, ClearingAnUnknownIndexPrintsAndChangesNothing) {
  APMPBMeasurementBundle bundle;
  APMPBSetString(bundle, kMeasurementBundle_app_id, "app");
  EXPECT_EQ(stdoutOf([&] { APMPBClearField(bundle, 53); }),
            "<ERROR> MeasurementBundle: Cannot deallocate field 53: Unknown field\n");
  EXPECT_EQ(stdoutOf([&] { EXPECT_FALSE(wire::deallocMessageField(*bundle.messageInfo(), 53)); }),
            "<ERROR> MeasurementBundle: Cannot deallocate field 53: Unknown field\n");
  EXPECT_EQ(APMPBGetString(bundle, kMeasurementBundle_app_id), "app");
}

TEST(WireAccess, StringsNilClearsEmptyStaysPresentBytesNeedNotBeUtf8) {
  APMPBEvent event;
  APMPBSetString(event, kEvent_name, "");
  EXPECT_TRUE(APMPBHasField(event, kEvent_name));
  EXPECT_EQ(APMPBGetString(event, kEvent_name), "");
  APMPBSetString(event, kEvent_name, std::nullopt);
  EXPECT_FALSE(APMPBHasField(event, kEvent_name));

  const os::Data notUtf8 = {0xC3, 0x28};
  APMPBSetBytes(event, kEvent_name, notUtf8);
  EXPECT_EQ(APMPBGetString(event, kEvent_name), std::nullopt);
  EXPECT_EQ(APMPBGetBytes(event, kEvent_name), notUtf8);
  APMPBSetBytes(event, kEvent_name, std::nullopt);
  EXPECT_FALSE(APMPBHasField(event, kEvent_name));
}

TEST(WireAccess, SetBytesOnAnIntegerFieldLeavesItsValue) {
  APMPBEvent event;
  APMPBSetInt64(event, kEvent_timestamp_millis, 42);
  os::log::Capture capture;
  APMPBSetBytes(event, kEvent_timestamp_millis, os::Data{1, 2, 3});
  EXPECT_EQ(APMPBGetBytes(event, kEvent_timestamp_millis), std::nullopt);
  EXPECT_TRUE(capture.contains(
      "<Nano/Failure> Field type isn't a scalar STRING. Message: Event, field ID: 2"));
  EXPECT_EQ(APMPBGetInt64(event, kEvent_timestamp_millis), 42);
}

TEST(WireAccess, SubMessagesAreCopiedInAndOut) {
  APMPBFilter filter;
  APMPBNumberFilter number;
  APMPBSetInt32(number, kNumberFilter_comparison_type, 4);
  APMPBSetMessage(filter, kFilter_number_filter, &number);
  APMPBSetInt32(number, kNumberFilter_comparison_type, 1);  // after the set: no effect on filter

  std::optional<APMPBNumberFilter> read =
      APMPBGetMessage<APMPBNumberFilter>(filter, kFilter_number_filter);
  ASSERT_TRUE(read);
  EXPECT_EQ(APMPBGetInt32(*read, kNumberFilter_comparison_type), 4);
  APMPBSetInt32(*read, kNumberFilter_comparison_type, 2);  // a copy: the filter keeps 4
  EXPECT_EQ(APMPBGetInt32(*APMPBGetMessage<APMPBNumberFilter>(filter, kFilter_number_filter),
                          kNumberFilter_comparison_type),
            4);

  // Reading with another message's wrapper answers nothing.
  EXPECT_FALSE(APMPBGetMessage<APMPBStringFilter>(filter, kFilter_number_filter));
  EXPECT_FALSE(APMPBGetMessage<APMPBStringFilter>(filter, kFilter_string_filter));  // absent
  APMPBSetMessage(filter, kFilter_number_filter, nullptr);
  EXPECT_FALSE(APMPBHasField(filter, kFilter_number_filter));
}

TEST(WireAccess, SetMessageRefusesAMessageOfAnotherType) {
  APMPBFilter filter;
  APMPBNumberFilter number;
  APMPBSetString(number, kNumberFilter_comparison_value, "5");
  APMPBSetMessage(filter, kFilter_number_filter, &number);
  APMPBStringFilter wrongType;
  os::log::Capture capture;
  APMPBSetMessage(filter, kFilter_number_filter, &wrongType);
  EXPECT_TRUE(capture.contains(
      "<Nano/Failure> Field type isn't a scalar MESSAGE. Message: Filter, field ID: 1"));
  EXPECT_EQ(APMPBGetString(*APMPBGetMessage<APMPBNumberFilter>(filter, kFilter_number_filter),
                           kNumberFilter_comparison_value),
            "5");
}

TEST(WireAccess, ArraysOfNumbersAndStrings) {
  APMPBMeasurementBundle bundle;
  APMPBSetArray(bundle, kMeasurementBundle_experiment_ids,
                os::Array{1, 4294967295u, -1, 2.7, true});
  EXPECT_EQ(APMPBGetArray(bundle, kMeasurementBundle_experiment_ids),
            (os::Array{1u, 4294967295u, 4294967295u, 2u, 1u}));
  for (const os::Value& id : APMPBGetArray(bundle, kMeasurementBundle_experiment_ids)) {
    EXPECT_EQ(id.type(), os::Value::Type::Unsigned);
  }
  APMPBSetArray(bundle, kMeasurementBundle_experiment_ids, std::nullopt);
  EXPECT_TRUE(APMPBGetArray(bundle, kMeasurementBundle_experiment_ids).empty());

  APMPBSetArray(bundle, kMeasurementBundle_redacted_fields, os::Array{"a", "", "é"});
  EXPECT_EQ(APMPBGetArray(bundle, kMeasurementBundle_redacted_fields), (os::Array{"a", "", "é"}));

  APMPBSequenceFilterResultTimestamp sequence;
  APMPBSetArray(sequence, kSequenceFilterResultTimestamp_eval_timestamps,
                os::Array{-5, int64_t{1} << 40});
  EXPECT_EQ(APMPBGetArray(sequence, kSequenceFilterResultTimestamp_eval_timestamps),
            (os::Array{-5, int64_t{1} << 40}));
}

TEST(WireAccess, AnArrayWithAWrongElementLeavesTheFieldEmpty) {
  struct Case {
    int32_t index;
    os::Array values;
    const char* printed;
  };
  const std::vector<Case> cases = {
      {kMeasurementBundle_redacted_fields,
       {"a", "b", 3},
       "<ERROR> Invalid object type. String fields expect NSString. Type: Integer\n"},
      {kMeasurementBundle_experiment_ids,
       {1, 2, "3"},
       "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: String\n"},
      {kMeasurementBundle_events,
       {1},
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: Integer\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printed);
    APMPBMeasurementBundle bundle;
    APMPBSetArray(bundle, kMeasurementBundle_redacted_fields, os::Array{"old"});
    APMPBSetArray(bundle, kMeasurementBundle_experiment_ids, os::Array{7});
    EXPECT_EQ(stdoutOf([&] { APMPBSetArray(bundle, c.index, c.values); }), c.printed);
    EXPECT_TRUE(APMPBGetArray(bundle, c.index).empty());
  }
}

TEST(WireAccess, ArraysOfMessagesTakeOnlyTheFieldsMessageType) {
  APMPBEvent first;
  APMPBSetString(first, kEvent_name, "_vs");
  APMPBEvent second;
  APMPBSetString(second, kEvent_name, "_e");
  APMPBMeasurementBundle bundle;
  APMPBSetArray(bundle, kMeasurementBundle_events, std::vector<APMPBEvent>{first, second});
  APMPBSetString(first, kEvent_name, "changed");  // the bundle holds its own copies
  std::vector<APMPBEvent> events = APMPBGetArray<APMPBEvent>(bundle, kMeasurementBundle_events);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(APMPBGetString(events[0], kEvent_name), "_vs");
  EXPECT_EQ(APMPBGetString(events[1], kEvent_name), "_e");
  EXPECT_TRUE(APMPBGetArray<APMPBUserAttribute>(bundle, kMeasurementBundle_events).empty());

  // An Event where user attributes belong would be encoded with the wrong schema.
  APMPBUserAttribute attribute;
  const std::vector<const NANOMessageBase*> mixed = {&attribute, &second};
  EXPECT_EQ(
      stdoutOf([&] { APMPBSetArray(bundle, kMeasurementBundle_user_attributes, mixed); }),
      "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: APMPBEvent\n");
  EXPECT_TRUE(
      APMPBGetArray<APMPBUserAttribute>(bundle, kMeasurementBundle_user_attributes).empty());

  EXPECT_EQ(stdoutOf([&] {
              APMPBSetArray(bundle, kMeasurementBundle_redacted_fields,
                            std::vector<APMPBEvent>{first});
            }),
            "<ERROR> Invalid object type. String fields expect NSString. Type: APMPBEvent\n");
}

TEST(WireAccess, AStringItemThatIsNotUtf8IsLeftOutOfTheArray) {
  // redacted_fields (tag 64) with "a", then the bytes C3 28, then "b".
  const os::Data wire =
      wire::testing::concat({wire::testing::delimited(64, wire::testing::bytes("a")),
                             wire::testing::delimited(64, {0xC3, 0x28}),
                             wire::testing::delimited(64, wire::testing::bytes("b"))});
  std::optional<APMPBMeasurementBundle> bundle = APMPBMeasurementBundle::initWithBuffer(wire);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(APMPBGetArray(*bundle, kMeasurementBundle_redacted_fields), (os::Array{"a", "b"}));
  EXPECT_EQ(*bundle->protoBuffer(), wire);
}

}  // namespace
