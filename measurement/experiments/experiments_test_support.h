// For the experiment service's tests: snapshots written as short tables of experiment ids and
// flags, and a sandbox whose monitor work stays inside it.
//
//   APMESnapshot snapshot = makeSnapshot("sdk", {{7, {{"f", 7}}}, {0, {{"g", "launched"}}}});
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "measurement/database/database_test_support.h"
#include "measurement/experiments/snapshot.h"
#include "measurement/wire/flag_conversion.h"

namespace measurement::testing {

using FlagList = std::vector<std::pair<std::string, os::Value>>;
using ExperimentList = std::vector<std::pair<int64_t, FlagList>>;

inline APMPBFlag makeFlag(const std::string& name, const os::Value& value) {
  std::optional<APMPBFlag> flag = flagProtoWithNameAndValue(name, value);
  EXPECT_TRUE(flag) << name;
  return flag.value_or(APMPBFlag());
}

inline APMEExperiment makeExperiment(int64_t id, const FlagList& flags) {
  std::vector<APMPBFlag> protos;
  for (const auto& [name, value] : flags) protos.push_back(makeFlag(name, value));
  return APMEExperiment(id, protos);
}

inline APMESnapshot makeSnapshot(const std::string& SDKName, const ExperimentList& experiments) {
  std::vector<APMEExperiment> list;
  for (const auto& [id, flags] : experiments) list.push_back(makeExperiment(id, flags));
  std::optional<APMESnapshot> snapshot = APMESnapshot::initWithSDKName(SDKName, list);
  EXPECT_TRUE(snapshot) << SDKName;
  return snapshot.value_or(*APMESnapshot::initWithSDKName("invalid", {}));
}

// The experiment ids of `snapshot`, ascending.
inline std::vector<int64_t> experimentIDs(const APMESnapshot& snapshot) {
  std::vector<int64_t> ids;
  for (const APMEExperiment& experiment : snapshot.experiments()) {
    ids.push_back(experiment.experimentID());
  }
  return ids;
}

}  // namespace measurement::testing
