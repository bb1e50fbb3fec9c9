// The event as the event-editing runtime sees it: a name, a time stamp and plain parameters.
// The engine turns its own events into this record before editing and back afterwards.
//
//   measurement::EditEvent event{"purchase", 1700000000.0, {{"value", 9.99}, {"items", 2}}};
#pragma once

#include <string>

#include "os/value/value.h"

namespace measurement {

struct EditEvent {
  std::string name;
  // Passed through unchanged; the engine uses seconds since 1970.
  double timestamp = 0;
  // Plain values only: integers, reals, strings, and arrays of such dictionaries. Whether a
  // number is an integer or a real matters to editing (integers keep their kind on rewrite).
  os::Dictionary parameters;

  friend bool operator==(const EditEvent&, const EditEvent&) = default;
};

}  // namespace measurement
