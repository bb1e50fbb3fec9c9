// The JSON form of a stored heartbeats bundle, the layout that files written by earlier versions
// already have (dates are seconds since 2001-01-01 00:00:00 UTC):
//
//   {"buffer":{"circularQueue":[{"agent":"a/1","date":786240000.0,"timePeriods":[1],
//    "version":0},null,...],"tailIndex":1},"capacity":30,
//    "lastAddedHeartbeatDates":[1,786240000.0]}
//
// "lastAddedHeartbeatDates" alternates a period's raw value and its date; an empty slot of the
// ring is null. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/heartbeats/heartbeats_bundle.h"

namespace heartbeats {

// The document, compact, keys sorted. nullopt when a text in it is not UTF-8 (it has no JSON
// form).
std::optional<std::string> encodeBundle(const HeartbeatsBundle& bundle);

// The bundle that `json` holds; nullopt when a key is missing, a value has the wrong type or a
// period is not one this system knows.
std::optional<HeartbeatsBundle> decodeBundle(std::string_view json);

}  // namespace heartbeats
