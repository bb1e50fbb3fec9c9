#include "measurement/runtime/string_methods.h"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string_view>

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

Value charAt(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 1, error)) return Value();
  double i = integerArgument(args, 0, 0, error);
  if (failed(error)) return Value();
  if (i < 0 || i >= double(s.size())) return makeString(u"");
  return makeString(std::u16string(1, s[size_t(i)]));
}

Value concat(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  std::u16string out = s;
  for (const Value& arg : args) {
    out += stringForm(arg, error);
    if (failed(error) || !checkStringLength(out.size(), error)) return Value();
  }
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
  size_t found = s.find(needle, clampIndex(start, s.size()));
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
  size_t position = clampIndex(from, s.size());
  size_t found = s.rfind(needle, position);
  return Value::number(found == std::u16string::npos ? -1 : double(found));
}

// The first match of `pattern` in `s`: its range, or nullopt when there is none. False with the
// regex error when the pattern does not compile or the match runs out of its limits.
bool findPattern(const std::u16string& s, const std::u16string& pattern,
                 std::optional<std::pair<int32_t, int32_t>>* match, os::Error* error) {
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
  return APMPObjectManager::arrayValueWithArray(
      {makeString(s.substr(size_t(found->first), size_t(found->second)))}, scope);
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
  size_t position = s.find(needle);
  if (position == std::u16string::npos) {
    if (!needle.empty()) return makeString(s);
    position = 0;
  }
  std::u16string replacement;
  if (args.size() < 2) {
    replacement = u"undefined";
  } else if (APMPFunctionValue* function = args[1].asFunction()) {
    Ref<APMPFunctionValue> keep(function);
    Value callArguments[] = {makeString(needle), Value::number(double(position)), makeString(s)};
    Value result = function->invoke(callArguments, scope, error);
    if (failed(error)) return Value();
    replacement = stringForm(result, error);
  } else {
    replacement = stringForm(args[1], error);
  }
  if (failed(error)) return Value();
  std::u16string out = s.substr(0, position) + replacement + s.substr(position + needle.size());
  if (!checkStringLength(out.size(), error)) return Value();
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
  size_t to = relativeIndex(end, s.size());
  return makeString(to > from ? s.substr(from, to - from) : u"");
}

Value split(const std::u16string& s, ValueList& args, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 2, error)) return Value();
  if (s.empty() || args.empty())
    return APMPObjectManager::arrayValueWithArray({makeString(s)}, scope);
  std::u16string separator = stringForm(args[0], error);
  if (failed(error)) return Value();
  double limit = std::numeric_limits<double>::infinity();
  if (args.size() > 1) {
    double n = numberForm(args[1], error);
    if (failed(error)) return Value();
    limit = toUint32(n);
  }
  ValueList pieces;
  if (separator.empty()) {
    for (size_t i = 0; i < s.size() && double(pieces.size()) < limit; ++i) {
      pieces.push_back(makeString(std::u16string(1, s[i])));
    }
  } else {
    size_t start = 0;
    while (double(pieces.size()) < limit) {
      size_t found = s.find(separator, start);
      if (found == std::u16string::npos) {
        pieces.push_back(makeString(s.substr(start)));
        break;
      }
      pieces.push_back(makeString(s.substr(start, found - start)));
      start = found + separator.size();
    }
  }
  if (!checkArrayLength(pieces.size(), error)) return Value();
  return APMPObjectManager::arrayValueWithArray(std::move(pieces), scope);
}

Value substring(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 2, error)) return Value();
  size_t start = clampIndex(integerArgument(args, 0, 0, error), s.size());
  size_t end = clampIndex(integerArgument(args, 1, double(s.size()), error), s.size());
  if (failed(error)) return Value();
  if (start > end) std::swap(start, end);
  return makeString(s.substr(start, end - start));
}

template <bool Upper, bool Localised>
Value changeCase(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 0, error)) return Value();
  icu::UnicodeString text(s.data(), int32_t(s.size()));
  const icu::Locale& locale = Localised ? icu::Locale::getDefault() : icu::Locale::getRoot();
  if (Upper) {
    text.toUpper(locale);
  } else {
    text.toLower(locale);
  }
  if (!checkStringLength(size_t(text.length()), error)) return Value();
  return makeString(std::u16string(text.getBuffer(), size_t(text.length())));
}

Value toStringMethod(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 0, error)) return Value();
  return makeString(s);
}

Value trim(const std::u16string& s, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 0, error)) return Value();
  return makeString(std::u16string(trimmed(s)));
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
