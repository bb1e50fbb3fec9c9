// NKJSONResponseSerializer: the default serializer of every session manager. Accepts the JSON
// and text types and parses the body into an os::Value.
//
//   auto serializer = NKJSONResponseSerializer::serializer();
//   serializer->setRemovesKeysWithNullValues(true);   // {"a":null,"b":1} gives {b = 1;}
//   manager->setResponseSerializer(serializer);
#pragma once

#include <cstdint>
#include <memory>

#include "net/response_serialization.h"

// The platform's JSON reading option bits.
inline constexpr uint64_t kJSONReadingMutableContainers = 1;
inline constexpr uint64_t kJSONReadingMutableLeaves = 2;
// A top-level string, number, boolean or null is accepted.
inline constexpr uint64_t kJSONReadingFragmentsAllowed = 4;

class NKJSONResponseSerializer : public NKHTTPResponseSerializer {
 public:
  // Acceptable content types "application/json", "text/json", "text/javascript", "text/html"
  // and "text/plain"; reading options 0.
  NKJSONResponseSerializer();
  static std::shared_ptr<NKJSONResponseSerializer> serializer();
  static std::shared_ptr<NKJSONResponseSerializer> serializerWithReadingOptions(uint64_t options);

  // Only kJSONReadingFragmentsAllowed changes what is read; the mutability bits have no
  // meaning for values.
  uint64_t readingOptions() const { return readingOptions_; }
  void setReadingOptions(uint64_t options) { readingOptions_ = options; }
  // Drop dictionary entries whose value is null, at every depth (default false).
  bool removesKeysWithNullValues() const { return removesKeysWithNullValues_; }
  void setRemovesKeysWithNullValues(bool removes) { removesKeysWithNullValues_ = removes; }

  // After the guard of validateForParsing: an empty body or a body of exactly one space gives
  // nil and leaves the validation error; otherwise the parsed document, or nil with the parse
  // error (os/value/json.h) chained over the validation error.
  NKResponseObject responseObjectForResponse(const std::shared_ptr<const os::URLResponse>& response,
                                             const os::Data& data,
                                             std::optional<os::Error>* error) const override;
  std::shared_ptr<NKURLResponseSerialization> copy() const override;

 protected:
  const char* className() const override { return "NKJSONResponseSerializer"; }

 private:
  uint64_t readingOptions_ = 0;
  bool removesKeysWithNullValues_ = false;
};

// `value` without the dictionary entries whose value is null, in nested arrays and dictionaries
// too; other values unchanged.
os::Value NKJSONObjectByRemovingKeysWithNullValues(const os::Value& value);
