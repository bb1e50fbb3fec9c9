// os::Error is the error value of fallible operations: a string domain, an integer code, a
// description and a user-info dictionary. A fallible operation returns its result (bool,
// std::optional, a pointer) and fills an `Error*` out-parameter when the caller gave one:
//
//   bool writeThing(const Thing& thing, os::Error* error) {
//     if (!ok) return os::fail(error, os::Error("com.example.domain", 2, "Disk full"));
//     return true;
//   }
#pragma once

#include <cstdint>
#include <string>

#include "os/value/value.h"

namespace os {

struct Error {
  Error() = default;
  Error(std::string domain, int64_t code, std::string description = {}, Value userInfo = {})
      : domain(std::move(domain)),
        code(code),
        description(std::move(description)),
        userInfo(std::move(userInfo)) {}

  std::string domain;
  int64_t code = 0;
  std::string description;
  // A dictionary (or null). Keys follow the platform's names where callers rely on them,
  // such as "NSLocalizedDescription" and "NSUnderlyingError".
  Value userInfo;

  // The description when set, else the user info's "NSLocalizedDescription", else the
  // platform's generic text "The operation couldn’t be completed. (<domain> error <code>.)".
  std::string localizedDescription() const;

  friend bool operator==(const Error&, const Error&) = default;
};

// Stores `value` into `*out` when `out` is not null; returns false so that a failing path can
// end with `return os::fail(error, ...)`.
bool fail(Error* out, Error value);

// The platform's POSIX error domain, with errno codes.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
// The platform's Cocoa error domain, for file and property-list errors.
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";

// An error in the POSIX domain from an errno value, described by strerror and `context`.
Error posixError(int errnoValue, std::string_view context = {});

}  // namespace os
