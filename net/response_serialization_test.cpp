#include "net/response_serialization.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <string>

#include "net/image_response_serializer.h"
#include "net/json_response_serializer.h"
#include "net/property_list_response_serializer.h"
#include "net/xml_response_serializers.h"
#include "os/net/urlsession.h"
#include "os/value/json.h"

namespace {

constexpr const char* kResponseDomain = kNKResponseSerializationErrorDomain;

os::Data bytes(std::string_view text) { return os::Data(text.begin(), text.end()); }

std::shared_ptr<const os::URLResponse> httpResponse(
    int status, std::optional<std::string> contentType,
    const std::string& url = "http://127.0.0.1/resource") {
  os::HTTPHeaders headers;
  if (contentType) headers.set("Content-Type", *contentType);
  return std::make_shared<os::HTTPURLResponse>(*os::URL::parse(url), status, headers);
}

os::Data pngBytes(int width, int height) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  os::Data png;
  cairo_surface_write_to_png_stream(
      surface,
      [](void* closure, const unsigned char* data, unsigned int length) {
        auto* out = static_cast<os::Data*>(closure);
        out->insert(out->end(), data, data + length);
        return CAIRO_STATUS_SUCCESS;
      },
      &png);
  cairo_surface_destroy(surface);
  return png;
}

struct JSONCase {
  const char* name;
  int status;
  std::optional<std::string> contentType;
  std::string body;
  // The expected object as JSON text; nullopt for nil.
  std::optional<std::string> object;
  // Expected error: none when domain is empty.
  std::string errorDomain = {};
  int64_t errorCode = 0;
  // Expected underlying error code, 0 for none.
  int64_t underlyingCode = 0;
};

TEST(JSONResponseSerializer, ValidatesAndParsesAsTheTableSays) {
  const JSONCase cases[] = {
      {"json with a charset", 200, "application/json; charset=utf-8", R"({"v":1})", R"({"v":1})"},
      {"text/plain is json too", 200, "text/plain", "[1,2]", "[1,2]"},
      {"wrong type with a body", 200, "image/png", "PNGDATA", std::nullopt, kResponseDomain, -1016},
      {"wrong type without a body", 200, "application/zip", "", std::nullopt},
      {"no content", 204, std::nullopt, "", std::nullopt},
      {"one space", 200, "application/json", " ", std::nullopt},
      {"404 keeps its json body", 404, "application/json", R"({"message":"gone"})",
       R"({"message":"gone"})", kResponseDomain, -1011},
      {"500 keeps its json body", 500, "application/json", R"({"retry":true})", R"({"retry":true})",
       kResponseDomain, -1011},
      {"500 of a wrong type", 500, "text/csv", "a,b", std::nullopt, kResponseDomain, -1011, -1016},
      {"malformed json", 200, "application/json", "{", std::nullopt, os::kCocoaErrorDomain, 3840},
      {"malformed json with a bad status", 502, "application/json", "{", std::nullopt,
       os::kCocoaErrorDomain, 3840, -1011},
      {"a fragment needs its option", 200, "application/json", "7", std::nullopt,
       os::kCocoaErrorDomain, 3840},
  };
  auto serializer = NKJSONResponseSerializer::serializer();
  for (const JSONCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<os::Error> error;
    NKResponseObject object = serializer->responseObjectForResponse(
        httpResponse(c.status, c.contentType), bytes(c.body), &error);
    if (c.object) {
      ASSERT_NE(object.value(), nullptr);
      EXPECT_EQ(*object.value(), *os::json::parse(*c.object));
    } else {
      EXPECT_TRUE(object.isNil());
    }
    if (c.errorDomain.empty()) {
      EXPECT_FALSE(error) << error->localizedDescription();
      continue;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, c.errorDomain);
    EXPECT_EQ(error->code, c.errorCode);
    std::optional<os::Error> underlying = NKUnderlyingError(*error);
    if (c.underlyingCode == 0) {
      EXPECT_FALSE(underlying);
    } else {
      ASSERT_TRUE(underlying);
      EXPECT_EQ(underlying->code, c.underlyingCode);
    }
  }
}

TEST(JSONResponseSerializer, WithoutAnErrorParameterAnErrorStatusGivesNil) {
  auto serializer = NKJSONResponseSerializer::serializer();
  EXPECT_TRUE(serializer
                  ->responseObjectForResponse(httpResponse(404, "application/json"),
                                              bytes(R"({"a":1})"), nullptr)
                  .isNil());
  EXPECT_FALSE(serializer
                   ->responseObjectForResponse(httpResponse(200, "application/json"),
                                               bytes(R"({"a":1})"), nullptr)
                   .isNil());
}

TEST(JSONResponseSerializer, FragmentsAreReadWithTheirOption) {
  auto serializer = NKJSONResponseSerializer::serializerWithReadingOptions(
      kJSONReadingFragmentsAllowed | kJSONReadingMutableContainers);
  std::optional<os::Error> error;
  NKResponseObject object = serializer->responseObjectForResponse(
      httpResponse(200, "application/json"), bytes("null"), &error);
  ASSERT_NE(object.value(), nullptr);  // JSON null is an object, not nil
  EXPECT_TRUE(object.value()->isNull());
  EXPECT_FALSE(error);
}

TEST(JSONResponseSerializer, RemovesKeysWithNullValuesAtEveryDepth) {
  auto serializer = NKJSONResponseSerializer::serializer();
  serializer->setRemovesKeysWithNullValues(true);
  std::optional<os::Error> error;
  NKResponseObject object = serializer->responseObjectForResponse(
      httpResponse(200, "application/json"),
      bytes(R"({"gone":null,"list":[{"x":null,"n":1},null,{"y":{"z":null}}],"n":2})"), &error);
  ASSERT_NE(object.value(), nullptr);
  EXPECT_EQ(*object.value(), *os::json::parse(R"({"list":[{"n":1},null,{"y":{}}],"n":2})"));
  EXPECT_FALSE(error);
}

TEST(HTTPResponseSerializer, StatusErrorCarriesTheResponseTheDataAndTheMessage) {
  auto serializer = NKHTTPResponseSerializer::serializer();
  std::optional<os::Error> error;
  auto response = httpResponse(404, "application/json", "http://127.0.0.1/files/missing");
  NKResponseObject object =
      serializer->responseObjectForResponse(response, bytes(R"({"m":1})"), &error);
  // The base serializer hands the data out whatever the verdict.
  ASSERT_NE(object.value(), nullptr);
  EXPECT_EQ(*object.value(), os::Value(bytes(R"({"m":1})")));

  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, kResponseDomain);
  EXPECT_EQ(error->code, os::kURLErrorBadServerResponse);
  EXPECT_EQ(error->localizedDescription(), "Request failed: not found (404)");
  EXPECT_EQ(error->userInfo[kNSLocalizedDescriptionKey], "Request failed: not found (404)");
  EXPECT_EQ(error->userInfo[kNSErrorFailingURLKey], "http://127.0.0.1/files/missing");
  const os::Value& failing = error->userInfo[kNKFailingResponseErrorKey];
  EXPECT_EQ(failing["statusCode"], 404);
  EXPECT_EQ(failing["URL"], "http://127.0.0.1/files/missing");
  EXPECT_EQ(failing["MIMEType"], "application/json");
  EXPECT_EQ(error->userInfo[kNKResponseDataErrorKey], os::Value(bytes(R"({"m":1})")));
}

TEST(HTTPResponseSerializer, ValidationRules) {
  auto serializer = NKHTTPResponseSerializer::serializer();
  std::optional<os::Error> error = os::Error("stale", 1);
  // Any type is acceptable until a set is given.
  EXPECT_TRUE(serializer->validateResponse(httpResponse(200, "x/y"), bytes("a"), &error));
  EXPECT_FALSE(error);

  // A response that is not an HTTP response is always valid.
  auto file =
      std::make_shared<os::URLResponse>(*os::URL::parse("file:///tmp/a"), "x/y", 1, std::nullopt);
  serializer->setAcceptableContentTypes(std::set<std::string>{"text/plain"});
  EXPECT_TRUE(serializer->validateResponse(file, bytes("a"), &error));

  // Without a MIME type, empty data pass the type check and data do not.
  EXPECT_TRUE(serializer->validateResponse(httpResponse(200, std::nullopt), {}, &error));
  EXPECT_FALSE(serializer->validateResponse(httpResponse(200, std::nullopt), bytes("a"), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, os::kURLErrorCannotDecodeContentData);
  EXPECT_EQ(error->localizedDescription(), "Request failed: unacceptable content-type: (null)");

  // No status set accepts every code.
  serializer->setAcceptableStatusCodes(std::nullopt);
  EXPECT_TRUE(serializer->validateResponse(httpResponse(599, "text/plain"), bytes("a"), &error));
}

TEST(CompoundResponseSerializer, ReturnsTheFirstResultThatIsNotNil) {
  auto compound = NKCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
      {NKJSONResponseSerializer::serializer(), NKImageResponseSerializer::serializer()});

  std::optional<os::Error> error;
  NKResponseObject object =
      compound->responseObjectForResponse(httpResponse(200, "image/png"), pngBytes(3, 2), &error);
  ASSERT_NE(object.image(), nullptr);
  EXPECT_EQ(object.image()->width(), 3);
  EXPECT_EQ(object.image()->height(), 2);
  EXPECT_FALSE(error);

  object = compound->responseObjectForResponse(httpResponse(200, "application/json"),
                                               bytes("[true]"), &error);
  ASSERT_NE(object.value(), nullptr);
  EXPECT_EQ(*object.value(), os::Value(os::Array{true}));

  // Nobody takes it: the data, validated with the compound's own settings (any type).
  object = compound->responseObjectForResponse(httpResponse(200, "application/zip"), bytes("PK"),
                                               &error);
  ASSERT_NE(object.value(), nullptr);
  EXPECT_EQ(*object.value(), os::Value(bytes("PK")));
  EXPECT_FALSE(error);
}

TEST(ImageResponseSerializer, UndecodableBodyGivesNil) {
  std::optional<os::Error> error;
  NKResponseObject object = NKImageResponseSerializer::serializer()->responseObjectForResponse(
      httpResponse(200, "image/png"), bytes("not an image"), &error);
  EXPECT_TRUE(object.isNil());
  EXPECT_FALSE(error);
}

TEST(PropertyListResponseSerializer, ReadsXMLAndBinaryAndReportsCorruptBodies) {
  auto serializer = NKPropertyListResponseSerializer::serializer();
  std::optional<os::Error> error;
  const char* xml =
      R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
      R"(<key>en</key><dict><key>mac</key><string>https://x.test/a.zip</string></dict>)"
      R"(</dict></plist>)";
  NKResponseObject object = serializer->responseObjectForResponse(
      httpResponse(200, "application/x-plist"), bytes(xml), &error);
  ASSERT_NE(object.value(), nullptr);
  EXPECT_EQ((*object.value())["en"]["mac"], "https://x.test/a.zip");
  EXPECT_FALSE(error);

  object =
      serializer->responseObjectForResponse(httpResponse(200, "application/x-plist"), {}, &error);
  EXPECT_TRUE(object.isNil());
  EXPECT_FALSE(error);

  object = serializer->responseObjectForResponse(httpResponse(200, "application/x-plist"),
                                                 bytes("<plist><dict>"), &error);
  EXPECT_TRUE(object.isNil());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 3840);
}

TEST(XMLResponseSerializers, HandOutAParserOrADocument) {
  const char* xml = R"(<feed><title>News</title></feed>)";
  std::optional<os::Error> error;
  NKResponseObject object = NKXMLParserResponseSerializer::serializer()->responseObjectForResponse(
      httpResponse(200, "application/atom+xml"), bytes(xml), &error);
  ASSERT_NE(object.xmlParser(), nullptr);
  EXPECT_EQ(object.xmlParser()->data(), bytes(xml));
  EXPECT_FALSE(error);

  auto documents = NKXMLDocumentResponseSerializer::serializer();
  object = documents->responseObjectForResponse(httpResponse(200, "text/xml"), bytes(xml), &error);
  ASSERT_NE(object.xmlDocument(), nullptr);
  EXPECT_EQ(object.xmlDocument()->rootElementName(), "feed");

  // A bad status keeps the document and the status error; a broken body gives the parse error
  // over the status error.
  object = documents->responseObjectForResponse(httpResponse(503, "text/xml"), bytes(xml), &error);
  EXPECT_NE(object.xmlDocument(), nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, -1011);
  object =
      documents->responseObjectForResponse(httpResponse(503, "text/xml"), bytes("<a>"), &error);
  EXPECT_TRUE(object.isNil());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, kXMLParserErrorDomain);
  ASSERT_TRUE(NKUnderlyingError(*error));
  EXPECT_EQ(NKUnderlyingError(*error)->code, -1011);
}

TEST(ResponseObject, UserInfoValueKeepsValuesAndNamesObjects) {
  EXPECT_TRUE(NKResponseObject().userInfoValue().isNull());
  EXPECT_EQ(NKResponseObject(os::Value(os::Array{1})).userInfoValue(), os::Value(os::Array{1}));
  EXPECT_EQ(NKResponseObject(os::URL::fileURLWithPath("/tmp/a b.zip")).userInfoValue(),
            "file:///tmp/a%20b.zip");
  auto parser = std::make_shared<XMLParser>(bytes("<a/>"));
  EXPECT_EQ(NKResponseObject(parser).userInfoValue(),
            NKObjectDescription("XMLParser", parser.get()));
}

TEST(ResponseSerializers, CopiesKeepTheirSettingsAndAreNewObjects) {
  auto json = NKJSONResponseSerializer::serializerWithReadingOptions(kJSONReadingFragmentsAllowed);
  json->setRemovesKeysWithNullValues(true);
  json->setAcceptableStatusCodes(std::set<int>{200});
  auto copy = std::dynamic_pointer_cast<NKJSONResponseSerializer>(json->copy());
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->description(), json->description());
  EXPECT_EQ(copy->description().rfind("<NKJSONResponseSerializer: 0x", 0), 0u);
  EXPECT_EQ(copy->readingOptions(), kJSONReadingFragmentsAllowed);
  EXPECT_TRUE(copy->removesKeysWithNullValues());
  EXPECT_EQ(copy->acceptableStatusCodes(), json->acceptableStatusCodes());
  EXPECT_EQ(copy->acceptableContentTypes(), json->acceptableContentTypes());
}

}  // namespace
