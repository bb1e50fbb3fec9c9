// The context values that a monitor log call carries beside its fixed message, and their encoded
// form: the short, anonymised text that goes into a health sample instead of the value itself.
//
//   std::vector<MonitorContext> contexts{int64_t{150}, std::string("secret"), error};
//   encodedStringWithContextArray(contexts, false);  // "100...999,-,com.example.domain"
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "os/error.h"
#include "os/exception.h"

namespace measurement {

// A context of a kind the encoding does not know; `description` is what a console line shows.
struct OtherContext {
  std::string description;
};

// Null, a number (integer or floating), a string, an error, an exception, or something else.
using MonitorContext = std::variant<std::monostate, int64_t, double, std::string, os::Error,
                                    os::Exception, OtherContext>;

// A number's 64-bit integer value: truncated toward zero, saturated at the int64 limits, NaN 0.
int64_t saturatingInt64(double value);

// "" for null, "-" for a string, the number itself when its magnitude is at most 99 and else its
// decade ("100...999", "-999...-100"), an error's domain ("-" without one), an exception's name
// ("-" without one), "?" for anything else.
std::string encodedStringWithContextObject(const MonitorContext& context);

// The encoded contexts joined by ", " (`insertSpaces`) or ","; "" for none.
std::string encodedStringWithContextArray(std::span<const MonitorContext> contexts,
                                          bool insertSpaces);

}  // namespace measurement
