// The snapshot model: what it keeps of the wire messages, and what copies carry.
#include "measurement/experiments/snapshot.h"

#include <gtest/gtest.h>

#include "measurement/experiments/experiments_test_support.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/wire/access.h"
#include "measurement/wire/schema/cpp/experiment.pb.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

using testing::experimentIDs;
using testing::makeExperiment;
using testing::makeFlag;
using testing::makeSnapshot;
namespace reference = tessaro::measurement;

template <typename Wrapper>
Wrapper decodeWith(const std::string& bytes) {
  std::optional<Wrapper> wrapper = Wrapper::initWithBuffer(
      std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  EXPECT_TRUE(wrapper);
  return wrapper.value_or(Wrapper());
}

template <typename Reference>
Reference encodedBy(const NANOMessageBase& message) {
  os::Data bytes = message.protoBuffer().value_or(os::Data());
  Reference decoded;
  EXPECT_TRUE(decoded.ParseFromArray(bytes.data(), static_cast<int>(bytes.size())));
  return decoded;
}

// The monitor hears the refusals; its work stays inside the sandbox.
class SnapshotTest : public ::testing::Test {
 protected:
  testing::DatabaseSandbox sandbox_;
};

TEST_F(SnapshotTest, KeepsOneExperimentPerIdAndOneFlagPerName) {
  APMESnapshot snapshot = makeSnapshot(
      "sdk", {{5, {{"a", 1}}}, {5, {{"a", 2}, {"b", "x"}, {"a", 3}}}, {0, {{"launched", true}}}});
  EXPECT_EQ(experimentIDs(snapshot), (std::vector<int64_t>{0, 5}));
  // The later experiment 5 replaced the earlier, and within it the later "a" the earlier.
  EXPECT_EQ(flagValueFromProto(snapshot.flagByName("a")), os::Value(3));
  EXPECT_EQ(flagValueFromProto(snapshot.flagByName("b")), os::Value("x"));
  EXPECT_EQ(flagValueFromProto(snapshot.flagByName("launched")), os::Value(1));
  EXPECT_EQ(snapshot.flagByName("missing"), nullptr);
  EXPECT_EQ(makeSnapshot("sdk", {}).flagByName("a"), nullptr);

  MonitorCapture capture;
  EXPECT_EQ(APMESnapshot::initWithSDKName("", {}), std::nullopt);
  EXPECT_TRUE(capture.contains(840000));
}

TEST_F(SnapshotTest, ReadsTheWireFormLeavingOutNamelessFlags) {
  reference::Snapshot wire;
  wire.set_sdk_name("sdk");
  reference::Experiment* noID = wire.add_experiments();
  noID->add_flags()->set_name("default_id");
  noID->mutable_flags(0)->set_double_value(2.5);
  reference::Experiment* nine = wire.add_experiments();
  nine->set_experiment_id(9);
  nine->add_flags()->set_int_value(4);  // no name
  nine->add_flags()->set_name("kept");
  nine->mutable_flags(1)->set_string_value("v");

  MonitorCapture capture;
  std::optional<APMESnapshot> snapshot =
      APMESnapshot::initWithProtobuf(decodeWith<APMPBSnapshot>(wire.SerializeAsString()));
  ASSERT_TRUE(snapshot);
  EXPECT_TRUE(capture.contains(870006));
  EXPECT_EQ(experimentIDs(*snapshot), (std::vector<int64_t>{0, 9}));
  EXPECT_EQ(snapshot->experiments()[1].flags().size(), 1u);
  EXPECT_EQ(flagValueFromProto(snapshot->flagByName("default_id")), os::Value(2.5));

  // And back: the form the database stores.
  reference::Snapshot stored = encodedBy<reference::Snapshot>(snapshot->proto());
  EXPECT_EQ(stored.sdk_name(), "sdk");
  ASSERT_EQ(stored.experiments_size(), 2);
  EXPECT_EQ(stored.experiments(1).experiment_id(), 9);
  EXPECT_EQ(stored.experiments(1).flags(0).name(), "kept");
  EXPECT_EQ(stored.experiments(1).flags(0).string_value(), "v");
}

TEST_F(SnapshotTest, ACopyHasTheTimeOfCopyingAndIsNotManuallyActivated) {
  os::clock::ScopedFakeClock clock(1'700'000'000);
  APMESnapshot snapshot = makeSnapshot("sdk", {{3, {{"f", 1}}}});
  snapshot.setManuallyActivated(true);
  snapshot.setTimestamp(12);
  clock.advance(60);
  APMESnapshot copy = snapshot.copy();
  EXPECT_EQ(copy.timestamp(), 1'700'000'060);
  EXPECT_FALSE(copy.manuallyActivated());
  EXPECT_EQ(copy.SDKName(), "sdk");
  EXPECT_EQ(experimentIDs(copy), (std::vector<int64_t>{3}));
}

TEST_F(SnapshotTest, AddedFlagsJoinTheirExperiment) {
  APMESnapshot snapshot = makeSnapshot("sdk", {{3, {{"f", 1}}}});
  snapshot.addFlags({makeFlag("f", 2), makeFlag("g", "x")}, 3);
  snapshot.addFlag(makeFlag("h", 1.5), 4);
  EXPECT_EQ(experimentIDs(snapshot), (std::vector<int64_t>{3, 4}));
  EXPECT_EQ(flagValueFromProto(snapshot.flagByName("f")), os::Value(2));
  EXPECT_EQ(flagValueFromProto(snapshot.flagByName("g")), os::Value("x"));
  EXPECT_EQ(flagValueFromProto(snapshot.flagByName("h")), os::Value(1.5));
}

}  // namespace
}  // namespace measurement
