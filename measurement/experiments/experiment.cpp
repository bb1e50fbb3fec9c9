#include "measurement/experiments/experiment.h"

#include "measurement/foundation/monitor.h"
#include "measurement/wire/access.h"

namespace measurement {

APMEExperiment::APMEExperiment(int64_t experimentID, const std::vector<APMPBFlag>& flags)
    : experimentID_(experimentID) {
  for (const APMPBFlag& flag : flags) addFlag(flag);
}

APMEExperiment APMEExperiment::initWithProtobuf(const APMPBExperiment& proto) {
  int64_t experimentID = APMPBHasField(proto, kExperiment_experiment_id)
                             ? APMPBGetInt32(proto, kExperiment_experiment_id)
                             : 0;
  return APMEExperiment(experimentID, APMPBGetArray<APMPBFlag>(proto, kExperiment_flags));
}

void APMEExperiment::addFlag(const APMPBFlag& flag) {
  std::optional<std::string> name = APMPBGetString(flag, kFlag_name);
  if (!name) {
    monitor().log(MonitorLevel::kErrorSilent, 870006,
                  "Cannot add a flag without name into an experiment. ID", experimentID_);
    return;
  }
  flagsByName_.insert_or_assign(std::move(*name), flag);
}

const APMPBFlag* APMEExperiment::flagWithName(std::string_view name) const {
  if (name.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 870007, "Cannot retrieve a flag without a flag name");
    return nullptr;
  }
  auto found = flagsByName_.find(name);
  return found == flagsByName_.end() ? nullptr : &found->second;
}

std::vector<APMPBFlag> APMEExperiment::flags() const {
  std::vector<APMPBFlag> flags;
  flags.reserve(flagsByName_.size());
  for (const auto& [name, flag] : flagsByName_) flags.push_back(flag);
  return flags;
}

APMPBExperiment APMEExperiment::proto() const {
  APMPBExperiment proto;
  APMPBSetInt32(proto, kExperiment_experiment_id, static_cast<int32_t>(experimentID_));
  APMPBSetArray(proto, kExperiment_flags, flags());
  return proto;
}

}  // namespace measurement
