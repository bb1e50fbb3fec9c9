#include "os/value/json.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

#include "os/value/value_utf8.h"

namespace os::json {
namespace {

using Json = nlohmann::json;

// Arrays and objects nested deeper than this are refused (the platform's reader has the same
// kind of limit), which keeps every recursive walk of the result far from the stack's end.
constexpr size_t kMaxDepth = 512;

Error readError(const std::string& reason, std::optional<size_t> position = std::nullopt) {
  Dictionary userInfo{{"NSDebugDescription", reason}};
  if (position) userInfo["NSJSONSerializationErrorIndex"] = static_cast<uint64_t>(*position);
  return Error(
      kCocoaErrorDomain, kInvalidJSONError,
      "The data couldn\u2019t be read because it isn\u2019t in the correct format: " + reason,
      std::move(userInfo));
}

Error writeError(const std::string& reason) {
  return Error(
      kCocoaErrorDomain, kInvalidJSONError,
      "The data couldn\u2019t be written because it isn\u2019t in the correct format: " + reason,
      Dictionary{{"NSDebugDescription", reason}});
}

// nlohmann's messages start with "[json.exception.parse_error.101] "; the rest is the reason.
std::string reasonOf(const std::exception& exception) {
  std::string text = exception.what();
  if (!text.empty() && text[0] == '[') {
    size_t end = text.find("] ");
    if (end != std::string::npos) text.erase(0, end + 2);
  }
  return internal::sanitizeUtf8(text);
}

// Builds the Value directly from the parser's events: integers stay Integer/Unsigned, other
// numbers Real, duplicate keys keep the last value.
class Builder final : public nlohmann::json_sax<Json> {
 public:
  std::optional<Value> result;
  std::optional<Error> error;

  bool null() override { return add(Value()); }
  bool boolean(bool value) override { return add(Value(value)); }
  bool number_integer(number_integer_t value) override { return add(Value(int64_t{value})); }
  // The parser reports every non-negative integer here; only those above INT64_MAX stay
  // Unsigned.
  bool number_unsigned(number_unsigned_t value) override {
    if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return add(Value(static_cast<int64_t>(value)));
    }
    return add(Value(uint64_t{value}));
  }
  bool number_float(number_float_t value, const string_t& text) override {
    if (!std::isfinite(value)) {
      error = readError("number " + internal::sanitizeUtf8(text) + " is out of range");
      return false;
    }
    return add(Value(value));
  }
  bool string(string_t& value) override { return add(Value(std::move(value))); }
  bool binary(binary_t&) override {
    error = readError("binary values are not JSON");
    return false;
  }
  bool start_object(std::size_t) override { return open(Value(Dictionary{})); }
  bool key(string_t& value) override {
    keys_.push_back(std::move(value));
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Value(Array{})); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& exception) override {
    // nlohmann counts positions from 1 (the character that failed); the platform's index is
    // the 0-based offset of that character.
    error = readError(reasonOf(exception), position > 0 ? position - 1 : 0);
    return false;
  }

 private:
  bool open(Value container) {
    if (stack_.size() >= kMaxDepth) {
      error = readError("too many nested arrays or dictionaries (more than " +
                        std::to_string(kMaxDepth) + " levels)");
      return false;
    }
    stack_.push_back(std::move(container));
    return true;
  }

  bool close() {
    Value done = std::move(stack_.back());
    stack_.pop_back();
    return add(std::move(done));
  }

  bool add(Value value) {
    if (stack_.empty()) {
      result = std::move(value);
    } else if (Array* array = stack_.back().asArray()) {
      array->push_back(std::move(value));
    } else {
      Dictionary& dictionary = *stack_.back().asDictionary();
      dictionary.insert_or_assign(std::move(keys_.back()), std::move(value));
      keys_.pop_back();
    }
    return true;
  }

  std::vector<Value> stack_;
  std::vector<std::string> keys_;
};

// Why `value` cannot be written as JSON, or nullopt when it can. `path` names the place.
std::optional<std::string> invalidReasonAt(const Value& value, const std::string& path) {
  switch (value.type()) {
    case Value::Type::Null:
    case Value::Type::Boolean:
    case Value::Type::Integer:
    case Value::Type::Unsigned:
      return std::nullopt;
    case Value::Type::Real:
      if (!std::isfinite(*value.asReal())) {
        return "invalid number value (" + value.description() + ") at " + path;
      }
      return std::nullopt;
    case Value::Type::String:
      if (!internal::isValidUtf8(*value.asString())) return "string is not valid UTF-8 at " + path;
      return std::nullopt;
    case Value::Type::Data:
      return "data has no JSON form, at " + path;
    case Value::Type::Date:
      return "a date has no JSON form, at " + path;
    case Value::Type::Array: {
      const Array& array = *value.asArray();
      for (size_t i = 0; i < array.size(); ++i) {
        if (auto reason = invalidReasonAt(array[i], path + "[" + std::to_string(i) + "]")) {
          return reason;
        }
      }
      return std::nullopt;
    }
    case Value::Type::Dictionary:
      for (const auto& [key, item] : *value.asDictionary()) {
        if (!internal::isValidUtf8(key)) return "a key is not valid UTF-8 in " + path;
        if (auto reason = invalidReasonAt(item, path + "." + key)) return reason;
      }
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::string> invalidReason(const Value& value, bool allowFragments) {
  if (!allowFragments && !value.isArray() && !value.isDictionary()) {
    return "the top level is not an array or a dictionary and fragments are not allowed";
  }
  return invalidReasonAt(value, "$");
}

Json toJson(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      return nullptr;
    case Value::Type::Boolean:
      return *value.asBool();
    case Value::Type::Integer:
      return *value.asInteger();
    case Value::Type::Unsigned:
      return *value.asUnsigned();
    case Value::Type::Real:
      return *value.asReal();
    case Value::Type::String:
      return *value.asString();
    case Value::Type::Array: {
      Json array = Json::array();
      for (const Value& item : *value.asArray()) array.push_back(toJson(item));
      return array;
    }
    case Value::Type::Dictionary: {
      Json object = Json::object();
      for (const auto& [key, item] : *value.asDictionary()) object[key] = toJson(item);
      return object;
    }
    case Value::Type::Data:
    case Value::Type::Date:
      break;  // refused by invalidReason before
  }
  return nullptr;
}

}  // namespace

std::optional<Value> parse(std::string_view text, Error* error, bool allowFragments) {
  // nlohmann's reader takes a NUL byte for the end of the input; no JSON text holds one (in a
  // string it would be an unescaped control character).
  if (size_t nul = text.find('\0'); nul != std::string_view::npos) {
    fail(error, readError("unexpected NUL byte at offset " + std::to_string(nul), nul));
    return std::nullopt;
  }
  Builder builder;
  bool parsed = false;
  try {
    parsed = Json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const nlohmann::json::exception& exception) {
    builder.error = readError(reasonOf(exception));
  }
  if (!parsed || !builder.result) {
    fail(error, builder.error ? *builder.error : readError("the text could not be parsed"));
    return std::nullopt;
  }
  if (!allowFragments && !builder.result->isArray() && !builder.result->isDictionary()) {
    fail(error, readError("JSON text did not start with array or object and option to allow "
                          "fragments not set"));
    return std::nullopt;
  }
  return std::move(builder.result);
}

std::optional<std::string> serialize(const Value& value, const WriteOptions& options,
                                     Error* error) {
  if (auto reason = invalidReason(value, options.fragmentsAllowed)) {
    fail(error, writeError(*reason));
    return std::nullopt;
  }
  std::string text;
  try {
    // Keys come out sorted: Dictionary is a sorted map and nlohmann's object is one too.
    text = toJson(value).dump(options.prettyPrinted ? 2 : -1, ' ', /*ensure_ascii=*/false,
                              Json::error_handler_t::strict);
  } catch (const nlohmann::json::exception& exception) {
    fail(error, writeError(reasonOf(exception)));
    return std::nullopt;
  }
  if (options.escapeSlashes) {
    // A "/" byte can only appear inside strings (it is never part of a multi-byte UTF-8
    // sequence, a number or a literal), so every one of them is escaped.
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
      if (c == '/') escaped += '\\';
      escaped += c;
    }
    text = std::move(escaped);
  }
  return text;
}

bool isValidJSONObject(const Value& value, bool allowFragments) {
  return !invalidReason(value, allowFragments).has_value();
}

}  // namespace os::json
