// Wrappers over real bytes: decoding, encoding and copying, with the protocol's edge cases.
#include "measurement/wire/nano_message.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "measurement/wire/access.h"
#include "measurement/wire/schema/apmpb.h"
#include "measurement/wire/wire_test_support.h"

namespace {

using wire::testing::bytes;
using wire::testing::concat;
using wire::testing::delimited;
using wire::testing::stdoutOf;

template <class Wrapper>
Wrapper decoded(const os::Data& wire) {
  std::optional<Wrapper> message = Wrapper::initWithBuffer(wire);
  EXPECT_TRUE(message);
  return message ? std::move(*message) : Wrapper();
}

// The n-th level of a chain of nested messages through the repeated field `tag`.
os::Data nested(uint32_t tag, int levels) {
  os::Data wire;
  for (int level = 1; level < levels; ++level) wire = delimited(tag, wire);
  return wire;
}

TEST(WireMessage, EdgeCases) {
  struct Case {
    const char* name;
    std::function<void()> check;
  };
  const std::vector<Case> cases = {
      {"bundle index 6 is wire field 26, written after field 25",
       [] {
         APMPBMeasurementBundle bundle;
         APMPBSetInt64(bundle, kMeasurementBundle_previous_bundle_start_timestamp_millis, 5);
         APMPBSetString(bundle, kMeasurementBundle_gmp_app_id, "g");
         EXPECT_EQ(*bundle.protoBuffer(), bytes({0xCA, 0x01, 0x01, 'g', 0xD0, 0x01, 0x05}));
         APMPBMeasurementBundle read =
             decoded<APMPBMeasurementBundle>(bytes({0x38, 0x07}));  // field 7
         EXPECT_EQ(APMPBGetInt64(read, kMeasurementBundle_previous_bundle_end_timestamp_millis), 7);
         EXPECT_FALSE(
             APMPBHasField(read, kMeasurementBundle_previous_bundle_start_timestamp_millis));
       }},
      {"unknown wire field 36 is skipped and not written again",
       [] {
         APMPBMeasurementBundle read =
             decoded<APMPBMeasurementBundle>(bytes({0x08, 0x01, 0xA0, 0x02, 0x09}));
         EXPECT_EQ(*read.protoBuffer(), bytes({0x08, 0x01}));
       }},
      {"the enum at index 41 reads through GetInt32, even from a ten-byte varint",
       [] {
         APMPBMeasurementBundle read = decoded<APMPBMeasurementBundle>(bytes({0xA8, 0x03, 0x03}));
         EXPECT_EQ(APMPBGetInt32(read, kMeasurementBundle_apple_consent_status), 3);
         read = decoded<APMPBMeasurementBundle>(
             bytes({0xA8, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
         EXPECT_EQ(APMPBGetInt32(read, kMeasurementBundle_apple_consent_status), -1);
       }},
      {"a singular string keeps its first occurrence, a scalar its last",
       [] {
         APMPBEvent read =
             decoded<APMPBEvent>(concat({delimited(2, bytes("first")), bytes({0x18, 0x01}),
                                         delimited(2, bytes("second")), bytes({0x18, 0x02})}));
         EXPECT_EQ(APMPBGetString(read, kEvent_name), "first");
         EXPECT_EQ(APMPBGetInt64(read, kEvent_timestamp_millis), 2);
       }},
      {"empty input is an empty message and an empty message encodes to nothing",
       [] {
         APMPBMeasurementBundle read = decoded<APMPBMeasurementBundle>({});
         for (int32_t index = 0; index < 53; ++index) {
           if (!read.messageInfo()->field(index).isRepeated()) {
             EXPECT_FALSE(APMPBHasField(read, index));
           }
         }
         EXPECT_TRUE(APMPBGetArray<APMPBEvent>(read, kMeasurementBundle_events).empty());
         EXPECT_EQ(*read.protoBuffer(), os::Data());
         EXPECT_EQ(*APMPBMeasurementConfig().protoBuffer(), os::Data());
       }},
      {"two wrappers made from one message are independent",
       [] {
         APMPBEvent source;
         APMPBSetString(source, kEvent_name, "_s");
         std::optional<APMPBEvent> a = APMPBEvent::initWithMessageInfo(source.messageInfo());
         std::optional<APMPBEvent> b = APMPBEvent::initWithMessageInfo(source.messageInfo());
         APMPBSetString(*a, kEvent_name, "_e");
         EXPECT_EQ(APMPBGetString(*b, kEvent_name), "_s");
         EXPECT_EQ(APMPBGetString(source, kEvent_name), "_s");
         APMPBEvent copy = *a;
         APMPBSetString(copy, kEvent_name, "copy");
         EXPECT_EQ(APMPBGetString(*a, kEvent_name), "_e");
       }},
      {"a wrapper made from another message's info is nothing",
       [] {
         APMPBMeasurementBundle bundle;
         EXPECT_FALSE(APMPBEvent::initWithMessageInfo(bundle.messageInfo()));
         EXPECT_TRUE(APMPBEvent::initWithMessageInfo(nullptr));
       }},
      {"fields come out in ascending tag order, repeated integers one tagged varint each, packed "
       "input read",
       [] {
         // experiment_ids (45) packed, then protocol_version (1), then events (2).
         APMPBMeasurementBundle read = decoded<APMPBMeasurementBundle>(
             concat({delimited(45, bytes({0x01, 0x80, 0x01})), bytes({0x08, 0x01}),
                     delimited(2, delimited(2, bytes("e")))}));
         EXPECT_EQ(*read.protoBuffer(),
                   concat({bytes({0x08, 0x01}), delimited(2, delimited(2, bytes("e"))),
                           bytes({0xE8, 0x02, 0x01, 0xE8, 0x02, 0x80, 0x01})}));
       }},
      {"an empty packed list is valid and adds nothing",
       [] {
         APMPBMeasurementBundle read = decoded<APMPBMeasurementBundle>(
             concat({delimited(45, {}), delimited(45, bytes({0x07})), bytes({0x08, 0x01})}));
         EXPECT_EQ(*read.protoBuffer(), bytes({0x08, 0x01, 0xE8, 0x02, 0x07}));
       }},
      {"schema defaults never reach the message",
       [] {
         APMPBPsmSetting psm = decoded<APMPBPsmSetting>({});
         EXPECT_FALSE(APMPBHasField(psm, kPsmSetting_psm_prefix_email));
         EXPECT_EQ(APMPBGetInt32(psm, kPsmSetting_psm_prefix_email), 0);
         EXPECT_EQ(APMPBGetInt32(psm, kPsmSetting_psm_signin_delay), 0);
         APMPBMeasurementBatch batch = decoded<APMPBMeasurementBatch>({});
         EXPECT_FALSE(APMPBHasField(batch, kMeasurementBatch_enum_9));
         APMPBEvent event = decoded<APMPBEvent>(delimited(2, bytes("x")));
         EXPECT_EQ(APMPBGetInt64(event, kEvent_previous_timestamp_millis), 0);
       }},
      {"configuration tags 12 and 13 are skipped; index 11 is tag 14, kept with every unread field",
       [] {
         const os::Data wire =
             concat({bytes({0x18, 0x05}), bytes({0x40, 0x01}), bytes({0x60, 0x01}),
                     delimited(13, bytes("x")), delimited(14, bytes("s14")),
                     delimited(17, delimited(1, bytes("sgtm"))),
                     delimited(18, delimited(2, bytes("region")))});
         APMPBMeasurementConfig config = decoded<APMPBMeasurementConfig>(wire);
         EXPECT_EQ(APMPBGetString(config, kMeasurementConfig_string_14), "s14");
         EXPECT_EQ(*config.protoBuffer(),
                   concat({bytes({0x18, 0x05}), bytes({0x40, 0x01}), delimited(14, bytes("s14")),
                           delimited(17, delimited(1, bytes("sgtm"))),
                           delimited(18, delimited(2, bytes("region")))}));
       }},
      {"uint64 status words 2^63 and 0 survive as unsigned values",
       [] {
         APMPBResultData data;
         APMPBSetArray(data, kResultData_status, os::Array{uint64_t{1} << 63, 0});
         const os::Data wire = *data.protoBuffer();
         EXPECT_EQ(wire, bytes({0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01,
                                0x08, 0x00}));
         EXPECT_EQ(APMPBGetArray(decoded<APMPBResultData>(wire), kResultData_status),
                   (os::Array{uint64_t{1} << 63, uint64_t{0}}));
       }},
      {"an event filter changed through the access layer keeps the fields it carried",
       [] {
         APMPBEventFilter filter = decoded<APMPBEventFilter>(
             concat({bytes({0x08, 0x02}), bytes({0x20, 0x01}), delimited(5, bytes({0x08, 0x03}))}));
         APMPBSetString(filter, kEventFilter_event_name, "_vs");
         EXPECT_EQ(*filter.protoBuffer(),
                   concat({bytes({0x08, 0x02}), delimited(2, bytes("_vs")), bytes({0x20, 0x01}),
                           delimited(5, bytes({0x08, 0x03}))}));
       }},
      {"an audience without filters has both lists empty",
       [] {
         APMPBAudience audience;
         APMPBSetInt32(audience, kAudience_audience_id, 1);
         APMPBAudience read = decoded<APMPBAudience>(*audience.protoBuffer());
         EXPECT_TRUE(APMPBGetArray<APMPBPropertyFilter>(read, kAudience_property_filters).empty());
         EXPECT_TRUE(APMPBGetArray<APMPBEventFilter>(read, kAudience_event_filters).empty());
       }},
      {"an array item holding its own array value is representable",
       [] {
         const os::Data wire = delimited(6, delimited(6, delimited(1, bytes("deep"))));
         APMPBEventParam param = decoded<APMPBEventParam>(wire);
         std::vector<APMPBEventParam> items =
             APMPBGetArray<APMPBEventParam>(param, kEventParam_param_value);
         ASSERT_EQ(items.size(), 1u);
         EXPECT_EQ(APMPBGetArray<APMPBEventParam>(items[0], kEventParam_param_value).size(), 1u);
         EXPECT_EQ(*param.protoBuffer(), wire);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.check();
  }
}

TEST(WireMessage, AStringOfOneMebibyteInTheThirdBundleDecodesOneByteMoreFailsTheBatch) {
  for (size_t length : {size_t{1048576}, size_t{1048577}}) {
    const os::Data bundle = delimited(1, delimited(8, os::Data(2, 'x')));
    const os::Data third = delimited(1, delimited(8, os::Data(length, 'x')));
    const os::Data batch = concat({bundle, bundle, third});
    std::optional<APMPBMeasurementBatch> read;
    const std::string printed =
        stdoutOf([&] { read = APMPBMeasurementBatch::initWithBuffer(batch); });
    if (length == 1048576) {
      ASSERT_TRUE(read);
      std::vector<APMPBMeasurementBundle> bundles =
          APMPBGetArray<APMPBMeasurementBundle>(*read, kMeasurementBatch_bundles);
      ASSERT_EQ(bundles.size(), 3u);
      EXPECT_EQ(APMPBGetString(bundles[2], kMeasurementBundle_platform)->size(), length);
      EXPECT_EQ(printed, "");
    } else {
      EXPECT_FALSE(read);
      EXPECT_EQ(printed.rfind(
                    "Unable to process proto stream. Buffer is too big. 1048577 > 1048576\n", 0),
                0u);
      EXPECT_NE(printed.find("<ERROR> MeasurementBundle decoder failed: Unable to decode repeated "
                             "MeasurementBundle\n"),
                std::string::npos);
      EXPECT_NE(printed.find("<ERROR> MeasurementBatch decoder failed: "), std::string::npos);
    }
  }
}

TEST(WireMessage, MalformedInputGivesNoMessage) {
  const std::vector<os::Data> inputs = {
      bytes({0x08}),                    // varint cut short
      bytes({0x12, 0x05, 'a'}),         // length past the end
      bytes({0x0B}),                    // group start
      bytes({0x0A, 0x02, 0x0A, 0x05}),  // a parameter whose own length runs past its event
  };
  for (const os::Data& input : inputs) {
    std::optional<APMPBEvent> read;
    const std::string printed = stdoutOf([&] { read = APMPBEvent::initWithBuffer(input); });
    EXPECT_FALSE(read);
    EXPECT_NE(printed.find("<ERROR> Event decoder failed: "), std::string::npos) << printed;
  }
}

TEST(WireMessage, EmptyStringsArePresentBothWays) {
  // name (tag 2) present with length 0.
  APMPBEvent read = decoded<APMPBEvent>(bytes({0x12, 0x00}));
  EXPECT_TRUE(APMPBHasField(read, kEvent_name));
  EXPECT_EQ(APMPBGetString(read, kEvent_name), "");
  EXPECT_EQ(*read.protoBuffer(), bytes({0x12, 0x00}));
  // A later non-empty occurrence does not replace the first, empty one.
  EXPECT_EQ(APMPBGetString(decoded<APMPBEvent>(bytes({0x12, 0x00, 0x12, 0x01, 'x'})), kEvent_name),
            "");
  // Inside items and in repeated strings as well.
  const os::Data bundle =
      concat({delimited(2, bytes({0x12, 0x00})), delimited(64, {}), delimited(64, bytes("b"))});
  APMPBMeasurementBundle readBundle = decoded<APMPBMeasurementBundle>(bundle);
  EXPECT_EQ(APMPBGetArray(readBundle, kMeasurementBundle_redacted_fields), (os::Array{"", "b"}));
  EXPECT_EQ(*readBundle.protoBuffer(), bundle);
}

TEST(WireMessage, NestingStopsAtOneHundredLevels) {
  // A runtime entity holding one argument, holding one argument, ...: 100 levels decode.
  std::optional<APMPBRuntimeEntity> atLimit =
      APMPBRuntimeEntity::initWithBuffer(nested(2, wire::kMaxNestingDepth));
  ASSERT_TRUE(atLimit);
  EXPECT_EQ(wire::nestingDepth(*atLimit->messageInfo()), wire::kMaxNestingDepth);
  EXPECT_EQ(*atLimit->protoBuffer(), nested(2, wire::kMaxNestingDepth));

  std::optional<APMPBRuntimeEntity> deeper;
  const std::string printed = stdoutOf(
      [&] { deeper = APMPBRuntimeEntity::initWithBuffer(nested(2, wire::kMaxNestingDepth + 1)); });
  EXPECT_FALSE(deeper);
  EXPECT_NE(printed.find("<ERROR> RuntimeEntity decoder failed: nesting too deep\n"),
            std::string::npos);

  // A hostile depth fails the same way, without exhausting the stack.
  stdoutOf([] { EXPECT_FALSE(APMPBEventParam::initWithBuffer(nested(6, 5000))); });

  // Nor can the setters build a deeper tree.
  APMPBRuntimeEntity parent;
  EXPECT_EQ(stdoutOf([&] {
              APMPBSetArray(parent, kRuntimeEntity_value,
                            std::vector<APMPBRuntimeEntity>{*atLimit});
            }),
            "<ERROR> Message nests deeper than 100 levels. Type: APMPBRuntimeEntity\n");
  EXPECT_TRUE(APMPBGetArray<APMPBRuntimeEntity>(parent, kRuntimeEntity_value).empty());
}

TEST(WireMessage, GoldenBundleReadsBackWithProtocDecodeRaw) {
  APMPBEvent event;
  APMPBSetString(event, kEvent_name, "_vs");
  APMPBSetInt64(event, kEvent_timestamp_millis, 1700000000000);
  APMPBMeasurementBundle bundle;
  APMPBSetArray(bundle, kMeasurementBundle_experiment_ids, os::Array{7, 9});
  APMPBSetArray(bundle, kMeasurementBundle_events, std::vector<APMPBEvent>{event});
  APMPBSetInt64(bundle, kMeasurementBundle_previous_bundle_start_timestamp_millis, 3);
  APMPBSetInt32(bundle, kMeasurementBundle_protocol_version, 1);
  APMPBSetString(bundle, kMeasurementBundle_platform, "linux");

  const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                     ("wire_golden_" + std::to_string(::getpid()) + ".bin");
  const os::Data wire = *bundle.protoBuffer();
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(wire.data()), wire.size());
  std::string decoded;
  FILE* protoc =
      ::popen((std::string(TESSARO_PROTOC) + " --decode_raw < " + file.string()).c_str(), "r");
  ASSERT_NE(protoc, nullptr);
  char buffer[256];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, protoc)) decoded.append(buffer, n);
  EXPECT_EQ(::pclose(protoc), 0);
  std::filesystem::remove(file);
  EXPECT_EQ(decoded,
            "1: 1\n"
            "2 {\n"
            "  2: \"_vs\"\n"
            "  3: 1700000000000\n"
            "}\n"
            "8: \"linux\"\n"
            "26: 3\n"
            "45: 7\n"
            "45: 9\n");
}

}  // namespace
