// The seventeen string methods scripts call on a string value ("charAt", "concat",
// "hasOwnProperty", "indexOf", "lastIndexOf", "match", "replace", "search", "slice", "split",
// "substring", the four case mappings, "toString", "trim"). Every index and length counts UTF-16
// code units.
//
// "match" and "search" compile their pattern with ICU (no flags) and run it under a step limit
// and a backtracking-stack limit: a pattern that does not compile, and a match that runs out of
// either, fail the call with kRegexErrorDomain, so a catastrophic pattern on a long subject ends
// quickly instead of running for minutes.
//
// Every method charges the run's budget for the text it scans and copies, and checks a result's
// length and memory before building it (value.h). Plain-text searches take time linear in both
// lengths, so a long needle cannot make a search quadratic.
#pragma once

#include <span>

#include "measurement/runtime/value.h"

namespace measurement::runtime {

inline constexpr const char* kRegexErrorDomain = "NSCocoaErrorDomain";
// The platform's code for an invalid regular expression.
inline constexpr int64_t kRegexErrorInvalid = 2048;

// Runtime error 17 for an unknown name (before any argument is evaluated); otherwise the
// arguments are evaluated and the method runs.
Value applyStringMethod(const APMPStringValue& receiver, const APMPStringValue& name,
                        std::span<const Value> arguments, APMPScope& scope, os::Error* error);

}  // namespace measurement::runtime
