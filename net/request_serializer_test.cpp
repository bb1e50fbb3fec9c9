#include "net/request_serializer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <fstream>

#include "net/serialization_errors.h"
#include "os/bundle/bundle.h"
#include "os/bundle/defaults.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/runloop.h"
#include "os/net/urlsession.h"
#include "os/process/process.h"
#include "os/value/json.h"
#include "os/value/plist.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string text(const std::optional<os::Data>& data) {
  return data ? std::string(data->begin(), data->end()) : std::string("<no body>");
}

// A fresh HOME, languages from LANGUAGE only, and a main bundle made from `info`, so that the
// default headers are known.
class RequestSerializer : public ::testing::Test {
 protected:
  RequestSerializer() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) sandbox_.setEnv(name, std::nullopt);
    sandbox_.setEnv("LANGUAGE", "en-GB:de");
    useMainBundle(os::Dictionary{{"CFBundleExecutable", "Kestrova"},
                                 {"CFBundleIdentifier", "com.tessaro.kestrova"},
                                 {"CFBundleShortVersionString", "2.1"},
                                 {"CFBundleVersion", "210"}});
  }
  ~RequestSerializer() override {
    os::Bundle::resetMainForTesting();
    os::UserDefaults::resetForTesting();
  }

  void useMainBundle(const os::Value& info) {
    std::filesystem::path app = sandbox_.root() / "Kestrova.app";
    std::filesystem::create_directories(app / "Contents");
    std::ofstream(app / "Contents/Info.plist", std::ios::binary)
        << *os::plist::serialize(info, os::plist::Format::Xml);
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", app.string());
    os::Bundle::resetMainForTesting();
    os::UserDefaults::resetForTesting();
  }

  testsupport::Sandbox sandbox_;
};

TEST_F(RequestSerializer, AcceptLanguageListsAtMostSixLanguagesDownToHalfQuality) {
  sandbox_.setEnv("LANGUAGE", "fr-CA:fr:en:de:ja:zh-Hans:it");
  auto serializer = NKHTTPRequestSerializer::serializer();
  EXPECT_EQ(serializer->valueForHTTPHeaderField("Accept-Language"),
            "fr-CA;q=1, fr;q=0.9, en;q=0.8, de;q=0.7, ja;q=0.6, zh-Hans;q=0.5");

  sandbox_.setEnv("LANGUAGE", "en-GB:de");
  EXPECT_EQ(NKHTTPRequestSerializer::serializer()->valueForHTTPHeaderField("Accept-Language"),
            "en-GB;q=1, de;q=0.9");
}

TEST_F(RequestSerializer, UserAgentNamesTheBundleAndTheSystemInASCII) {
  const std::string system = " (Mac OS X " + os::process::operatingSystemVersionString() + ")";
  struct Case {
    const char* name;
    os::Dictionary info;
    std::string agent;
  } cases[] = {
      {"executable and short version",
       {{"CFBundleExecutable", "Kestrova"},
        {"CFBundleShortVersionString", "2.1"},
        {"CFBundleVersion", "210"}},
       "Kestrova/2.1" + system},
      {"identifier and bundle version when those are missing",
       {{"CFBundleIdentifier", "com.tessaro.kestrova"}, {"CFBundleVersion", "210"}},
       "com.tessaro.kestrova/210" + system},
      {"transliterated to ASCII",
       {{"CFBundleExecutable", "Überträger Установщик"}, {"CFBundleShortVersionString", "1.0"}},
       "Ubertrager Ustanovsik/1.0" + system},
  };
  for (const Case& c : cases) {
    useMainBundle(c.info);
    EXPECT_EQ(NKHTTPRequestSerializer::serializer()->valueForHTTPHeaderField("User-Agent"), c.agent)
        << c.name;
  }
}

TEST_F(RequestSerializer, ParametersGoIntoTheURLForGetHeadAndDelete) {
  auto serializer = NKHTTPRequestSerializer::serializer();
  const NKParameters parameters = os::Dictionary{{"q", "a b&c"}, {"n", 1}};
  struct Case {
    std::string method;
    std::string url;
    std::string expected;
  } cases[] = {
      {"GET", "http://h.test/s", "http://h.test/s?n=1&q=a%20b%26c"},
      {"get", "http://h.test/s", "http://h.test/s?n=1&q=a%20b%26c"},
      {"HEAD", "http://h.test/s?x=1", "http://h.test/s?x=1&n=1&q=a%20b%26c"},
      {"DELETE", "http://h.test/s#top", "http://h.test/s?n=1&q=a%20b%26c#top"},
      {"GET", "http://h.test/s?x=1#a?b", "http://h.test/s?x=1&n=1&q=a%20b%26c#a?b"},
  };
  for (const Case& c : cases) {
    os::Error error;
    std::optional<os::URLRequest> request =
        serializer->requestWithMethod(c.method, c.url, parameters, &error);
    ASSERT_TRUE(request) << error.description;
    EXPECT_EQ(request->url().absoluteString(), c.expected) << c.method << " " << c.url;
    EXPECT_EQ(request->HTTPMethod(), c.method);
    EXPECT_FALSE(request->HTTPBody());
  }
  // Empty parameters leave the URL as it was.
  EXPECT_EQ(serializer->requestWithMethod("GET", "http://h.test/s", os::Dictionary{}, nullptr)
                ->url()
                .absoluteString(),
            "http://h.test/s");
}

TEST_F(RequestSerializer, OtherMethodsSendAFormBody) {
  auto serializer = NKHTTPRequestSerializer::serializer();
  std::optional<os::URLRequest> request = serializer->requestWithMethod(
      "POST", "http://h.test/form", os::Dictionary{{"b", "x y"}, {"a", os::Array{1, 2}}}, nullptr);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->url().absoluteString(), "http://h.test/form");
  EXPECT_EQ(request->valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(text(request->HTTPBody()), "a%5B%5D=1&a%5B%5D=2&b=x%20y");

  // Without parameters the body is still there, empty.
  request = serializer->requestWithMethod("PUT", "http://h.test/form", std::nullopt, nullptr);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(text(request->HTTPBody()), "");
}

TEST_F(RequestSerializer, HeadersOnTheRequestWinOverTheDefaults) {
  auto serializer = NKHTTPRequestSerializer::serializer();
  serializer->setValue("Bearer default", "Authorization");
  serializer->setValue("yes", "X-Default");
  os::URLRequest request(*os::URL::parse("http://h.test/"));
  request.setHTTPMethod("POST");
  request.setValue("text/plain", "content-type");
  request.setValue("Bearer mine", "AUTHORIZATION");

  std::optional<os::URLRequest> serialized =
      serializer->requestBySerializingRequest(request, os::Dictionary{{"a", 1}}, nullptr);
  ASSERT_TRUE(serialized);
  EXPECT_EQ(serialized->valueForHTTPHeaderField("Content-Type"), "text/plain");
  EXPECT_EQ(serialized->valueForHTTPHeaderField("Authorization"), "Bearer mine");
  EXPECT_EQ(serialized->valueForHTTPHeaderField("X-Default"), "yes");
  EXPECT_EQ(serialized->valueForHTTPHeaderField("User-Agent"),
            serializer->valueForHTTPHeaderField("User-Agent"));
}

TEST_F(RequestSerializer, DefaultHeadersCanBeSetAndRemoved) {
  auto serializer = NKHTTPRequestSerializer::serializer();
  serializer->setAuthorizationHeaderFieldWithUsername("Aladdin", "open sesame");
  EXPECT_EQ(serializer->valueForHTTPHeaderField("authorization"),
            "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  serializer->clearAuthorizationHeader();
  serializer->setValue(std::nullopt, "User-Agent");
  EXPECT_FALSE(serializer->valueForHTTPHeaderField("Authorization"));
  EXPECT_FALSE(serializer->requestWithMethod("GET", "http://h.test/", std::nullopt, nullptr)
                   ->valueForHTTPHeaderField("User-Agent"));
}

TEST_F(RequestSerializer, RequestPropertiesApplyOnlyOnceSet) {
  auto serializer = NKHTTPRequestSerializer::serializer();
  os::URLRequest untouched = *serializer->requestWithMethod("GET", "http://h.test/", {}, nullptr);
  EXPECT_EQ(untouched.timeoutInterval(), 60.0);
  EXPECT_TRUE(serializer->changedRequestProperties().empty());

  // Setting a property to what a request has anyway still marks it, so 0 is applied later.
  serializer->setTimeoutInterval(0);
  serializer->setHTTPShouldHandleCookies(false);
  serializer->setNetworkServiceType(3);
  serializer->setCachePolicy(os::URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  serializer->setAllowsCellularAccess(false);
  serializer->setHTTPShouldUsePipelining(true);
  EXPECT_EQ(serializer->changedRequestProperties(),
            (std::vector<std::string>{"allowsCellularAccess", "cachePolicy",
                                      "HTTPShouldHandleCookies", "HTTPShouldUsePipelining",
                                      "networkServiceType", "timeoutInterval"}));
  for (int i = 0; i < 2; ++i) {
    os::URLRequest request = *serializer->requestWithMethod("GET", "http://h.test/", {}, nullptr);
    EXPECT_EQ(request.timeoutInterval(), 0.0);
    EXPECT_FALSE(request.HTTPShouldHandleCookies());
    EXPECT_EQ(request.networkServiceType(), 3u);
    EXPECT_EQ(request.cachePolicy(), os::URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    EXPECT_FALSE(request.allowsCellularAccess());
    EXPECT_TRUE(request.HTTPShouldUsePipelining());
  }
}

TEST_F(RequestSerializer, RefusedRequestsComeBackAsErrorsNeverAsCrashes) {
  auto http = NKHTTPRequestSerializer::serializer();
  auto json = NKJSONRequestSerializer::serializer();
  auto plist = NKPropertyListRequestSerializer::serializer();
  auto refusing = NKHTTPRequestSerializer::serializer();
  refusing->setQueryStringSerializationWithBlock(
      [](const os::URLRequest&, const NKParameters&, os::Error* error) {
        *error = os::Error("com.example.query", 7, "no queries today");
        return std::optional<std::string>();
      });
  auto injecting = NKHTTPRequestSerializer::serializer();
  injecting->setValue("a\r\nX-Injected: 1", "X-Note");
  auto injectingName = NKJSONRequestSerializer::serializer();
  injectingName->setValue("1", std::string("X-Injected: 1\nX-Note"));
  struct Case {
    const char* name;
    std::shared_ptr<NKHTTPRequestSerializer> serializer;
    std::string method;
    std::string url;
    std::optional<NKParameters> parameters;
    std::string domain;
    int64_t code;
  } cases[] = {
      {"a URL string that does not parse", http, "GET", "not a url", std::nullopt,
       kNKRequestSerializationErrorDomain, os::kURLErrorBadURL},
      {"a relative URL string", json, "POST", "/relative", std::nullopt,
       kNKRequestSerializationErrorDomain, os::kURLErrorBadURL},
      {"a set in a JSON body", json, "POST", "http://h.test/",
       NKParameters::Dictionary{{"s", NKParameters::set({1})}}, os::kCocoaErrorDomain, 3840},
      {"data in a JSON body", json, "POST", "http://h.test/", os::Dictionary{{"d", os::Data{1}}},
       os::kCocoaErrorDomain, 3840},
      {"a lone string in a JSON body", json, "PUT", "http://h.test/", os::Value("text"),
       os::kCocoaErrorDomain, 3840},
      {"a dictionary for a property-list body", plist, "POST", "http://h.test/",
       os::Dictionary{{"a", 1}}, os::kCocoaErrorDomain, 3851},
      {"a query block that refuses", refusing, "GET", "http://h.test/", os::Dictionary{{"a", 1}},
       "com.example.query", 7},
      {"a method that smuggles a request", http, "GET /x HTTP/1.1\r\nX: 1", "http://h.test/",
       std::nullopt, kNKRequestSerializationErrorDomain, os::kURLErrorBadURL},
      {"a default header with a line break", injecting, "GET", "http://h.test/", std::nullopt,
       kNKRequestSerializationErrorDomain, os::kURLErrorBadURL},
      {"a header name with a line break", injectingName, "POST", "http://h.test/", std::nullopt,
       kNKRequestSerializationErrorDomain, os::kURLErrorBadURL},
  };
  for (const Case& c : cases) {
    os::Error error;
    EXPECT_FALSE(c.serializer->requestWithMethod(c.method, c.url, c.parameters, &error)) << c.name;
    EXPECT_EQ(error.domain, c.domain) << c.name;
    EXPECT_EQ(error.code, c.code) << c.name;
    EXPECT_FALSE(error.localizedDescription().empty()) << c.name;
    // And without an error out-parameter.
    EXPECT_FALSE(c.serializer->requestWithMethod(c.method, c.url, c.parameters, nullptr));
  }
}

TEST_F(RequestSerializer, AQueryBlockReplacesTheStyleUntilAStyleIsSetAgain) {
  auto serializer = NKHTTPRequestSerializer::serializer();
  serializer->setQueryStringSerializationWithBlock(
      [](const os::URLRequest& request, const NKParameters& parameters, os::Error*) {
        return std::optional<std::string>(request.HTTPMethod() + "-" +
                                          parameters.asValue()->description());
      });
  EXPECT_EQ(serializer->requestWithMethod("GET", "http://h.test/", os::Value("v"), nullptr)
                ->url()
                .absoluteString(),
            "http://h.test/?GET-v");
  EXPECT_EQ(text(serializer->requestWithMethod("POST", "http://h.test/", os::Value("v"), nullptr)
                     ->HTTPBody()),
            "POST-v");

  serializer->setQueryStringSerializationWithStyle(
      NKHTTPRequestQueryStringSerializationStyle::Default);
  EXPECT_EQ(
      serializer->requestWithMethod("GET", "http://h.test/", os::Dictionary{{"k", "v"}}, nullptr)
          ->url()
          .absoluteString(),
      "http://h.test/?k=v");
}

TEST_F(RequestSerializer, JSONAndPropertyListBodies) {
  auto json = NKJSONRequestSerializer::serializer();
  os::Value parameters = os::Dictionary{{"name", "disk/1"}, {"sizes", os::Array{1, 2.5}}};
  std::optional<os::URLRequest> request =
      json->requestWithMethod("POST", "http://h.test/", parameters, nullptr);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->valueForHTTPHeaderField("Content-Type"), "application/json");
  EXPECT_EQ(os::json::parse(text(request->HTTPBody())), parameters);
  EXPECT_THAT(text(request->HTTPBody()), HasSubstr("disk\\/1"));

  json->setWritingOptions(NKJSONRequestSerializer::kWritingWithoutEscapingSlashes |
                          NKJSONRequestSerializer::kWritingFragmentsAllowed);
  EXPECT_EQ(
      text(
          json->requestWithMethod("POST", "http://h.test/", os::Value("a/b"), nullptr)->HTTPBody()),
      "\"a/b\"");
  // GET parameters still go into the URL; a body method without parameters keeps its body.
  EXPECT_EQ(
      json->requestWithMethod("GET", "http://h.test/", parameters, nullptr)->url().absoluteString(),
      "http://h.test/?name=disk/1&sizes%5B%5D=1&sizes%5B%5D=2.5");
  os::URLRequest withBody(*os::URL::parse("http://h.test/"));
  withBody.setHTTPMethod("POST");
  withBody.setHTTPBody(os::Data{'x'});
  std::optional<os::URLRequest> untouched =
      json->requestBySerializingRequest(withBody, std::nullopt, nullptr);
  EXPECT_EQ(text(untouched->HTTPBody()), "x");
  EXPECT_FALSE(untouched->valueForHTTPHeaderField("Content-Type"));

  auto plist = NKPropertyListRequestSerializer::serializer();
  std::string xml = *os::plist::serialize(parameters, os::plist::Format::Xml);
  request = plist->requestWithMethod("POST", "http://h.test/", os::Value(xml), nullptr);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->valueForHTTPHeaderField("Content-Type"), "application/x-plist");
  EXPECT_EQ(text(request->HTTPBody()), xml);
}

TEST_F(RequestSerializer, CopiesAndCodedFormsKeepHeadersStyleAndOptions) {
  auto json = NKJSONRequestSerializer::serializerWithWritingOptions(
      NKJSONRequestSerializer::kWritingPrettyPrinted);
  json->setValue("v", "X-Custom");
  json->setTimeoutInterval(5);
  auto plist = NKPropertyListRequestSerializer::serializerWithFormat(
      NKPropertyListRequestSerializer::kFormatXML, 3);
  plist->setValue(std::nullopt, "User-Agent");

  std::vector<std::shared_ptr<NKHTTPRequestSerializer>> serializers = {
      NKHTTPRequestSerializer::serializer(), json, plist};
  for (const auto& original : serializers) {
    // The coded form must survive a binary property list, as a keyed archive would.
    std::string archived = *os::plist::serialize(original->encode(), os::plist::Format::Binary);
    os::Error error;
    std::shared_ptr<NKHTTPRequestSerializer> decoded =
        NKHTTPRequestSerializer::decode(*os::plist::parse(archived), &error);
    ASSERT_TRUE(decoded) << error.description;
    std::shared_ptr<NKHTTPRequestSerializer> copied = original->copy();
    for (const auto& made : {decoded, copied}) {
      EXPECT_EQ(made->encode(), original->encode());
      EXPECT_EQ(made->HTTPRequestHeaders(), original->HTTPRequestHeaders());
      EXPECT_EQ(typeid(*made), typeid(*original));
      // Request properties are not carried: they start unset.
      EXPECT_TRUE(made->changedRequestProperties().empty());
    }
  }
  auto decodedJSON = std::dynamic_pointer_cast<NKJSONRequestSerializer>(
      NKHTTPRequestSerializer::decode(json->encode(), nullptr));
  EXPECT_EQ(decodedJSON->writingOptions(), NKJSONRequestSerializer::kWritingPrettyPrinted);
  auto copiedPlist = std::dynamic_pointer_cast<NKPropertyListRequestSerializer>(plist->copy());
  EXPECT_EQ(copiedPlist->format(), NKPropertyListRequestSerializer::kFormatXML);
  EXPECT_EQ(copiedPlist->writeOptions(), 3u);
  EXPECT_FALSE(copiedPlist->valueForHTTPHeaderField("User-Agent"));

  // A copy keeps the query block too; coding cannot.
  auto withBlock = NKHTTPRequestSerializer::serializer();
  withBlock->setQueryStringSerializationWithBlock(
      [](const os::URLRequest&, const NKParameters&, os::Error*) {
        return std::optional<std::string>("fixed");
      });
  EXPECT_EQ(withBlock->copy()
                ->requestWithMethod("GET", "http://h.test/", os::Value(1), nullptr)
                ->url()
                .absoluteString(),
            "http://h.test/?fixed");
}

TEST_F(RequestSerializer, DecodingRefusesWhatIsNotACodedSerializer) {
  os::Value coded = NKJSONRequestSerializer::serializer()->encode();
  os::Value unknownClass = coded;
  (*unknownClass.asDictionary())["$class"] = "NKSomethingElse";
  os::Value badHeaders = coded;
  (*badHeaders.asDictionary())["mutableHTTPRequestHeaders"] = os::Dictionary{{"A", 1}};
  os::Value badOptions = coded;
  (*badOptions.asDictionary())["writingOptions"] = "pretty";
  for (const os::Value& value : {os::Value("text"), unknownClass, badHeaders, badOptions}) {
    os::Error error;
    EXPECT_FALSE(NKHTTPRequestSerializer::decode(value, &error)) << value;
    EXPECT_EQ(error.domain, os::kCocoaErrorDomain);
    EXPECT_EQ(error.code, 4864);
  }
}

TEST_F(RequestSerializer, MultipartRequestsTurnParametersIntoFormFields) {
  auto serializer = NKHTTPRequestSerializer::serializer();
  serializer->setTimeoutInterval(7);
  std::optional<os::URLRequest> request = serializer->multipartFormRequestWithMethod(
      "POST", "http://h.test/up",
      os::Dictionary{{"blob", os::Data{0, 1}}, {"none", nullptr}, {"tags", os::Array{"a", 2}}},
      [](NKMultipartFormData& form) { form.appendPartWithFormData({'!'}, "extra"); }, nullptr);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->timeoutInterval(), 7.0);
  EXPECT_EQ(request->valueForHTTPHeaderField("User-Agent"),
            serializer->valueForHTTPHeaderField("User-Agent"));
  std::string contentType = request->valueForHTTPHeaderField("Content-Type").value_or("");
  ASSERT_THAT(contentType, StartsWith("multipart/form-data; boundary="));
  std::string b = contentType.substr(contentType.find('=') + 1);

  std::string body;
  uint8_t buffer[100];
  for (int64_t n; (n = request->HTTPBodyStream()->read(buffer, sizeof buffer, nullptr)) > 0;) {
    body.append(buffer, buffer + n);
  }
  auto field = [](const std::string& name, const std::string& value) {
    return "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
  };
  std::string separator = "\r\n--" + b + "\r\n";
  EXPECT_EQ(body, "--" + b + "\r\n" + field("blob", std::string("\0\1", 2)) + separator +
                      field("none", "") + separator + field("tags[]", "a") + separator +
                      field("tags[]", "2") + separator + field("extra", "!") + "\r\n--" + b +
                      "--\r\n");
  EXPECT_EQ(request->valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));

  os::Error error;
  EXPECT_FALSE(
      serializer->multipartFormRequestWithMethod("POST", "::", std::nullopt, nullptr, &error));
  EXPECT_EQ(error.code, os::kURLErrorBadURL);
}

// Stream-to-file copies report on the main queue; the test runs the main run loop until then.
class StreamToFile : public RequestSerializer {
 protected:
  std::optional<os::Error> copyToFile(const os::URLRequest& request,
                                      const std::filesystem::path& path,
                                      os::URLRequest* returned = nullptr) {
    bool done = false;
    bool onMainThread = false;
    std::optional<os::Error> result;
    os::URLRequest withoutStream =
        NKHTTPRequestSerializer::serializer()->requestWithMultipartFormRequest(
            request, os::URL::fileURLWithPath(path), [&](const std::optional<os::Error>& error) {
              onMainThread = os::DispatchQueue::main()->isCurrent();
              result = error;
              done = true;
            });
    if (returned) *returned = withoutStream;
    EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return done; }, 30));
    EXPECT_TRUE(onMainThread);
    return result;
  }

  os::URLRequest multipartRequest(size_t fileSize, NKStreamingMultipartFormData** form = nullptr) {
    os::URLRequest request(*os::URL::parse("http://h.test/up"));
    request.setHTTPMethod("POST");
    form_ = std::make_unique<NKStreamingMultipartFormData>(request);
    form_->appendPartWithFormData({'v'}, "k");
    form_->appendPartWithFileData(os::Data(fileSize, 'z'), "f", "f.bin", "a/b");
    if (form) *form = form_.get();
    return form_->requestByFinalizingMultipartFormData();
  }

  std::unique_ptr<NKStreamingMultipartFormData> form_;
};

TEST_F(StreamToFile, WritesTheWholeBodyAndReturnsTheRequestWithoutItsStream) {
  os::URLRequest request = multipartRequest(300000);
  std::shared_ptr<os::InputStream> reference = request.HTTPBodyStream()->copy();
  std::filesystem::path path = sandbox_.root() / "body.bin";
  os::URLRequest returned(*os::URL::parse("http://unset.test/"));

  EXPECT_EQ(copyToFile(request, path, &returned), std::nullopt);
  std::string written = testsupport::readFile(path);
  std::string expected;
  uint8_t buffer[65536];
  for (int64_t n; (n = reference->read(buffer, sizeof buffer, nullptr)) > 0;) {
    expected.append(buffer, buffer + n);
  }
  EXPECT_EQ(written, expected);
  EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::to_string(written.size()));
  EXPECT_EQ(returned.url().absoluteString(), "http://h.test/up");
  EXPECT_FALSE(returned.HTTPBodyStream());
  EXPECT_EQ(returned.valueForHTTPHeaderField("Content-Length"),
            request.valueForHTTPHeaderField("Content-Length"));
}

TEST_F(StreamToFile, AFailedCopyReportsTheErrorAndLeavesNoPartialFile) {
  std::filesystem::path path = sandbox_.root() / "body.bin";

  // A file-size limit makes write(2) stop short and then fail with EFBIG, as a full disk does
  // with ENOSPC.
  {
    struct rlimit previous;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    struct rlimit limited = previous;
    limited.rlim_cur = 100000;
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::optional<os::Error> error = copyToFile(multipartRequest(300000), path);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, os::kPOSIXErrorDomain);
    EXPECT_EQ(error->code, EFBIG);
    EXPECT_FALSE(std::filesystem::exists(path));
  }

  // A body stream that fails part way.
  {
    NKStreamingMultipartFormData* form = nullptr;
    os::URLRequest request = multipartRequest(10, &form);
    form->appendPartWithInputStream(os::InputStream::withData(os::Data(5, 's')), "s", "s", 50,
                                    "a/b");
    request = form->requestByFinalizingMultipartFormData();
    std::optional<os::Error> error = copyToFile(request, path);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, os::kURLErrorRequestBodyStreamExhausted);
    EXPECT_FALSE(std::filesystem::exists(path));
  }

  // A destination that is not a file URL.
  bool done = false;
  std::optional<os::Error> error;
  NKHTTPRequestSerializer::serializer()->requestWithMultipartFormRequest(
      multipartRequest(1), *os::URL::parse("http://h.test/file"),
      [&](const std::optional<os::Error>& e) {
        error = e;
        done = true;
      });
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return done; }, 30));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, os::kURLErrorBadURL);
}

}  // namespace
