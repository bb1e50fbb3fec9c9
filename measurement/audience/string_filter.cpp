// String filters: their validation and matching (declared in filter_matching.h).
#include <string>
#include <vector>

#include "measurement/audience/filter_matching.h"
#include "measurement/foundation/monitor.h"
#include "measurement/wire/access.h"
#include "os/text.h"

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

// `s` begins with `e`, ignoring case.
bool beginsIgnoringCase(std::string_view s, std::string_view e) {
  return os::text::rangeOf(s, e, kCaseInsensitive | kAnchored).location == 0;
}

// `s` is `e`, ignoring case.
bool equalsIgnoringCase(std::string_view s, std::string_view e) {
  return beginsIgnoringCase(s, e) && os::text::utf16Length(s) == os::text::utf16Length(e);
}

bool endsIgnoringCase(std::string_view s, std::string_view e) {
  os::text::Range found = os::text::rangeOf(s, e, kCaseInsensitive | kAnchored | kBackwards);
  const size_t length = os::text::utf16Length(s);
  const size_t expressionLength = os::text::utf16Length(e);
  return found.found() && expressionLength <= length && found.location == length - expressionLength;
}

bool matchesExpression(int32_t type, bool exactCase, const std::string& s, const std::string& e) {
  switch (type) {
    case kBeginsWith:
      return exactCase ? os::text::hasPrefix(s, e) : beginsIgnoringCase(s, e);
    case kEndsWith:
      return exactCase ? os::text::hasSuffix(s, e) : endsIgnoringCase(s, e);
    case kContains:
      return os::text::rangeOf(s, e, exactCase ? os::text::kNoOptions : kCaseInsensitive).found();
    default:  // kExact
      return exactCase ? s == e : equalsIgnoringCase(s, e);
  }
}

}  // namespace

bool isValidStringFilterWithRegex(const APMPBStringFilter& filter,
                                  std::shared_ptr<const CompiledRegex>* regex) {
  const MonitorContext context = messageContext(filter);
  if (!APMPBHasField(filter, kStringFilter_match_type)) {
    monitor().log(1, 9000, "String filter has no match type", context);
    return false;
  }
  const int32_t type = APMPBGetInt32(filter, kStringFilter_match_type);
  if (type == kInList) {
    if (!APMPBGetArray(filter, kStringFilter_expression_list).empty()) return true;
    monitor().log(1, 9003, "String filter has no expression list", context);
    return false;
  }
  if (type == kUnknownMatchType) {
    monitor().log(1, 9001, "String filter has unknown match type", context);
    return false;
  }
  std::optional<std::string> expression = APMPBGetString(filter, kStringFilter_expression);
  if (!expression) {
    monitor().log(1, 9002, "String filter has no expression", context);
    return false;
  }
  if (type != kRegexp) return true;
  os::Error error;
  std::shared_ptr<const CompiledRegex> compiled =
      cachedRegex(*expression, caseSensitive(filter), &error);
  if (!compiled) {
    monitor().log(1, 9004, "Unable to parse regular expression", context, error);
    return false;
  }
  if (regex) *regex = std::move(compiled);
  return true;
}

bool isValidStringFilter(const APMPBStringFilter& filter) {
  return isValidStringFilterWithRegex(filter, nullptr);
}

Outcome evaluateStringFilter(const APMPBStringFilter& filter, const std::string* string) {
  if (string == nullptr) {
    monitor().log(1, 9005, "Evaluation string is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  std::shared_ptr<const CompiledRegex> regex;
  if (!isValidStringFilterWithRegex(filter, &regex)) {
    monitor().log(1, 9006, "String filter is invalid. Audience filter will not be evaluated",
                  messageContext(filter));
    return std::nullopt;
  }
  const int32_t type = APMPBGetInt32(filter, kStringFilter_match_type);
  if (type > kInList || type < kUnknownMatchType) return false;
  const bool exactCase = caseSensitive(filter);
  if (type == kRegexp) {
    Outcome found = regex->firstMatch(*string);
    // A server pattern that backtracks past the limits cannot be evaluated for this value.
    if (!found) {
      monitor().log(1, 9006, "String filter is invalid. Audience filter will not be evaluated",
                    messageContext(filter));
    }
    return found;
  }
  if (type == kInList) {
    for (const std::string& entry : expressionList(filter)) {
      if (exactCase ? entry == *string : equalsIgnoringCase(*string, entry)) return true;
    }
    return false;
  }
  return matchesExpression(type, exactCase, *string,
                           APMPBGetString(filter, kStringFilter_expression).value_or(""));
}

}  // namespace measurement
