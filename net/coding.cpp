#include "net/coding.h"

#include <set>
#include <utility>
#include <vector>

#include "net/image_response_serializer.h"
#include "net/json_response_serializer.h"
#include "net/property_list_response_serializer.h"
#include "net/xml_response_serializers.h"

namespace {

constexpr const char* kConfigurationClass = "NSURLSessionConfiguration";
constexpr const char* kIdentifierKey = "identifier";
constexpr const char* kEphemeralKey = "ephemeral";
constexpr const char* kRequestTimeoutKey = "timeoutIntervalForRequest";
constexpr const char* kResourceTimeoutKey = "timeoutIntervalForResource";
constexpr const char* kAdditionalHeadersKey = "HTTPAdditionalHeaders";
constexpr const char* kMaximumConnectionsKey = "HTTPMaximumConnectionsPerHost";

constexpr const char* kStatusCodesKey = "acceptableStatusCodes";
constexpr const char* kContentTypesKey = "acceptableContentTypes";
constexpr const char* kReadingOptionsKey = "readingOptions";
constexpr const char* kRemovesNullsKey = "removesKeysWithNullValues";
constexpr const char* kXMLOptionsKey = "options";
constexpr const char* kFormatKey = "format";
constexpr const char* kReadOptionsKey = "readOptions";
constexpr const char* kSerializersKey = "responseSerializers";

// The coded response serializer classes, by the name written under "$class"; a subclass of
// ours is coded as the nearest of them.
constexpr const char* kHTTPClass = "NKHTTPResponseSerializer";
constexpr const char* kJSONClass = "NKJSONResponseSerializer";
constexpr const char* kXMLParserClass = "NKXMLParserResponseSerializer";
constexpr const char* kXMLDocumentClass = "NKXMLDocumentResponseSerializer";
constexpr const char* kPropertyListClass = "NKPropertyListResponseSerializer";
constexpr const char* kImageClass = "NKImageResponseSerializer";
constexpr const char* kCompoundClass = "NKCompoundResponseSerializer";

template <typename Element>
os::Array arrayOf(const std::set<Element>& elements) {
  return os::Array(elements.begin(), elements.end());
}

// The set coded under `key` into `*out` (nullopt when absent); false when the key holds anything
// but an array of `Element`s.
template <typename Element>
bool decodeSet(const os::Dictionary& coded, const char* key,
               std::optional<std::set<Element>>* out) {
  auto found = coded.find(key);
  if (found == coded.end()) {
    *out = std::nullopt;
    return true;
  }
  const os::Array* array = found->second.asArray();
  if (!array) return false;
  std::set<Element> elements;
  for (const os::Value& element : *array) {
    if constexpr (std::is_same_v<Element, int>) {
      if (!element.isInteger()) return false;
      elements.insert(static_cast<int>(element.integerValue()));
    } else {
      const std::string* text = element.asString();
      if (!text) return false;
      elements.insert(*text);
    }
  }
  *out = std::move(elements);
  return true;
}

// A new serializer of the class named `className` made of `coded`, before the settings that all
// classes share; nullptr when the name is unknown or a key holds the wrong kind.
std::shared_ptr<NKHTTPResponseSerializer> makeSerializer(const std::string& className,
                                                         const os::Dictionary& coded,
                                                         os::Error* error) {
  if (className == kHTTPClass) return NKHTTPResponseSerializer::serializer();
  if (className == kXMLParserClass) return NKXMLParserResponseSerializer::serializer();
  if (className == kImageClass) return NKImageResponseSerializer::serializer();
  if (className == kJSONClass) {
    uint64_t readingOptions = 0;
    bool removesNulls = false;
    if (!NKDecodeUnsigned(coded, kReadingOptionsKey, &readingOptions) ||
        !NKDecodeBool(coded, kRemovesNullsKey, &removesNulls)) {
      return nullptr;
    }
    auto serializer = NKJSONResponseSerializer::serializerWithReadingOptions(readingOptions);
    serializer->setRemovesKeysWithNullValues(removesNulls);
    return serializer;
  }
  if (className == kXMLDocumentClass) {
    uint64_t options = 0;
    if (!NKDecodeUnsigned(coded, kXMLOptionsKey, &options)) return nullptr;
    return NKXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(
        static_cast<int>(options));
  }
  if (className == kPropertyListClass) {
    uint64_t format = kPropertyListXMLFormat;
    uint64_t readOptions = 0;
    if (!NKDecodeUnsigned(coded, kFormatKey, &format) ||
        !NKDecodeUnsigned(coded, kReadOptionsKey, &readOptions)) {
      return nullptr;
    }
    return NKPropertyListResponseSerializer::serializerWithFormat(format, readOptions);
  }
  if (className == kCompoundClass) {
    std::vector<std::shared_ptr<NKURLResponseSerialization>> serializers;
    auto found = coded.find(kSerializersKey);
    if (found != coded.end()) {
      const os::Array* array = found->second.asArray();
      if (!array) return nullptr;
      for (const os::Value& element : *array) {
        std::shared_ptr<NKHTTPResponseSerializer> serializer =
            NKDecodeResponseSerializer(element, error);
        if (!serializer) return nullptr;
        serializers.push_back(std::move(serializer));
      }
    }
    return NKCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        std::move(serializers));
  }
  return nullptr;
}

}  // namespace

os::Error NKCoderReadCorruptError(std::string reason) {
  os::Dictionary userInfo{{"NSDebugDescription", reason}};
  return os::Error(os::kCocoaErrorDomain, kNKCoderReadCorruptError, std::move(reason),
                   std::move(userInfo));
}

const os::Dictionary* NKCodedObject(const os::Value& coded, std::string_view className) {
  const std::string* name = coded[kNKCodedClassKey].asString();
  return name && *name == className ? coded.asDictionary() : nullptr;
}

bool NKDecodeBool(const os::Dictionary& coded, std::string_view key, bool* out) {
  auto found = coded.find(key);
  if (found == coded.end()) return true;
  const bool* value = found->second.asBool();
  if (!value) return false;
  *out = *value;
  return true;
}

bool NKDecodeUnsigned(const os::Dictionary& coded, std::string_view key, uint64_t* out) {
  auto found = coded.find(key);
  if (found == coded.end()) return true;
  if (!found->second.isInteger() || found->second.integerValue() < 0) return false;
  *out = found->second.unsignedValue();
  return true;
}

bool NKDecodeReal(const os::Dictionary& coded, std::string_view key, double* out) {
  auto found = coded.find(key);
  if (found == coded.end()) return true;
  if (!found->second.isNumber()) return false;
  *out = found->second.doubleValue();
  return true;
}

os::Value NKEncodeSessionConfiguration(const os::URLSessionConfiguration& configuration) {
  os::Dictionary coded{
      {kNKCodedClassKey, kConfigurationClass},
      {kEphemeralKey, configuration.isEphemeral()},
      {kRequestTimeoutKey, configuration.timeoutIntervalForRequest()},
      {kResourceTimeoutKey, configuration.timeoutIntervalForResource()},
      {kAdditionalHeadersKey, configuration.HTTPAdditionalHeaders().toValue()},
      {kMaximumConnectionsKey, configuration.HTTPMaximumConnectionsPerHost()},
  };
  if (configuration.identifier()) coded.emplace(kIdentifierKey, *configuration.identifier());
  return coded;
}

std::optional<os::URLSessionConfiguration> NKDecodeSessionConfiguration(const os::Value& coded,
                                                                        os::Error* error) {
  const os::Dictionary* entries = NKCodedObject(coded, kConfigurationClass);
  if (!entries) {
    os::fail(error, NKCoderReadCorruptError("Not a coded session configuration."));
    return std::nullopt;
  }
  auto wrongKind = [&] {
    os::fail(error,
             NKCoderReadCorruptError("A coded session configuration holds a value of the wrong "
                                     "kind."));
    return std::nullopt;
  };
  const os::Value& identifier = coded[kIdentifierKey];
  bool ephemeral = false;
  if ((!identifier.isNull() && !identifier.isString()) ||
      !NKDecodeBool(*entries, kEphemeralKey, &ephemeral)) {
    return wrongKind();
  }
  os::URLSessionConfiguration configuration =
      identifier.isString()
          ? os::URLSessionConfiguration::backgroundSessionConfiguration(*identifier.asString())
      : ephemeral ? os::URLSessionConfiguration::ephemeralSessionConfiguration()
                  : os::URLSessionConfiguration::defaultSessionConfiguration();
  double requestTimeout = configuration.timeoutIntervalForRequest();
  double resourceTimeout = configuration.timeoutIntervalForResource();
  auto maximumConnections = static_cast<uint64_t>(configuration.HTTPMaximumConnectionsPerHost());
  if (!NKDecodeReal(*entries, kRequestTimeoutKey, &requestTimeout) ||
      !NKDecodeReal(*entries, kResourceTimeoutKey, &resourceTimeout) ||
      !NKDecodeUnsigned(*entries, kMaximumConnectionsKey, &maximumConnections)) {
    return wrongKind();
  }
  os::HTTPHeaders headers;
  const os::Value& codedHeaders = coded[kAdditionalHeadersKey];
  if (!codedHeaders.isNull()) {
    const os::Dictionary* fields = codedHeaders.asDictionary();
    if (!fields) return wrongKind();
    for (const auto& [field, value] : *fields) {
      const std::string* text = value.asString();
      if (!text) return wrongKind();
      headers.set(field, *text);
    }
  }
  configuration.setTimeoutIntervalForRequest(requestTimeout);
  configuration.setTimeoutIntervalForResource(resourceTimeout);
  configuration.setHTTPMaximumConnectionsPerHost(static_cast<int>(maximumConnections));
  configuration.setHTTPAdditionalHeaders(std::move(headers));
  return configuration;
}

bool NKDecodeManagerConfiguration(const os::Dictionary& entries,
                                  std::optional<os::URLSessionConfiguration>* out,
                                  os::Error* error) {
  auto found = entries.find(kNKSessionConfigurationKey);
  if (found == entries.end()) return true;
  *out = NKDecodeSessionConfiguration(found->second, error);
  return out->has_value();
}

os::Value NKEncodeResponseSerializer(const NKHTTPResponseSerializer& serializer) {
  os::Dictionary coded;
  if (const auto* json = dynamic_cast<const NKJSONResponseSerializer*>(&serializer)) {
    coded = {{kNKCodedClassKey, kJSONClass},
             {kReadingOptionsKey, json->readingOptions()},
             {kRemovesNullsKey, json->removesKeysWithNullValues()}};
  } else if (dynamic_cast<const NKXMLParserResponseSerializer*>(&serializer)) {
    coded = {{kNKCodedClassKey, kXMLParserClass}};
  } else if (const auto* xml = dynamic_cast<const NKXMLDocumentResponseSerializer*>(&serializer)) {
    coded = {{kNKCodedClassKey, kXMLDocumentClass}, {kXMLOptionsKey, xml->options()}};
  } else if (const auto* plist =
                 dynamic_cast<const NKPropertyListResponseSerializer*>(&serializer)) {
    coded = {{kNKCodedClassKey, kPropertyListClass},
             {kFormatKey, plist->format()},
             {kReadOptionsKey, plist->readOptions()}};
  } else if (dynamic_cast<const NKImageResponseSerializer*>(&serializer)) {
    coded = {{kNKCodedClassKey, kImageClass}};
  } else if (const auto* compound =
                 dynamic_cast<const NKCompoundResponseSerializer*>(&serializer)) {
    os::Array serializers;
    for (const auto& each : compound->responseSerializers()) {
      if (const auto* http = dynamic_cast<const NKHTTPResponseSerializer*>(each.get())) {
        serializers.push_back(NKEncodeResponseSerializer(*http));
      }
    }
    coded = {{kNKCodedClassKey, kCompoundClass}, {kSerializersKey, std::move(serializers)}};
  } else {
    coded = {{kNKCodedClassKey, kHTTPClass}};
  }
  if (serializer.acceptableStatusCodes()) {
    coded.emplace(kStatusCodesKey, arrayOf(*serializer.acceptableStatusCodes()));
  }
  if (serializer.acceptableContentTypes()) {
    coded.emplace(kContentTypesKey, arrayOf(*serializer.acceptableContentTypes()));
  }
  return coded;
}

std::shared_ptr<NKHTTPResponseSerializer> NKDecodeResponseSerializer(const os::Value& coded,
                                                                     os::Error* error) {
  const std::string* className = coded[kNKCodedClassKey].asString();
  const os::Dictionary* entries = coded.asDictionary();
  if (!entries || !className) {
    os::fail(error, NKCoderReadCorruptError("Not a coded response serializer."));
    return nullptr;
  }
  os::Error inner;
  std::shared_ptr<NKHTTPResponseSerializer> serializer =
      makeSerializer(*className, *entries, &inner);
  std::optional<std::set<int>> statusCodes;
  std::optional<std::set<std::string>> contentTypes;
  if (!serializer || !decodeSet(*entries, kStatusCodesKey, &statusCodes) ||
      !decodeSet(*entries, kContentTypesKey, &contentTypes)) {
    // A nested serializer's own error says best what was wrong.
    os::fail(error, inner.code != 0
                        ? inner
                        : NKCoderReadCorruptError("A coded " + *className + " cannot be read."));
    return nullptr;
  }
  serializer->setAcceptableStatusCodes(std::move(statusCodes));
  serializer->setAcceptableContentTypes(std::move(contentTypes));
  return serializer;
}
