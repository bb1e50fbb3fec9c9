// Parameter filters and number filters; string filters are in string_filter.cpp.
#include "measurement/audience/filter_matching.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

// A comparison value the filter holds as a decimal number string.
bool hasNumericString(const APMPBNumberFilter& filter, int32_t index) {
  std::optional<std::string> text = APMPBGetString(filter, index);
  return text && isDecimalNumberString(*text);
}

// A decimal number string as the nearest double; nullopt for one beyond the double range.
std::optional<double> doubleFromDecimalString(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

double stepDown(double value, int steps) {
  for (int i = 0; i < steps; ++i)
    value = std::nextafter(value, -std::numeric_limits<double>::infinity());
  return value;
}

double stepUp(double value, int steps) {
  for (int i = 0; i < steps; ++i)
    value = std::nextafter(value, std::numeric_limits<double>::infinity());
  return value;
}

// Parses the comparison value at `index`, logging `code` when it does not give a decimal.
std::optional<Decimal> parsedComparisonValue(const APMPBNumberFilter& filter, int32_t index,
                                             int64_t code, std::string_view message) {
  std::optional<Decimal> parsed =
      decimalNumberFromString(APMPBGetString(filter, index).value_or(std::string()));
  if (!parsed) monitor().log(MonitorLevel::kErrorSampled, code, message, messageContext(filter));
  return parsed;
}

AudienceComparisonValues comparisonValuesOf(const APMPBNumberFilter& filter) {
  AudienceComparisonValues values;
  if (APMPBGetInt32(filter, kNumberFilter_comparison_type) == kBetween) {
    values.minComparisonValue =
        parsedComparisonValue(filter, kNumberFilter_min_comparison_value, 8004,
                              "Number filter min comparison value is not a number");
    if (!values.minComparisonValue) {
      values.valid = false;
      return values;
    }
    values.maxComparisonValue =
        parsedComparisonValue(filter, kNumberFilter_max_comparison_value, 8005,
                              "Number filter max comparison value is not a number");
    values.valid = values.maxComparisonValue.has_value();
  } else {
    values.comparisonValue =
        parsedComparisonValue(filter, kNumberFilter_comparison_value, 8002,
                              "Number filter comparison value is not a number");
    values.valid = values.comparisonValue.has_value();
  }
  return values;
}

Outcome numberOutcome(const APMPBFilter& filter, const APMPBNumberFilter& numberFilter,
                      const Value& value) {
  if (const std::string* text = value.stringValue()) {
    if (!isDecimalNumberString(*text)) {
      monitor().log(MonitorLevel::kWarning, 7001,
                    "String value is not a numeric value. Audience filter will not be evaluated. "
                    "Value, filter",
                    *text, messageContext(filter));
      return std::nullopt;
    }
    std::optional<Decimal> decimal = decimalNumberFromString(*text);
    if (!decimal) return std::nullopt;
    return evaluateNumberFilterWithDecimal(numberFilter, *decimal);
  }
  if (value.isDouble()) {
    if (!std::isfinite(value.doubleValue())) {
      monitor().log(MonitorLevel::kWarning, 7002,
                    "Value is not within double range. Audience filter will not be evaluated",
                    value.doubleValue(), messageContext(filter));
      return std::nullopt;
    }
    return evaluateNumberFilterWithDouble(numberFilter, value.doubleValue());
  }
  if (value.isInt64()) return evaluateNumberFilterWithInt64(numberFilter, value.int64Value());
  return std::nullopt;
}

}  // namespace

MonitorContext messageContext(const NANOMessageBase& message) {
  return OtherContext{message.className()};
}

ParameterFilterParts ParameterFilterParts::of(APMPBFilter message) {
  ParameterFilterParts parts;
  parts.parameterName = APMPBGetString(message, kFilter_parameter_name);
  parts.numberFilter = APMPBGetMessage<APMPBNumberFilter>(message, kFilter_number_filter);
  parts.stringFilter = APMPBGetMessage<APMPBStringFilter>(message, kFilter_string_filter);
  if (parts.stringFilter)
    parts.preparedStringFilter = PreparedStringFilter::of(*parts.stringFilter);
  parts.hasStringFilter = APMPBHasField(message, kFilter_string_filter);
  parts.negate = APMPBGetBool(message, kFilter_negate);
  parts.message = std::move(message);
  return parts;
}

Outcome evaluateParameterFilter(const APMPBFilter& filter, const Value& value) {
  return evaluateParameterFilter(ParameterFilterParts::of(filter), value);
}

Outcome evaluateParameterFilter(const ParameterFilterParts& filter, const Value& value) {
  Outcome outcome;
  if (filter.numberFilter) {
    outcome = numberOutcome(filter.message, *filter.numberFilter, value);
  } else if (filter.stringFilter) {
    if (!value.isString()) {
      monitor().log(MonitorLevel::kWarning, 7003,
                    "Value is not a string. Audience filter will not be evaluated",
                    value.description(), messageContext(filter.message));
      return std::nullopt;
    }
    outcome = filter.preparedStringFilter
                  ? evaluateStringFilter(*filter.preparedStringFilter, *filter.stringFilter,
                                         value.stringValue())
                  : evaluateStringFilter(*filter.stringFilter, value.stringValue());
  } else {
    monitor().log(MonitorLevel::kErrorSampled, 7000,
                  "Filter has neither a number nor string filter. Audience filter will not be "
                  "evaluated",
                  value.description(), messageContext(filter.message));
    return std::nullopt;
  }
  if (outcome && filter.negate) return !*outcome;
  return outcome;
}

bool isValidNumberFilter(const APMPBNumberFilter& filter) {
  // The context is made only for a log: a valid filter is checked at every evaluation.
  auto context = [&filter] { return messageContext(filter); };
  if (!APMPBHasField(filter, kNumberFilter_comparison_type)) {
    monitor().log(MonitorLevel::kErrorSampled, 8006, "Number filter has no comparison type",
                  context());
    return false;
  }
  const int32_t type = APMPBGetInt32(filter, kNumberFilter_comparison_type);
  if (type == kUnknownComparisonType) {
    monitor().log(MonitorLevel::kErrorSampled, 8007, "Number filter has unknown comparison type",
                  context());
    return false;
  }
  // A negative type names no comparison either (evaluating it would fall through to BETWEEN):
  // refused like one above the known types.
  if (type > kBetween || type < kUnknownComparisonType) {
    monitor().log(MonitorLevel::kErrorSampled, 8011,
                  "Number filter has a real unknown comparison type", context());
    return false;
  }
  if (type != kBetween) {
    if (hasNumericString(filter, kNumberFilter_comparison_value)) return true;
    monitor().log(MonitorLevel::kErrorSampled, 8008,
                  "Numeric filter does not have a valid comparison value. Filter", context());
    return false;
  }
  // Both bounds are examined, so that one log names every missing bound.
  bool valid = true;
  if (!hasNumericString(filter, kNumberFilter_min_comparison_value)) {
    monitor().log(MonitorLevel::kErrorSampled, 8009,
                  "Numeric filter does not have a valid min comparison value. Filter", context());
    valid = false;
  }
  if (!hasNumericString(filter, kNumberFilter_max_comparison_value)) {
    monitor().log(MonitorLevel::kErrorSampled, 8010,
                  "Numeric filter does not have a valid max comparison value. Filter", context());
    valid = false;
  }
  return valid;
}

Outcome evaluateNumberFilterWithDecimal(const APMPBNumberFilter& filter, const Decimal& value) {
  if (!isValidNumberFilter(filter)) return std::nullopt;
  AudienceComparisonValues values = comparisonValuesOf(filter);
  if (!values.valid) {
    monitor().log(MonitorLevel::kErrorSampled, 8015,
                  "Parsed decimal number comparison values are not valid. Audience filter will "
                  "not be evaluated. Filter",
                  messageContext(filter));
    return std::nullopt;
  }
  switch (APMPBGetInt32(filter, kNumberFilter_comparison_type)) {
    case kLessThan:
      return value < *values.comparisonValue;
    case kGreaterThan:
      return value > *values.comparisonValue;
    case kEqual:
      return value == *values.comparisonValue;
    default:
      return *values.minComparisonValue <= value && value <= *values.maxComparisonValue;
  }
}

Outcome evaluateNumberFilterWithInt64(const APMPBNumberFilter& filter, int64_t value) {
  return evaluateNumberFilterWithDecimal(filter, *Decimal::parse(std::to_string(value)));
}

Outcome evaluateNumberFilterWithDouble(const APMPBNumberFilter& filter, double value) {
  if (!isValidNumberFilter(filter)) return std::nullopt;
  const int32_t type = APMPBGetInt32(filter, kNumberFilter_comparison_type);
  auto comparison = [&](int32_t index) {
    return doubleFromDecimalString(APMPBGetString(filter, index).value_or(std::string()));
  };
  std::optional<double> first = comparison(type == kBetween ? kNumberFilter_min_comparison_value
                                                            : kNumberFilter_comparison_value);
  std::optional<double> second =
      type == kBetween ? comparison(kNumberFilter_max_comparison_value) : first;
  if (!first || !second) {
    monitor().log(MonitorLevel::kErrorSampled, 8012,
                  "Number filter is invalid, the comparison filter is not valid. Audience filter "
                  "will not be evaluated",
                  messageContext(filter));
    return std::nullopt;
  }
  switch (type) {
    case kLessThan:
      return value < *first;
    case kGreaterThan:
      return value > *first;
    case kEqual:
      // Two steps each way, compared strictly: the comparison value and its immediate
      // neighbour on either side are equal to it.
      return stepDown(*first, 2) < value && value < stepUp(*first, 2);
    default:
      return *first <= value && value <= *second;
  }
}

}  // namespace measurement
