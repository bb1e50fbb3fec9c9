// One experiment of a snapshot: its numeric id and its flags (Flag messages) by name. Id 0 is
// the launched experiment, whose flags are launched values and which is never reported.
//
//   APMEExperiment experiment = APMEExperiment::initWithProtobuf(proto);
//   const APMPBFlag* flag = experiment.flagWithName("regional_defaults_enabled");
//
// A value type without a lock: copies share nothing but are cheap enough for the few flags an
// experiment carries.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/wire/schema/apmpb.h"

namespace measurement {

class APMEExperiment {
 public:
  // Keeps every flag under its name, a later one replacing an earlier one of the same name; a
  // flag without a name is left out (870006).
  APMEExperiment(int64_t experimentID, const std::vector<APMPBFlag>& flags);
  // The id from field 1 (0 when absent) and the flags of field 2.
  static APMEExperiment initWithProtobuf(const APMPBExperiment& proto);

  int64_t experimentID() const { return experimentID_; }
  // Stores `flag` under its name, replacing one of the same name; a nameless flag is logged
  // (870006) and left out.
  void addFlag(const APMPBFlag& flag);
  // nullptr for an empty name (870007) or a flag the experiment does not have.
  const APMPBFlag* flagWithName(std::string_view name) const;
  std::vector<APMPBFlag> flags() const;
  // Field 1 the id, field 2 the flags (set also when there are none).
  APMPBExperiment proto() const;

 private:
  int64_t experimentID_;
  std::map<std::string, APMPBFlag, std::less<>> flagsByName_;
};

}  // namespace measurement
