// Error domains and user-info keys of the HTTP client library's serializers, and the helpers
// that build and read chains of errors. An error's user info is an os::Value, so an error that
// sits inside another (the platform's underlying error, or an error in a notification) is kept
// there as the dictionary NKErrorValue() makes of it:
//
//   os::Error error = ...;   // a -1011 whose content type was unacceptable too
//   std::optional<os::Error> cause = NKUnderlyingError(error);   // the -1016
//   bool fatal = NKErrorHasCodeInDomain(error, -1016, kNKResponseSerializationErrorDomain);
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "os/value/error.h"
#include "os/value/value.h"

inline constexpr const char* kNKRequestSerializationErrorDomain =
    "com.netkit.error.serialization.request";
inline constexpr const char* kNKResponseSerializationErrorDomain =
    "com.netkit.error.serialization.response";

// The response that failed validation (as the dictionary NKResponseValue() makes of it).
inline constexpr const char* kNKFailingResponseErrorKey =
    "com.netkit.serialization.response.error.response";
// The body of that response, when it had one (data).
inline constexpr const char* kNKResponseDataErrorKey =
    "com.netkit.serialization.response.error.data";

// The platform's user-info keys.
inline constexpr const char* kNSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kNSUnderlyingErrorKey = "NSUnderlyingError";

// `error` as a dictionary: "domain" (string), "code" (integer), "description" (string, when not
// empty) and "userInfo" (when not null).
os::Value NKErrorValue(const os::Error& error);
// The error that NKErrorValue() wrote; nullopt when `value` is not such a dictionary.
std::optional<os::Error> NKErrorFromValue(const os::Value& value);

// The error under kNSUnderlyingErrorKey of `error`'s user info, if any.
std::optional<os::Error> NKUnderlyingError(const os::Error& error);

// Chains two errors: no error gives `underlying`; no underlying error, or an error that already
// has an underlying one, gives `error` unchanged; otherwise a copy of `error` whose user info
// also holds `underlying`.
std::optional<os::Error> NKErrorWithUnderlyingError(std::optional<os::Error> error,
                                                    std::optional<os::Error> underlying);

// True when `error`, or any error down its chain of underlying errors, has `code` in `domain`.
bool NKErrorHasCodeInDomain(const os::Error& error, int64_t code, std::string_view domain);
