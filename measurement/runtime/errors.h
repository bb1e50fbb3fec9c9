// The two error domains of event editing and the helpers that fill an error out-parameter.
//
// Evaluation reports failure through an `os::Error*` that is never null inside the runtime;
// `failed(error)` tells whether one was set. Errors carry a domain and a code and no user info.
#pragma once

#include <cstdint>

#include "os/value/error.h"

namespace measurement::runtime {

inline constexpr const char* kRuntimeErrorDomain = "com.vedodo.gmp.measurement.pixie.ErrorDomain";
inline constexpr const char* kEditingErrorDomain =
    "com.vedodo.gmp.measurement.pixie.editing.ErrorDomain";

// Codes of kRuntimeErrorDomain.
enum RuntimeErrorCode : int64_t {
  kUndeclaredAssignment = 2,
  kNoTruth = 3,
  kNoNumber = 4,
  kNoString = 5,
  kWriteOnNothing = 6,
  kCallOnNothing = 7,
  kEmptyReduce = 8,
  kArgumentCount = 9,
  kWrongKind = 10,
  kBadLength = 11,
  kBadEntityType = 12,
  kBadHostObject = 13,
  kNoStatementName = 14,
  kNoModule = 15,
  kNotIterable = 16,
  kNoMethod = 17,
  // The instruction limit, and every other resource bound (call depth, memory, created events).
  kLimit = 18,
};

// Codes of kEditingErrorDomain.
enum EditingErrorCode : int64_t {
  kNoRuleType = 2,
  kBadRuleType = 3,
  kTooManyCallbacks = 4,
  kControlAtTopLevel = 5,
  kRuleDataNotObject = 6,
  kRuleNotFunction = 7,
};

inline bool failed(const os::Error* error) { return !error->domain.empty(); }

// Sets a runtime error (unless one is set already: the first error wins) and returns false.
bool runtimeError(os::Error* error, int64_t code);
bool editingError(os::Error* error, int64_t code);

}  // namespace measurement::runtime
