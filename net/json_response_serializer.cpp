#include "net/json_response_serializer.h"

#include <string_view>

#include "os/value/json.h"

NKJSONResponseSerializer::NKJSONResponseSerializer() {
  setAcceptableContentTypes(std::set<std::string>{"application/json", "text/json",
                                                  "text/javascript", "text/html", "text/plain"});
}

std::shared_ptr<NKJSONResponseSerializer> NKJSONResponseSerializer::serializer() {
  return serializerWithReadingOptions(0);
}

std::shared_ptr<NKJSONResponseSerializer> NKJSONResponseSerializer::serializerWithReadingOptions(
    uint64_t options) {
  auto serializer = std::make_shared<NKJSONResponseSerializer>();
  serializer->setReadingOptions(options);
  return serializer;
}

NKResponseObject NKJSONResponseSerializer::responseObjectForResponse(
    const std::shared_ptr<const os::URLResponse>& response, const os::Data& data,
    std::optional<os::Error>* error) const {
  if (!validateForParsing(response, data, error)) return {};
  // Some servers answer "nothing" with a single space, which is no JSON document.
  if (data.empty() || (data.size() == 1 && data[0] == ' ')) return {};

  os::Error parseError;
  std::optional<os::Value> document =
      os::json::parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
                      &parseError, (readingOptions_ & kJSONReadingFragmentsAllowed) != 0);
  if (!document) {
    if (error) *error = NKErrorWithUnderlyingError(std::move(parseError), *error);
    return {};
  }
  if (removesKeysWithNullValues_) return NKJSONObjectByRemovingKeysWithNullValues(*document);
  return std::move(*document);
}

std::shared_ptr<NKURLResponseSerialization> NKJSONResponseSerializer::copy() const {
  return std::make_shared<NKJSONResponseSerializer>(*this);
}

os::Value NKJSONObjectByRemovingKeysWithNullValues(const os::Value& value) {
  if (const os::Array* array = value.asArray()) {
    os::Array cleaned;
    cleaned.reserve(array->size());
    for (const os::Value& element : *array) {
      cleaned.push_back(NKJSONObjectByRemovingKeysWithNullValues(element));
    }
    return cleaned;
  }
  if (const os::Dictionary* dictionary = value.asDictionary()) {
    os::Dictionary cleaned;
    for (const auto& [key, member] : *dictionary) {
      if (!member.isNull()) cleaned.emplace(key, NKJSONObjectByRemovingKeysWithNullValues(member));
    }
    return cleaned;
  }
  return value;
}
