// One SDK's experiments at one moment: what the server sent, what is stored pending, activated
// or launched, and what the manager answers flags from.
//
//   std::optional<APMESnapshot> snapshot = APMESnapshot::initWithProtobuf(proto);   // now
//   const APMPBFlag* flag = snapshot->flagByName("f");
//   APMESnapshot copy = snapshot->copy();   // a new timestamp, not manually activated
//
// A value type without a lock; the manager and the task manager hand each other copies.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/experiments/experiment.h"
#include "measurement/wire/schema/apmpb.h"

namespace measurement {

class APMESnapshot {
 public:
  // Keeps one experiment per id, a later one replacing an earlier one; the timestamp is now and
  // the snapshot is not manually activated. nullopt (840000) for an empty SDK name.
  static std::optional<APMESnapshot> initWithSDKName(
      std::string_view SDKName, const std::vector<APMEExperiment>& experiments);
  // The SDK name of field 1 and the experiments of field 2.
  static std::optional<APMESnapshot> initWithProtobuf(const APMPBSnapshot& proto);

  const std::string& SDKName() const { return SDKName_; }
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }
  bool manuallyActivated() const { return manuallyActivated_; }
  void setManuallyActivated(bool manuallyActivated) { manuallyActivated_ = manuallyActivated; }

  // In ascending id order.
  std::vector<APMEExperiment> experiments() const;
  // The first flag of that name among the experiments; nullptr when none has it.
  const APMPBFlag* flagByName(std::string_view name) const;
  // Adds `flag` to the experiment `experimentID`, creating the experiment when missing.
  void addFlag(const APMPBFlag& flag, int64_t experimentID);
  void addFlags(const std::vector<APMPBFlag>& flags, int64_t experimentID);
  // The same SDK name and experiments, with the time of copying and not manually activated.
  APMESnapshot copy() const;
  // Field 1 the SDK name, field 2 the experiments (set also when there are none).
  APMPBSnapshot proto() const;

 private:
  explicit APMESnapshot(std::string SDKName);

  std::string SDKName_;
  std::map<int64_t, APMEExperiment> experimentsByID_;
  double timestamp_;
  bool manuallyActivated_ = false;
};

}  // namespace measurement
