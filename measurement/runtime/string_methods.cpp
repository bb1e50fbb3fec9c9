#include "measurement/runtime/string_methods.h"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "measurement/runtime/collection.h"
#include "measurement/runtime/evaluator.h"
#include "measurement/runtime/scope.h"

namespace measurement::runtime {

namespace {

using Handler = Value (*)(const std::u16string& s, ValueList& args, APMPScope& scope,
                          os::Error* error);

// ICU counts its time limit in steps of its matching engine (about a few million per unit), so
// the bound does not depend on the machine's speed or load.
constexpr int32_t kRegexTimeLimit = 5;
constexpr int32_t kRegexStackBytes = 1 << 20;

double integerArgument(const ValueList& args, size_t index, double absent, os::Error* error) {
  if (index >= args.size()) return absent;
  return toInteger(numberForm(args[index], error));
}

std::u16string textArgument(const ValueList& args, size_t index, os::Error* error) {
  if (index >= args.size()) return u"undefined";
  return stringForm(args[index], error);
}

size_t clampIndex(double value, size_t length) {
  if (value <= 0) return 0;
  return value >= double(length) ? length : size_t(value);
}

// A new string value of the units [first, last), checked and charged before it is built.
template <class It>
Value newString(It first, It last, os::Error* error) {
  if (!reserveString(size_t(std::distance(first, last)), error)) return Value();
  return makeString(std::u16string(first, last));
}

Value newString(std::u16string_view text, os::Error* error) {
  return newString(text.begin(), text.end(), error);
}

// Needles up to this length are searched directly: at most this many comparisons per unit.
constexpr size_t kShortNeedle = 16;

// The first occurrence of the needle in [first, last), or `last`: a Knuth-Morris-Pratt search,
// linear in both lengths where a direct search of a long needle can take their product. The
// units scanned are charged; its table must fit the memory budget.
template <class It>
It searchText(It first, It last, It needleFirst, It needleLast, os::Error* error) {
  size_t m = size_t(needleLast - needleFirst);
  It found = last;
  if (m <= kShortNeedle) {
    found = std::search(first, last, needleFirst, needleLast);
  } else {
    if (!fitsMemory(m * sizeof(uint32_t), error)) return last;
    // border[i]: the length of the longest proper prefix of needle[0..i] that is also its suffix.
    std::vector<uint32_t> border(m, 0);
    for (size_t i = 1, k = 0; i < m; ++i) {
      while (k > 0 && needleFirst[i] != needleFirst[k]) k = border[k - 1];
      if (needleFirst[i] == needleFirst[k]) ++k;
      border[i] = uint32_t(k);
    }
    size_t k = 0;
    for (It it = first; it != last; ++it) {
      while (k > 0 && *it != needleFirst[k]) k = border[k - 1];
      if (*it == needleFirst[k]) ++k;
      if (k == m) {
        found = it - (m - 1);
        break;
      }
    }
  }
  size_t scanned = size_t((found == last ? last : found + m) - first) + m;
  if (!chargeUnits(scanned, error)) return last;
  return found;
}

// The first occurrence of `needle` in `s` at or after `from`, or npos.
size_t findText(std::u16string_view s, std::u16string_view needle, size_t from, os::Error* error) {
  if (needle.size() > s.size() || from > s.size() - needle.size()) return std::u16string::npos;
  auto found = searchText(s.begin() + long(from), s.end(), needle.begin(), needle.end(), error);
  return found == s.end() ? std::u16string::npos : size_t(found - s.begin());
}

// The last occurrence of `needle` in `s` that starts at or before `from`, or npos.
size_t findLastText(std::u16string_view s, std::u16string_view needle, size_t from,
                    os::Error* error) {
  if (needle.size() > s.size()) return std::u16string::npos;
  size_t end = std::min(from, s.size() - needle.size()) + needle.size();
  auto first = std::make_reverse_iterator(s.begin() + long(end));
  auto found = searchText(first, s.rend(), needle.rbegin(), needle.rend(), error);
  return found == s.rend() ? std::u16string::npos
                           : size_t(found.base() - s.begin()) - needle.size();
}

Value charAt(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 1, error)) return Value();
  double i = integerArgument(args, 0, 0, error);
  if (failed(error)) return Value();
  if (i < 0 || i >= double(s.size())) return makeString(u"");
  return makeString(std::u16string(1, s[size_t(i)]));
}

Value concat(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  std::vector<std::u16string> texts;
  size_t length = s.size();
  for (const Value& arg : args) {
    texts.push_back(stringForm(arg, error));
    length += texts.back().size();
    if (failed(error) || !checkStringLength(length, error)) return Value();
  }
  if (!reserveString(length, error)) return Value();
  std::u16string out;
  out.reserve(length);
  out += s;
  for (const std::u16string& text : texts) out += text;
  return makeString(std::move(out));
}

Value hasOwnProperty(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 1, error)) return Value();
  std::u16string key = stringForm(args[0], error);
  if (failed(error)) return Value();
  if (key == u"length") return Value::boolean(true);
  double n = numberForm(args[0], error);
  if (failed(error)) return Value();
  return Value::boolean(n >= 0 && n == std::trunc(n) && n < double(s.size()));
}

Value indexOf(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 2, error)) return Value();
  std::u16string needle = textArgument(args, 0, error);
  double start = integerArgument(args, 1, 0, error);
  if (failed(error)) return Value();
  if (needle.empty()) return Value::number(-1);
  size_t found = findText(s, needle, clampIndex(start, s.size()), error);
  if (failed(error)) return Value();
  return Value::number(found == std::u16string::npos ? -1 : double(found));
}

Value lastIndexOf(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 2, error)) return Value();
  std::u16string needle = textArgument(args, 0, error);
  double from = std::numeric_limits<double>::infinity();
  if (args.size() > 1) {
    double n = numberForm(args[1], error);
    if (!std::isnan(n)) from = toInteger(n);
  }
  if (failed(error)) return Value();
  if (needle.empty()) return Value::number(-1);
  size_t found = findLastText(s, needle, clampIndex(from, s.size()), error);
  if (failed(error)) return Value();
  return Value::number(found == std::u16string::npos ? -1 : double(found));
}

// The first match of `pattern` in `s`: its range, or nullopt when there is none. False with the
// regex error when the pattern does not compile or the match runs out of its limits.
bool findPattern(const std::u16string& s, const std::u16string& pattern,
                 std::optional<std::pair<int32_t, int32_t>>* match, os::Error* error) {
  // The subject may be scanned to its end, and the pattern is compiled.
  if (!chargeUnits(s.size() + pattern.size(), error)) return false;
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  icu::UnicodeString patternText(false, pattern.data(), int32_t(pattern.size()));
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(patternText, 0, parseError, status));
  icu::UnicodeString subject(false, s.data(), int32_t(s.size()));
  std::unique_ptr<icu::RegexMatcher> matcher;
  if (U_SUCCESS(status)) matcher.reset(compiled->matcher(subject, status));
  if (U_SUCCESS(status)) matcher->setTimeLimit(kRegexTimeLimit, status);
  if (U_SUCCESS(status)) matcher->setStackLimit(kRegexStackBytes, status);
  bool found = U_SUCCESS(status) && matcher->find(status);
  if (U_FAILURE(status)) {
    return os::fail(
        error, os::Error(kRegexErrorDomain, kRegexErrorInvalid,
                         std::string("The regular expression failed: ") + u_errorName(status)));
  }
  if (found) {
    int32_t start = matcher->start(status);
    *match = std::make_pair(start, matcher->end(status) - start);
  }
  return true;
}

Value match(const std::u16string& s, ValueList& args, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 1, error)) return Value();
  std::u16string pattern = args.empty() ? u"" : stringForm(args[0], error);
  if (failed(error)) return Value();
  if (pattern.empty()) return APMPObjectManager::arrayValueWithArray({makeString(u"")}, scope);
  std::optional<std::pair<int32_t, int32_t>> found;
  if (!findPattern(s, pattern, &found, error)) return Value();
  if (!found) return Value::null();
  auto first = s.begin() + found->first;
  Value text = newString(first, first + found->second, error);
  if (failed(error)) return Value();
  return APMPObjectManager::arrayValueWithArray({text}, scope);
}

Value search(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 1, error)) return Value();
  std::u16string pattern = textArgument(args, 0, error);
  if (failed(error)) return Value();
  if (pattern.empty()) return Value::number(0);
  std::optional<std::pair<int32_t, int32_t>> found;
  if (!findPattern(s, pattern, &found, error)) return Value();
  return Value::number(found ? found->first : -1);
}

Value replace(const std::u16string& s, ValueList& args, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 2, error)) return Value();
  std::u16string needle = textArgument(args, 0, error);
  if (failed(error)) return Value();
  size_t position = needle.empty() ? 0 : findText(s, needle, 0, error);
  if (failed(error)) return Value();
  if (position == std::u16string::npos) return newString(s, error);
  std::u16string replacement;
  if (args.size() < 2) {
    replacement = u"undefined";
  } else if (APMPFunctionValue* function = args[1].asFunction()) {
    Ref<APMPFunctionValue> keep(function);
    Value callArguments[] = {newString(needle, error), Value::number(double(position)),
                             newString(s, error)};
    if (failed(error)) return Value();
    Value result = function->invoke(callArguments, scope, error);
    if (failed(error)) return Value();
    replacement = stringForm(result, error);
  } else {
    replacement = stringForm(args[1], error);
  }
  if (failed(error)) return Value();
  size_t length = s.size() - needle.size() + replacement.size();
  if (!reserveString(length, error)) return Value();
  std::u16string out;
  out.reserve(length);
  out.append(s, 0, position).append(replacement).append(s, position + needle.size());
  return makeString(std::move(out));
}

// A negative position counts from the end.
size_t relativeIndex(double value, size_t length) {
  if (value < 0) return clampIndex(value + double(length), length);
  return clampIndex(value, length);
}

Value slice(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 2, error)) return Value();
  double start = integerArgument(args, 0, 0, error);
  double end = integerArgument(args, 1, double(s.size()), error);
  if (failed(error)) return Value();
  size_t from = relativeIndex(start, s.size());
  size_t to = std::max(relativeIndex(end, s.size()), from);
  return newString(s.begin() + long(from), s.begin() + long(to), error);
}

Value split(const std::u16string& s, ValueList& args, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 2, error)) return Value();
  if (s.empty() || args.empty()) {
    Value whole = newString(s, error);
    if (failed(error)) return Value();
    return APMPObjectManager::arrayValueWithArray({whole}, scope);
  }
  std::u16string separator = stringForm(args[0], error);
  if (failed(error)) return Value();
  double limit = std::numeric_limits<double>::infinity();
  if (args.size() > 1) {
    double n = numberForm(args[1], error);
    if (failed(error)) return Value();
    limit = toUint32(n);
  }
  ValueList pieces;
  // Each piece is an element and a string of its own: both are checked before it is made.
  auto addPiece = [&](size_t start, size_t end) {
    if (!reserveElements(pieces.size() + 1, 1, error)) return false;
    Value piece = newString(s.begin() + long(start), s.begin() + long(end), error);
    if (failed(error)) return false;
    chargeMemory(sizeof(Value));
    pieces.push_back(std::move(piece));
    return true;
  };
  if (separator.empty()) {
    // The count is known: refused at once when it cannot be made.
    size_t count = size_t(std::min(double(s.size()), limit));
    if (!reserveElements(count, error) || !chargeVisits(count, error) ||
        !fitsMemory(count * (sizeof(APMPStringValue) + sizeof(char16_t)), error)) {
      return Value();
    }
    for (size_t i = 0; i < count; ++i) {
      if (!addPiece(i, i + 1)) return Value();
    }
  } else {
    size_t start = 0;
    while (double(pieces.size()) < limit) {
      size_t found = findText(s, separator, start, error);
      if (failed(error) || !chargeVisits(1, error)) return Value();
      if (found == std::u16string::npos) {
        if (!addPiece(start, s.size())) return Value();
        break;
      }
      if (!addPiece(start, found)) return Value();
      start = found + separator.size();
    }
  }
  return APMPObjectManager::arrayValueWithArray(std::move(pieces), scope);
}

Value substring(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 2, error)) return Value();
  size_t start = clampIndex(integerArgument(args, 0, 0, error), s.size());
  size_t end = clampIndex(integerArgument(args, 1, double(s.size()), error), s.size());
  if (failed(error)) return Value();
  if (start > end) std::swap(start, end);
  return newString(s.begin() + long(start), s.begin() + long(end), error);
}

template <bool Upper, bool Localised>
Value changeCase(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 0, error) || !chargeUnits(s.size(), error)) return Value();
  // A character may map to several, so the length is measured first (ICU's preflight) and the
  // result checked before it is built.
  const char* locale = Localised ? icu::Locale::getDefault().getName() : "";
  auto map = [&](char16_t* destination, int32_t capacity, UErrorCode* status) {
    return Upper ? u_strToUpper(destination, capacity, s.data(), int32_t(s.size()), locale, status)
                 : u_strToLower(destination, capacity, s.data(), int32_t(s.size()), locale, status);
  };
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = map(nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
    runtimeError(error, kLimit);
    return Value();
  }
  if (!reserveString(size_t(length), error)) return Value();
  std::u16string out(size_t(length), u'\0');
  status = U_ZERO_ERROR;
  map(out.data(), length, &status);
  if (U_FAILURE(status)) {
    runtimeError(error, kLimit);
    return Value();
  }
  return makeString(std::move(out));
}

Value toStringMethod(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 0, error)) return Value();
  return newString(s, error);
}

Value trim(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 0, error) || !chargeUnits(s.size(), error)) return Value();
  return newString(trimmed(s), error);
}

struct Method {
  std::u16string_view name;
  Handler handler;
};

constexpr Method kMethods[] = {
    {u"charAt", charAt},
    {u"concat", concat},
    {u"hasOwnProperty", hasOwnProperty},
    {u"indexOf", indexOf},
    {u"lastIndexOf", lastIndexOf},
    {u"match", match},
    {u"replace", replace},
    {u"search", search},
    {u"slice", slice},
    {u"split", split},
    {u"substring", substring},
    {u"toLowerCase", changeCase<false, false>},
    {u"toLocaleLowerCase", changeCase<false, true>},
    {u"toUpperCase", changeCase<true, false>},
    {u"toLocaleUpperCase", changeCase<true, true>},
    {u"toString", toStringMethod},
    {u"trim", trim},
};

}  // namespace

Value applyStringMethod(const APMPStringValue& receiver, const APMPStringValue& name,
                        std::span<const Value> arguments, APMPScope& scope, os::Error* error) {
  for (const Method& method : kMethods) {
    if (method.name != name.text()) continue;
    // The receiver's text stays valid through the call: arguments may drop the last other
    // reference to the string value.
    Ref<APMPStringValue> keep(const_cast<APMPStringValue*>(&receiver));
    ValueList values;
    if (!evaluateArguments(arguments, scope, &values, error)) return Value();
    return method.handler(receiver.text(), values, scope, error);
  }
  runtimeError(error, kNoMethod);
  return Value();
}

}  // namespace measurement::runtime
