// The twenty-one array methods scripts call on an array value: copying and searching ("concat",
// "indexOf", "lastIndexOf", "slice", "join", "toString", "hasOwnProperty"), mutation ("push",
// "pop", "shift", "unshift", "reverse", "splice", "sort") and the callback walks ("every",
// "filter", "forEach", "map", "some", "reduce", "reduceRight").
//
// Callbacks may change the array they walk: every step reads the current length, and "sort"
// orders a copy of the elements (a merge sort that never reads out of bounds) and writes it back.
// No method hands the hole marker to a script. Every method charges the run's budget for the
// elements it visits, copies and compares, and checks a new array's length and memory before
// making it (value.h), so a call that would pass either fails with runtime error 18.
#pragma once

#include <span>

#include "measurement/runtime/value.h"

namespace measurement::runtime {

// Runtime error 17 for an unknown name (before any argument is evaluated); otherwise the
// arguments are evaluated and the method runs.
Value applyArrayMethod(APMPArrayValue& receiver, const APMPStringValue& name,
                       std::span<const Value> arguments, APMPScope& scope, os::Error* error);

}  // namespace measurement::runtime
