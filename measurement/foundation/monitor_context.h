// The context values that a monitor log call carries beside its fixed message, and their encoded
// form: the short, anonymised text that goes into a health sample instead of the value itself.
//
//   std::vector<MonitorContext> contexts{int64_t{150}, std::string("secret"), error};
//   encodedStringWithContextArray(contexts, false);  // "100...999,-,com.example.domain"
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "os/value/error.h"
#include "os/value/exception.h"
#include "os/value/value.h"

namespace measurement {

// A context of a kind the encoding does not know; `description` is what a console line shows.
struct OtherContext {
  std::string description;
};

// Null, a number (integer or floating), a string, an error, an exception, or something else.
using MonitorContext = std::variant<std::monostate, int64_t, double, std::string, os::Error,
                                    os::Exception, OtherContext>;

// A plain value as a context: null as null, anything else by its description (a string is its
// own description).
MonitorContext monitorContextOfValue(const os::Value& value);

// The context for one argument of a log call: any plain value (os::Value), any integer (unsigned values above the int64
// range saturate), any floating-point number, anything that reads as text, an error, an
// exception, or a context itself. Sizes and counts can be passed as they are.
template <typename T>
MonitorContext makeMonitorContext(T&& value) {
  using Plain = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<Plain, bool>) {
    return int64_t{value ? 1 : 0};
  } else if constexpr (std::is_integral_v<Plain>) {
    if constexpr (std::is_unsigned_v<Plain> && sizeof(Plain) >= sizeof(int64_t)) {
      constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
      return static_cast<int64_t>(static_cast<uint64_t>(value) > kMax ? kMax : value);
    } else {
      return static_cast<int64_t>(value);
    }
  } else if constexpr (std::is_floating_point_v<Plain>) {
    return static_cast<double>(value);
  } else if constexpr (std::is_same_v<Plain, std::nullptr_t>) {
    return std::monostate{};
  } else if constexpr (std::is_same_v<Plain, os::Value>) {
    return monitorContextOfValue(value);
  } else if constexpr (std::is_convertible_v<T, std::string_view> &&
                       !std::is_same_v<Plain, std::string>) {
    return std::string(std::string_view(value));
  } else {
    return MonitorContext(std::forward<T>(value));
  }
}

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
