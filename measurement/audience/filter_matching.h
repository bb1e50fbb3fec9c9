// Matching one value against a parameter filter of an audience definition: the validation of
// number and string filters (which the save of definitions shares), the parsing of comparison
// values and the comparison itself. Every function is stateless; an outcome is std::nullopt
// when the filter cannot be evaluated for the value, else whether the value matches. Every
// refusal is reported to the monitor with the filter as context.
//
//   APMPBFilter filter = ...;                   // number filter GREATER_THAN "11"
//   evaluateParameterFilter(filter, Value(std::string("12")));    // true
//   evaluateParameterFilter(filter, Value(std::string("12a")));   // nullopt, logged 7001
//
// Any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/audience/regex_cache.h"
#include "measurement/foundation/decimal.h"
#include "measurement/foundation/monitor_context.h"
#include "measurement/foundation/value.h"
#include "measurement/wire/schema/apmpb.h"

namespace measurement {

// Unknown (std::nullopt), false or true.
using Outcome = std::optional<bool>;

// `comparison_type` of a number filter.
enum ComparisonType : int32_t {
  kUnknownComparisonType = 0,
  kLessThan = 1,
  kGreaterThan = 2,
  kEqual = 3,
  kBetween = 4,
};

// `match_type` of a string filter.
enum MatchType : int32_t {
  kUnknownMatchType = 0,
  kRegexp = 1,
  kBeginsWith = 2,
  kEndsWith = 3,
  kContains = 4,
  kExact = 5,
  kInList = 6,
};

// The parsed comparison values of a number filter; `valid` turns false when one the filter's
// type needs does not parse.
struct AudienceComparisonValues {
  std::optional<Decimal> comparisonValue;
  std::optional<Decimal> minComparisonValue;
  std::optional<Decimal> maxComparisonValue;
  bool valid = true;
};

// A valid string filter with what matching reads taken out once.
struct PreparedStringFilter {
  int32_t matchType = kUnknownMatchType;
  bool caseSensitive = false;
  std::string expression;
  std::vector<std::string> expressionList;
  std::shared_ptr<const CompiledRegex> regex;

  // nullopt for a filter that is not valid, found without logging: such a filter goes through
  // evaluateStringFilter, which logs why at every evaluation.
  static std::optional<PreparedStringFilter> of(const APMPBStringFilter& filter);
};

// A parameter filter with the parts its evaluation reads taken out once, for a filter that is
// evaluated many times.
struct ParameterFilterParts {
  APMPBFilter message;
  std::optional<std::string> parameterName;
  std::optional<APMPBNumberFilter> numberFilter;
  std::optional<APMPBStringFilter> stringFilter;
  std::optional<PreparedStringFilter> preparedStringFilter;
  bool hasStringFilter = false;
  bool negate = false;

  static ParameterFilterParts of(APMPBFilter message);
};

// A number filter wins over a string filter; `negate` inverts a known outcome.
Outcome evaluateParameterFilter(const APMPBFilter& filter, const Value& value);
Outcome evaluateParameterFilter(const ParameterFilterParts& filter, const Value& value);

bool isValidNumberFilter(const APMPBNumberFilter& filter);
// Exact comparison with the filter's decimal comparison values.
Outcome evaluateNumberFilterWithDecimal(const APMPBNumberFilter& filter, const Decimal& value);
Outcome evaluateNumberFilterWithInt64(const APMPBNumberFilter& filter, int64_t value);
// Comparison as doubles; EQUAL accepts the comparison value and the nearest double on either
// side of it.
Outcome evaluateNumberFilterWithDouble(const APMPBNumberFilter& filter, double value);

// Valid when it has a known match type with what that type needs; a REGEXP expression must
// compile (ignoring case unless `case_sensitive`), and the compiled expression goes to `regex`
// when it is given.
bool isValidStringFilterWithRegex(const APMPBStringFilter& filter,
                                  std::shared_ptr<const CompiledRegex>* regex);
bool isValidStringFilter(const APMPBStringFilter& filter);
// Lengths and positions in UTF-16 code units; case ignored unless `case_sensitive`. A regular
// expression stopped by its time or stack limit is unknown (logged 9006).
Outcome evaluateStringFilter(const APMPBStringFilter& filter, const std::string* string);
// The same for the prepared form of `filter`.
Outcome evaluateStringFilter(const PreparedStringFilter& prepared, const APMPBStringFilter& filter,
                             const std::string* string);

// What a log line shows of a filter message: its kind.
MonitorContext messageContext(const NANOMessageBase& message);

}  // namespace measurement
