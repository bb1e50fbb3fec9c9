// The result of a read that may fail and may find nothing, such as a query for one row:
//
//   measurement::Lookup<DailyCounts> counts = database.dailyCounts(&error);
//   if (!counts) ...            // the read failed; `error` says why
//   else if (!*counts) ...      // nothing there
//   else use(**counts);         // found
//
// Failure and absence are different answers: a caller that would treat a failed read as "no
// row" could overwrite data it merely failed to see.
#pragma once

#include <optional>

namespace measurement {

template <typename T>
using Lookup = std::optional<std::optional<T>>;

}  // namespace measurement
