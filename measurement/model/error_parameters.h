// Error parameters and error events. A problem with an event's input never fails the call: the
// offending entry is dropped and the event is marked with "_err" (code), "_ev" (the offending
// name or value, trimmed) and "_el" (the offending value's length), or a separate internal error
// event "_err" is logged. Only the first problem is recorded: each writer leaves parameters that
// are already there alone.
//
//   Parameters output;
//   addErrorParameters(output, 3, "bad name!", 40, nullptr);   // _err 3, _ev "bad name!"
//   logErrorEvent(19);                                          // an "_err" event, origin "auto"
//
// Functions over the dictionary they are given (which the caller owns); any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/foundation/value.h"

namespace measurement {

// The analytics facade's internal event path: logs the event `name` with `parameters` under
// `origin`, asynchronously.
using InternalEventLogger =
    std::function<void(std::string_view origin, std::string_view name, Parameters parameters)>;
// The facade installs its path once it exists; until then error events go nowhere. nullptr
// removes it.
void setInternalEventLogger(InternalEventLogger logger);
// Hands the internal event `name` to the installed path; dropped while none is installed.
void logInternalEvent(std::string_view origin, std::string_view name, Parameters parameters);

// `text` when it has at most `limit` Unicode scalars, else its first `limit` scalars and "...".
std::string trimmedToLimit(std::string_view text, int32_t limit);
// The length recorded in "_el": Unicode scalars of a string, elements of an array, 0 otherwise.
int64_t errorValueLength(const Value& value);

// Sets "_err" to `code` unless "_err" is present.
void setErrorCodeIfAbsent(Parameters& parameters, int64_t code);
// Unless "_ev" or "_el" is present: "_ev" = `name` trimmed to `limit` ("(nil)" without a name)
// and, with a `value`, "_el" = its length.
void addErrorValueParameters(Parameters& parameters, std::optional<std::string_view> name,
                             int32_t limit, const Value* value);
// Unless any of "_err", "_ev", "_el" is present: "_err" = `code`, then addErrorValueParameters.
void addErrorParameters(Parameters& parameters, int64_t code, std::optional<std::string_view> name,
                        int32_t limit, const Value* value);

// For a code other than 0, logs the internal event "_err" (origin "auto") with "_err" = code.
void logErrorEvent(int64_t code);
// The same with "_ev" = `name` trimmed to `limit`, and "_el" = the value's length when the
// value is a string longer than `limit` scalars or the code is 4 or 7.
void logErrorEventWithNameAndValue(int64_t code, std::optional<std::string_view> name,
                                   int32_t limit, const Value* value);

}  // namespace measurement
