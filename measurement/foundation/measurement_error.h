// Errors of the measurement code: os::Error values of one domain whose user info may carry a
// short monitor context, which the monitor adds to its health sample when the error is logged
// as a context value. The helpers fill an optional out-parameter, so a check reads
//
//   if (!requireOrSetError(!sql.empty(), error, kInvalidInput, "Received empty SQL string to
//   execute"))
//     return false;
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "measurement/foundation/monitor_context.h"
#include "os/value/error.h"

namespace measurement {

inline constexpr const char* kMeasurementErrorDomain = "com.vedodo.gmp.measurement.ErrorDomain";
inline constexpr const char* kMonitorContextKey = "APMMonitorContext";
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";

enum MeasurementErrorCode : int64_t {
  kInvalidInput = 1,
  kOperationFailed = 2,
  kDatabaseFailure = 3,
  kInvalidAudience = 9,
  kInvalidEventFilter = 10,
  kInvalidPropertyFilter = 11,
};

// An error of the measurement domain. The user info holds the description and the monitor
// context only when they are not empty.
os::Error measurementError(int64_t code, std::string_view description,
                           std::string_view monitorContext = {});

// Each stores a new error into `*out` when `out` is not null, replacing what it held.
void setErrorOutParameter(os::Error* out, int64_t code, std::string_view description);
void setErrorOutParameterWithMonitorContext(os::Error* out, int64_t code,
                                            std::string_view description,
                                            std::string_view monitorContext);

// Each answers whether its check passed and, when it did not, stores an error without context.
bool requireOrSetError(bool condition, os::Error* out, int64_t code, std::string_view description);
bool requirePointerOrSetError(const void* pointer, os::Error* out, int64_t code,
                              std::string_view description);
bool requireNonZeroOrSetError(uint64_t count, os::Error* out, int64_t code,
                              std::string_view description);
// For anything that tests as present or absent: std::optional, smart pointers.
template <typename Object>
bool requireObjectOrSetError(const Object& object, os::Error* out, int64_t code,
                             std::string_view description) {
  return requireOrSetError(static_cast<bool>(object), out, code, description);
}

// The non-empty string monitor contexts of the measurement errors among `contexts`, joined by
// ","; "" when there are none.
std::string makeMonitorContextString(std::span<const MonitorContext> contexts);

}  // namespace measurement
