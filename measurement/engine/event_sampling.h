// Event sampling: for event names the server gives a sampling rate N, about one event in N is
// uploaded and carries "_sr" = N; the first event of a name on each day is always kept and
// marked "_efs" = 1. The sampling state of each name lives in its event aggregates.
//
//   auto kept = sampleEvents(std::move(messages), database, *config, secureSamplingRoll, &error);
//   if (!kept) return false;   // the bundling transaction rolls back
//
// Runs on the engine's worker queue, inside the bundling transaction.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "measurement/config/remote_config.h"
#include "measurement/database/database.h"
#include "measurement/wire/schema/apmpb.h"
#include "os/value/error.h"

namespace measurement {

// A uniform integer in [0, rate); the event is kept when it is 0.
using SamplingRoll = std::function<uint32_t(uint32_t rate)>;

// The production roll: uniform over a generator seeded from the system's secure source.
uint32_t secureSamplingRoll(uint32_t rate);

// The kept events in input order (kept ones possibly with "_sr" and "_efs" added), or nullopt
// when the aggregates cannot be read or written.
std::optional<std::vector<APMPBEvent>> sampleEvents(std::vector<APMPBEvent> events,
                                                    Database& database, const RemoteConfig& config,
                                                    const SamplingRoll& roll, os::Error* error);

}  // namespace measurement
