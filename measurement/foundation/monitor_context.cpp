#include "measurement/foundation/monitor_context.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>

namespace measurement {
namespace {

// The decade of a magnitude above 99 as "p...10p-1". Digits are counted on the unsigned
// magnitude, so 999999999999999999 stays in its decade and INT64_MIN has one.
std::string encodedNumber(int64_t value) {
  const bool negative = value < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : value;
  if (magnitude <= 99) return fmt::format("{}", value);
  uint64_t lower = 1;
  while (magnitude / lower >= 10) lower *= 10;
  // 10 * lower - 1 fits in uint64 even for 19-digit magnitudes.
  const uint64_t upper = lower * 10 - 1;
  if (negative) return fmt::format("-{}...-{}", upper, lower);
  return fmt::format("{}...{}", lower, upper);
}

struct Encoder {
  std::string operator()(std::monostate) const { return ""; }
  std::string operator()(int64_t number) const { return encodedNumber(number); }
  std::string operator()(double number) const { return encodedNumber(saturatingInt64(number)); }
  std::string operator()(const std::string&) const { return "-"; }
  std::string operator()(const os::Error& error) const {
    return error.domain.empty() ? "-" : error.domain;
  }
  // Our exceptions carry no call-stack lines, so the name is the last measurement symbol.
  std::string operator()(const os::Exception& exception) const {
    return exception.name().empty() ? "-" : exception.name();
  }
  std::string operator()(const OtherContext&) const { return "?"; }
};

}  // namespace

int64_t saturatingInt64(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exact as a double; anything at or above it does not fit.
  constexpr double kLimit = 9223372036854775808.0;
  if (value >= kLimit) return std::numeric_limits<int64_t>::max();
  if (value < -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

std::string encodedStringWithContextObject(const MonitorContext& context) {
  return std::visit(Encoder{}, context);
}

std::string encodedStringWithContextArray(std::span<const MonitorContext> contexts,
                                          bool insertSpaces) {
  std::string joined;
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) joined += insertSpaces ? ", " : ",";
    joined += encodedStringWithContextObject(contexts[i]);
  }
  return joined;
}

MonitorContext monitorContextOfValue(const os::Value& value) {
  if (value.isNull()) return std::monostate{};
  return OtherContext{value.description()};
}

}  // namespace measurement
