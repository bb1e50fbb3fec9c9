#include "measurement/experiments/snapshot.h"

#include "measurement/foundation/monitor.h"
#include "measurement/wire/access.h"
#include "os/process/clock.h"

namespace measurement {

APMESnapshot::APMESnapshot(std::string SDKName)
    : SDKName_(std::move(SDKName)), timestamp_(os::clock::now()) {}

std::optional<APMESnapshot> APMESnapshot::initWithSDKName(
    std::string_view SDKName, const std::vector<APMEExperiment>& experiments) {
  if (SDKName.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 840000,
                  "Cannot create snapshot with an invalid SDK name", SDKName);
    return std::nullopt;
  }
  APMESnapshot snapshot{std::string(SDKName)};
  for (const APMEExperiment& experiment : experiments) {
    snapshot.experimentsByID_.insert_or_assign(experiment.experimentID(), experiment);
  }
  return snapshot;
}

std::optional<APMESnapshot> APMESnapshot::initWithProtobuf(const APMPBSnapshot& proto) {
  std::vector<APMEExperiment> experiments;
  for (const APMPBExperiment& experiment :
       APMPBGetArray<APMPBExperiment>(proto, kSnapshot_experiments)) {
    experiments.push_back(APMEExperiment::initWithProtobuf(experiment));
  }
  return initWithSDKName(APMPBGetString(proto, kSnapshot_sdk_name).value_or(""), experiments);
}

std::vector<APMEExperiment> APMESnapshot::experiments() const {
  std::vector<APMEExperiment> experiments;
  experiments.reserve(experimentsByID_.size());
  for (const auto& [id, experiment] : experimentsByID_) experiments.push_back(experiment);
  return experiments;
}

const APMPBFlag* APMESnapshot::flagByName(std::string_view name) const {
  for (const auto& [id, experiment] : experimentsByID_) {
    if (const APMPBFlag* flag = experiment.flagWithName(name)) return flag;
  }
  return nullptr;
}

void APMESnapshot::addFlag(const APMPBFlag& flag, int64_t experimentID) {
  auto found = experimentsByID_.find(experimentID);
  if (found != experimentsByID_.end()) {
    found->second.addFlag(flag);
  } else {
    experimentsByID_.emplace(experimentID, APMEExperiment(experimentID, {flag}));
  }
}

void APMESnapshot::addFlags(const std::vector<APMPBFlag>& flags, int64_t experimentID) {
  for (const APMPBFlag& flag : flags) addFlag(flag, experimentID);
}

APMESnapshot APMESnapshot::copy() const {
  APMESnapshot copy{SDKName_};
  copy.experimentsByID_ = experimentsByID_;
  return copy;
}

APMPBSnapshot APMESnapshot::proto() const {
  APMPBSnapshot proto;
  APMPBSetString(proto, kSnapshot_sdk_name, SDKName_);
  std::vector<APMPBExperiment> experiments;
  for (const auto& [id, experiment] : experimentsByID_) experiments.push_back(experiment.proto());
  APMPBSetArray(proto, kSnapshot_experiments, experiments);
  return proto;
}

}  // namespace measurement
