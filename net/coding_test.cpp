#include "net/coding.h"

#include <gtest/gtest.h>

#include "net/image_response_serializer.h"
#include "net/json_response_serializer.h"
#include "net/property_list_response_serializer.h"
#include "net/xml_response_serializers.h"
#include "os/value/plist.h"

namespace {

// `coded` through the bytes of a binary property list and back, as an archive travels.
os::Value archived(const os::Value& coded) {
  os::Error error;
  std::optional<std::string> bytes = os::plist::serialize(coded, os::plist::Format::Binary, &error);
  EXPECT_TRUE(bytes) << error.description;
  return bytes ? *os::plist::parse(*bytes) : os::Value();
}

TEST(CodingTest, SessionConfigurationsKeepTheirKindAndSettings) {
  auto background = os::URLSessionConfiguration::backgroundSessionConfiguration("com.tessaro.bg");
  background.setTimeoutIntervalForRequest(12.5);
  background.setTimeoutIntervalForResource(3600);
  background.setHTTPAdditionalHeaders({{"X-Client", "installer"}, {"Accept", "*/*"}});
  background.setHTTPMaximumConnectionsPerHost(2);
  auto ephemeral = os::URLSessionConfiguration::ephemeralSessionConfiguration();
  ephemeral.setTimeoutIntervalForRequest(5);

  for (const auto& original :
       {os::URLSessionConfiguration::defaultSessionConfiguration(), ephemeral, background}) {
    SCOPED_TRACE(original.identifier().value_or(original.isEphemeral() ? "ephemeral" : "default"));
    os::Error error;
    std::optional<os::URLSessionConfiguration> decoded =
        NKDecodeSessionConfiguration(archived(NKEncodeSessionConfiguration(original)), &error);
    ASSERT_TRUE(decoded) << error.description;
    EXPECT_EQ(*decoded, original);
  }

  const os::Value unreadable[] = {
      os::Value(),
      os::Dictionary{{"identifier", "x"}},
      os::Dictionary{{"$class", "NSURLSessionConfiguration"}, {"identifier", 7}},
      os::Dictionary{{"$class", "NSURLSessionConfiguration"}, {"ephemeral", "yes"}},
      os::Dictionary{{"$class", "NSURLSessionConfiguration"}, {"timeoutIntervalForRequest", true}},
      os::Dictionary{{"$class", "NSURLSessionConfiguration"},
                     {"HTTPMaximumConnectionsPerHost", -1}},
      os::Dictionary{{"$class", "NSURLSessionConfiguration"},
                     {"HTTPAdditionalHeaders", os::Dictionary{{"X", 1}}}},
  };
  for (const os::Value& coded : unreadable) {
    SCOPED_TRACE(coded.description());
    os::Error error;
    EXPECT_FALSE(NKDecodeSessionConfiguration(coded, &error));
    EXPECT_EQ(error.domain, os::kCocoaErrorDomain);
    EXPECT_EQ(error.code, kNKCoderReadCorruptError);
  }
}

TEST(CodingTest, ResponseSerializersKeepTheirClassAndSettings) {
  auto json = NKJSONResponseSerializer::serializerWithReadingOptions(kJSONReadingFragmentsAllowed);
  json->setRemovesKeysWithNullValues(true);
  json->setAcceptableStatusCodes(std::set<int>{200, 404});
  auto anything = NKHTTPResponseSerializer::serializer();
  anything->setAcceptableStatusCodes(std::nullopt);
  anything->setAcceptableContentTypes(std::set<std::string>{"text/csv"});
  auto document = NKXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(2);
  document->setAcceptableContentTypes(std::nullopt);
  auto plist = NKPropertyListResponseSerializer::serializerWithFormat(kPropertyListBinaryFormat, 1);
  auto compound = NKCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
      {json, NKImageResponseSerializer::serializer()});
  compound->setAcceptableStatusCodes(std::set<int>{204});

  const std::shared_ptr<NKHTTPResponseSerializer> originals[] = {
      anything, json,     NKXMLParserResponseSerializer::serializer(), document,
      plist,    compound, NKImageResponseSerializer::serializer()};
  for (const auto& original : originals) {
    SCOPED_TRACE(original->description());
    os::Value coded = NKEncodeResponseSerializer(*original);
    os::Error error;
    std::shared_ptr<NKHTTPResponseSerializer> decoded =
        NKDecodeResponseSerializer(archived(coded), &error);
    ASSERT_TRUE(decoded) << error.description;
    EXPECT_EQ(NKEncodeResponseSerializer(*decoded), coded);
    EXPECT_EQ(decoded->acceptableStatusCodes(), original->acceptableStatusCodes());
    EXPECT_EQ(decoded->acceptableContentTypes(), original->acceptableContentTypes());
    // The same class: the descriptions differ only in the address.
    EXPECT_EQ(decoded->description().substr(0, decoded->description().find(':')),
              original->description().substr(0, original->description().find(':')));
  }

  auto decodedJSON = std::dynamic_pointer_cast<NKJSONResponseSerializer>(
      NKDecodeResponseSerializer(NKEncodeResponseSerializer(*json), nullptr));
  ASSERT_TRUE(decodedJSON);
  EXPECT_EQ(decodedJSON->readingOptions(), kJSONReadingFragmentsAllowed);
  EXPECT_TRUE(decodedJSON->removesKeysWithNullValues());
  auto decodedCompound = std::dynamic_pointer_cast<NKCompoundResponseSerializer>(
      NKDecodeResponseSerializer(NKEncodeResponseSerializer(*compound), nullptr));
  ASSERT_TRUE(decodedCompound);
  ASSERT_EQ(decodedCompound->responseSerializers().size(), 2u);
  EXPECT_TRUE(std::dynamic_pointer_cast<NKImageResponseSerializer>(
      decodedCompound->responseSerializers()[1]));
}

TEST(CodingTest, UnreadableResponseSerializersAreRefused) {
  const os::Value unreadable[] = {
      os::Value("NKJSONResponseSerializer"),
      os::Dictionary{{"acceptableStatusCodes", os::Array{200}}},
      os::Dictionary{{"$class", "NKSecurityPolicy"}},
      os::Dictionary{{"$class", "NKHTTPResponseSerializer"}, {"acceptableStatusCodes", 200}},
      os::Dictionary{{"$class", "NKHTTPResponseSerializer"},
                     {"acceptableContentTypes", os::Array{1}}},
      os::Dictionary{{"$class", "NKJSONResponseSerializer"}, {"removesKeysWithNullValues", 1}},
      os::Dictionary{{"$class", "NKPropertyListResponseSerializer"}, {"format", "xml"}},
      os::Dictionary{{"$class", "NKCompoundResponseSerializer"},
                     {"responseSerializers", os::Array{os::Dictionary{{"$class", "Nope"}}}}},
  };
  for (const os::Value& coded : unreadable) {
    SCOPED_TRACE(coded.description());
    os::Error error;
    EXPECT_FALSE(NKDecodeResponseSerializer(coded, &error));
    EXPECT_EQ(error.domain, os::kCocoaErrorDomain);
    EXPECT_EQ(error.code, kNKCoderReadCorruptError);
  }
}

}  // namespace
