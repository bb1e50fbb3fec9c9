// String filters: their validation and matching (declared in filter_matching.h).
#include <algorithm>
#include <string>
#include <vector>

#include "measurement/audience/filter_matching.h"
#include "measurement/foundation/monitor.h"
#include "measurement/wire/access.h"
#include "os/text/text.h"

namespace measurement {
namespace {

using os::text::kAnchored;
using os::text::kBackwards;
using os::text::kCaseInsensitive;

bool caseSensitive(const APMPBStringFilter& filter) {
  return APMPBGetBool(filter, kStringFilter_case_sensitive);
}

std::vector<std::string> expressionList(const APMPBStringFilter& filter) {
  std::vector<std::string> list;
  for (const os::Value& entry : APMPBGetArray(filter, kStringFilter_expression_list)) {
    if (const std::string* text = entry.asString()) list.push_back(*text);
  }
  return list;
}

bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Text and expression both ASCII, the expression not empty: there full case folding only maps
// A-Z to a-z and canonical equivalence changes nothing, so comparing bytes (lowercased when
// case is ignored) answers what the Unicode comparison answers, without converting to UTF-16.
bool isAsciiComparison(std::string_view s, std::string_view e) {
  return !e.empty() && isAscii(s) && isAscii(e);
}

bool sameAsciiCharacter(char a, char b, bool exactCase) {
  if (exactCase) return a == b;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return lower(a) == lower(b);
}

bool sameAsciiText(std::string_view a, std::string_view b, bool exactCase) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
           return sameAsciiCharacter(x, y, exactCase);
         });
}

// `s` begins with `e`, ignoring case.
bool beginsIgnoringCase(std::string_view s, std::string_view e) {
  if (isAsciiComparison(s, e))
    return s.size() >= e.size() && sameAsciiText(s.substr(0, e.size()), e, false);
  return os::text::rangeOf(s, e, kCaseInsensitive | kAnchored).location == 0;
}

// `s` is `e`, ignoring case.
bool equalsIgnoringCase(std::string_view s, std::string_view e) {
  if (isAsciiComparison(s, e)) return sameAsciiText(s, e, false);
  return beginsIgnoringCase(s, e) && os::text::utf16Length(s) == os::text::utf16Length(e);
}

bool endsIgnoringCase(std::string_view s, std::string_view e) {
  if (isAsciiComparison(s, e)) {
    return s.size() >= e.size() && sameAsciiText(s.substr(s.size() - e.size()), e, false);
  }
  os::text::Range found = os::text::rangeOf(s, e, kCaseInsensitive | kAnchored | kBackwards);
  const size_t length = os::text::utf16Length(s);
  const size_t expressionLength = os::text::utf16Length(e);
  return found.found() && expressionLength <= length && found.location == length - expressionLength;
}

bool contains(std::string_view s, std::string_view e, bool exactCase) {
  if (isAsciiComparison(s, e)) {
    return std::search(s.begin(), s.end(), e.begin(), e.end(), [&](char x, char y) {
             return sameAsciiCharacter(x, y, exactCase);
           }) != s.end();
  }
  return os::text::rangeOf(s, e, exactCase ? os::text::kNoOptions : kCaseInsensitive).found();
}

bool matchesExpression(int32_t type, bool exactCase, const std::string& s, const std::string& e) {
  switch (type) {
    // An empty expression is neither a prefix nor a suffix, whatever the case rule: the
    // case-ignoring searches never find an empty text either.
    case kBeginsWith:
      return !e.empty() && (exactCase ? os::text::hasPrefix(s, e) : beginsIgnoringCase(s, e));
    case kEndsWith:
      return !e.empty() && (exactCase ? os::text::hasSuffix(s, e) : endsIgnoringCase(s, e));
    case kContains:
      return contains(s, e, exactCase);
    default:  // kExact
      return exactCase ? s == e : equalsIgnoringCase(s, e);
  }
}

// Why a string filter is not valid.
struct StringFilterFault {
  int64_t code;
  const char* message;
  std::optional<os::Error> regexError;
};

// The first rule the filter breaks; nullopt for a valid one, whose compiled expression (for
// REGEXP) goes to `regex`.
std::optional<StringFilterFault> stringFilterFault(const APMPBStringFilter& filter,
                                                   std::shared_ptr<const CompiledRegex>* regex) {
  if (!APMPBHasField(filter, kStringFilter_match_type)) {
    return StringFilterFault{9000, "String filter has no match type", std::nullopt};
  }
  const int32_t type = APMPBGetInt32(filter, kStringFilter_match_type);
  if (type == kInList) {
    if (!APMPBGetArray(filter, kStringFilter_expression_list).empty()) return std::nullopt;
    return StringFilterFault{9003, "String filter has no expression list", std::nullopt};
  }
  if (type == kUnknownMatchType) {
    return StringFilterFault{9001, "String filter has unknown match type", std::nullopt};
  }
  std::optional<std::string> expression = APMPBGetString(filter, kStringFilter_expression);
  if (!expression) return StringFilterFault{9002, "String filter has no expression", std::nullopt};
  if (type != kRegexp) return std::nullopt;
  os::Error error;
  std::shared_ptr<const CompiledRegex> compiled =
      cachedRegex(*expression, caseSensitive(filter), &error);
  if (!compiled) return StringFilterFault{9004, "Unable to parse regular expression", error};
  *regex = std::move(compiled);
  return std::nullopt;
}

// Matching a valid filter.
Outcome matchValidStringFilter(const PreparedStringFilter& filter, const APMPBStringFilter& message,
                               const std::string& string) {
  const int32_t type = filter.matchType;
  if (type > kInList || type < kUnknownMatchType) return false;
  const bool exactCase = filter.caseSensitive;
  if (type == kRegexp) {
    Outcome found = filter.regex->firstMatch(string);
    // A server pattern that backtracks past the limits cannot be evaluated for this value.
    if (!found) {
      monitor().log(MonitorLevel::kErrorSampled, 9006,
                    "String filter is invalid. Audience filter will not be evaluated",
                    messageContext(message));
    }
    return found;
  }
  if (type == kInList) {
    for (const std::string& entry : filter.expressionList) {
      if (exactCase ? entry == string : equalsIgnoringCase(string, entry)) return true;
    }
    return false;
  }
  return matchesExpression(type, exactCase, string, filter.expression);
}

// The filter's prepared form once it is known valid, with its compiled expression.
PreparedStringFilter preparedValidStringFilter(const APMPBStringFilter& filter,
                                               std::shared_ptr<const CompiledRegex> regex) {
  PreparedStringFilter prepared;
  prepared.matchType = APMPBGetInt32(filter, kStringFilter_match_type);
  prepared.caseSensitive = caseSensitive(filter);
  prepared.expression = APMPBGetString(filter, kStringFilter_expression).value_or("");
  prepared.expressionList = expressionList(filter);
  prepared.regex = std::move(regex);
  return prepared;
}

bool stringIsMissing(const std::string* string) {
  if (string != nullptr) return false;
  monitor().log(MonitorLevel::kErrorSampled, 9005,
                "Evaluation string is nil. Audience filter will not be evaluated");
  return true;
}

}  // namespace

bool isValidStringFilterWithRegex(const APMPBStringFilter& filter,
                                  std::shared_ptr<const CompiledRegex>* regex) {
  std::shared_ptr<const CompiledRegex> compiled;
  std::optional<StringFilterFault> fault = stringFilterFault(filter, &compiled);
  if (!fault) {
    if (regex) *regex = std::move(compiled);
    return true;
  }
  if (fault->regexError) {
    monitor().log(MonitorLevel::kErrorSampled, fault->code, fault->message, messageContext(filter),
                  *fault->regexError);
  } else {
    monitor().log(MonitorLevel::kErrorSampled, fault->code, fault->message, messageContext(filter));
  }
  return false;
}

bool isValidStringFilter(const APMPBStringFilter& filter) {
  return isValidStringFilterWithRegex(filter, nullptr);
}

std::optional<PreparedStringFilter> PreparedStringFilter::of(const APMPBStringFilter& filter) {
  std::shared_ptr<const CompiledRegex> regex;
  if (stringFilterFault(filter, &regex)) return std::nullopt;
  return preparedValidStringFilter(filter, std::move(regex));
}

Outcome evaluateStringFilter(const APMPBStringFilter& filter, const std::string* string) {
  if (stringIsMissing(string)) return std::nullopt;
  std::shared_ptr<const CompiledRegex> regex;
  if (!isValidStringFilterWithRegex(filter, &regex)) {
    monitor().log(MonitorLevel::kErrorSampled, 9006,
                  "String filter is invalid. Audience filter will not be evaluated",
                  messageContext(filter));
    return std::nullopt;
  }
  return matchValidStringFilter(preparedValidStringFilter(filter, std::move(regex)), filter,
                                *string);
}

Outcome evaluateStringFilter(const PreparedStringFilter& prepared, const APMPBStringFilter& filter,
                             const std::string* string) {
  if (stringIsMissing(string)) return std::nullopt;
  return matchValidStringFilter(prepared, filter, *string);
}

}  // namespace measurement
