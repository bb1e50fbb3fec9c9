#include "net/http_session_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "net/coding.h"
#include "net/image_response_serializer.h"
#include "net/json_response_serializer.h"
#include "net/serialization_errors.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/runloop.h"
#include "os/value/json.h"
#include "os/value/plist.h"
#include "testsupport/local_http_server.h"
#include "testsupport/run_loop.h"
#include "testsupport/sandbox.h"

// <arpa/nameser_compat.h>, which the test server's header pulls in through <resolv.h>, defines
// DELETE as a macro for a DNS update opcode.
#undef DELETE

namespace {

using Task = NKHTTPSessionManager::Task;

using testsupport::runUntil;

// What the blocks of one verb call saw.
struct Outcome {
  int successes = 0;
  int failures = 0;
  Task task;
  NKResponseObject object;
  std::optional<os::Error> error;
  bool onMainThread = false;

  bool done() const { return successes + failures > 0; }
  NKHTTPSessionManager::SuccessBlock success() {
    return [this](const Task& t, const NKResponseObject& o) {
      ++successes;
      task = t;
      object = o;
      onMainThread = os::isMainThread();
    };
  }
  NKHTTPSessionManager::FailureBlock failure() {
    return [this](const Task& t, const os::Error& e) {
      ++failures;
      task = t;
      error = e;
      onMainThread = os::isMainThread();
    };
  }
};

class HTTPSessionManagerTest : public ::testing::Test {
 protected:
  HTTPSessionManagerTest() {
    // Each route answers with what it received, as JSON.
    for (const char* method : {"GET", "POST", "PUT", "PATCH", "DELETE"}) {
      for (const char* path : {"/echo", "/v1/items", "/items", "/v1/items/7", "/root"}) {
        server.on(method, path, [](const httplib::Request& request, httplib::Response& response) {
          os::Dictionary echo{{"method", request.method}, {"body", request.body}};
          response.set_content(*os::json::serialize(echo), "application/json");
        });
      }
    }
  }

  // Runs the main loop until `outcome` is in, then a little longer so that a second call of a
  // block would be seen.
  static void await(const Outcome& outcome) {
    ASSERT_TRUE(runUntil([&] { return outcome.done(); }));
    runUntil([] { return false; }, 0.1);
    EXPECT_EQ(outcome.successes + outcome.failures, 1);
  }

  testsupport::Sandbox sandbox;
  testsupport::LocalHttpServer server;
};

TEST_F(HTTPSessionManagerTest, BaseURLGainsATrailingSlashOnlyAfterAPath) {
  const struct {
    const char* given;
    std::optional<std::string> stored;
  } cases[] = {
      {"http://api.example.test/v1", "http://api.example.test/v1/"},
      {"http://api.example.test/v1/", "http://api.example.test/v1/"},
      {"http://api.example.test/v1?key=1#top", "http://api.example.test/v1/?key=1#top"},
      {"http://api.example.test/", "http://api.example.test/"},
      // An empty path stays empty.
      {"http://api.example.test", "http://api.example.test"},
      {"http://api.example.test?key=1", "http://api.example.test?key=1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    auto manager = std::make_shared<NKHTTPSessionManager>(os::URL::parse(c.given));
    ASSERT_TRUE(manager->baseURL());
    EXPECT_EQ(manager->baseURL()->absoluteString(), c.stored);
  }
  EXPECT_FALSE(NKHTTPSessionManager::manager()->baseURL());
}

TEST_F(HTTPSessionManagerTest, URLStringsResolveAgainstTheBaseURL) {
  const std::string root = server.baseUrl();
  const struct {
    std::string base;  // empty: no base URL
    std::string URLString;
    std::string target;
  } cases[] = {
      {root + "/v1", "items", "/v1/items"},
      {root + "/v1/", "items?page=2", "/v1/items?page=2"},
      {root + "/v1", "items/7", "/v1/items/7"},
      {root + "/v1", "./items", "/v1/items"},
      {root + "/v1", "../root", "/root"},
      {root + "/v1", "/items", "/items"},
      {root, "items", "/items"},
      {root + "/v1", root + "/root", "/root"},
      {"", root + "/v1/items", "/v1/items"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base + " + " + c.URLString);
    auto manager = std::make_shared<NKHTTPSessionManager>(c.base.empty() ? std::nullopt
                                                                         : os::URL::parse(c.base));
    server.clearRequests();
    Outcome outcome;
    Task task = manager->GET(c.URLString, std::nullopt, outcome.success(), outcome.failure());
    ASSERT_TRUE(task);
    EXPECT_EQ(task->originalRequest().url().absoluteString(), root + c.target);
    await(outcome);
    EXPECT_EQ(outcome.successes, 1);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].target, c.target);
  }
}

TEST_F(HTTPSessionManagerTest, EachVerbReachesTheServerWithItsMethodAndParameters) {
  auto manager = std::make_shared<NKHTTPSessionManager>(os::URL::parse(server.url("/v1")));
  const NKParameters parameters = os::Dictionary{{"name", "disk"}, {"size", 3}};
  using Verb = Task (NKHTTPSessionManager::*)(std::string_view, const std::optional<NKParameters>&,
                                              NKHTTPSessionManager::SuccessBlock,
                                              NKHTTPSessionManager::FailureBlock);
  const struct {
    const char* method;
    Verb verb;
    const char* target;
    const char* body;
  } cases[] = {
      {"GET", &NKHTTPSessionManager::GET, "/v1/items?name=disk&size=3", ""},
      {"POST", &NKHTTPSessionManager::POST, "/v1/items", "name=disk&size=3"},
      {"PUT", &NKHTTPSessionManager::PUT, "/v1/items", "name=disk&size=3"},
      {"PATCH", &NKHTTPSessionManager::PATCH, "/v1/items", "name=disk&size=3"},
      // DELETE's parameters travel in the URL, as GET's do.
      {"DELETE", &NKHTTPSessionManager::DELETE, "/v1/items?name=disk&size=3", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    server.clearRequests();
    Outcome outcome;
    Task task = (manager.get()->*c.verb)("items", parameters, outcome.success(), outcome.failure());
    ASSERT_TRUE(task);
    // Already resumed.
    EXPECT_NE(task->state(), os::URLSessionTaskState::Suspended);
    await(outcome);
    ASSERT_EQ(outcome.successes, 1) << outcome.error->description;
    EXPECT_EQ(outcome.task, task);
    EXPECT_TRUE(outcome.onMainThread);
    ASSERT_EQ(server.requestCount(), 1u);
    testsupport::RecordedRequest received = server.requests()[0];
    EXPECT_EQ(received.method, c.method);
    EXPECT_EQ(received.target, c.target);
    EXPECT_EQ(received.body, c.body);
    // The JSON response serializer parsed the echo.
    ASSERT_TRUE(outcome.object.value());
    EXPECT_EQ((*outcome.object.value())["method"], os::Value(c.method));
  }
}

TEST_F(HTTPSessionManagerTest, HEADHandsTheTaskAloneToItsSuccessBlock) {
  auto manager = NKHTTPSessionManager::manager();
  int calls = 0;
  Task seen;
  Outcome failures;
  Task task = manager->HEAD(
      server.url("/echo"), os::Dictionary{{"probe", 1}},
      [&](const Task& t) {
        ++calls;
        seen = t;
      },
      failures.failure());
  ASSERT_TRUE(task);
  ASSERT_TRUE(runUntil([&] { return calls > 0; }));
  EXPECT_EQ(seen, task);
  EXPECT_EQ(failures.failures, 0);
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(server.requests()[0].method, "HEAD");
  EXPECT_EQ(server.requests()[0].target, "/echo?probe=1");
}

TEST_F(HTTPSessionManagerTest, ProgressBlocksFollowTheirDirection) {
  auto manager = std::make_shared<NKHTTPSessionManager>(os::URL::parse(server.baseUrl()));
  const std::string big(256 * 1024, 'x');
  server.respond("GET", "/big", 200, big, {{"Content-Type", "text/plain"}});
  std::atomic<int64_t> downloaded{0};
  std::atomic<int64_t> uploaded{0};

  Outcome get;
  manager->GET(
      "big", std::nullopt, [&](Progress& progress) { downloaded = progress.completedUnitCount(); },
      get.success(), get.failure());
  await(get);
  EXPECT_EQ(downloaded.load(), static_cast<int64_t>(big.size()));

  // The test server takes form bodies up to 8 KiB.
  const std::string form(6000, 'y');
  Outcome post;
  manager->POST(
      "echo", os::Dictionary{{"blob", form}},
      [&](Progress& progress) { uploaded = progress.completedUnitCount(); }, post.success(),
      post.failure());
  await(post);
  EXPECT_EQ(post.successes, 1) << post.error->description;
  EXPECT_EQ(uploaded.load(), static_cast<int64_t>(("blob=" + form).size()));
}

TEST_F(HTTPSessionManagerTest, MultipartPOSTStreamsFieldsAndParts) {
  std::mutex mutex;
  std::string field;
  std::string fileName;
  std::string fileContents;
  std::string contentType;
  server.on("POST", "/upload", [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard lock(mutex);
    contentType = request.get_header_value("Content-Type");
    field = request.get_file_value("owner").content;
    fileName = request.get_file_value("report").filename;
    fileContents = request.get_file_value("report").content;
    response.set_content("{}", "application/json");
  });
  auto manager = std::make_shared<NKHTTPSessionManager>(os::URL::parse(server.url("/api")));
  std::atomic<int64_t> sent{0};
  Outcome outcome;
  Task task = manager->POST(
      "/upload", os::Dictionary{{"owner", "tessaro"}},
      [](NKMultipartFormData& form) {
        form.appendPartWithFileData(os::Data{'l', 'o', 'g'}, "report", "report.txt", "text/plain");
      },
      [&](Progress& progress) { sent = progress.completedUnitCount(); }, outcome.success(),
      outcome.failure());
  ASSERT_TRUE(task);
  await(outcome);
  ASSERT_EQ(outcome.successes, 1) << outcome.error->description;
  EXPECT_EQ(outcome.task, task);
  std::lock_guard lock(mutex);
  EXPECT_EQ(contentType.rfind("multipart/form-data; boundary=", 0), 0u) << contentType;
  EXPECT_EQ(field, "tessaro");
  EXPECT_EQ(fileName, "report.txt");
  EXPECT_EQ(fileContents, "log");
  EXPECT_EQ(sent.load(), task->countOfBytesSent());
  EXPECT_GT(sent.load(), 0);
}

TEST_F(HTTPSessionManagerTest, RequestsThatCannotBeMadeFailLaterWithoutATask) {
  auto refusing = NKHTTPRequestSerializer::serializer();
  refusing->setQueryStringSerializationWithBlock(
      [](const os::URLRequest&, const NKParameters&,
         os::Error* error) -> std::optional<std::string> {
        *error = os::Error("com.tessaro.test", 42, "refused");
        return std::nullopt;
      });
  const struct {
    const char* name;
    std::shared_ptr<NKHTTPRequestSerializer> serializer;
    std::string URLString;
    std::string domain;
    int64_t code;
    // A multipart body writes its fields itself, so only a bad URL stops it.
    bool multipartFails;
  } cases[] = {
      {"not a URL", NKHTTPRequestSerializer::serializer(), "http://bad host/",
       kNKRequestSerializationErrorDomain, os::kURLErrorBadURL, true},
      {"relative without base", NKHTTPRequestSerializer::serializer(), "items",
       kNKRequestSerializationErrorDomain, os::kURLErrorBadURL, true},
      {"query block refuses", refusing, server.url("/echo"), "com.tessaro.test", 42, false},
      {"set in a JSON body", NKJSONRequestSerializer::serializer(), server.url("/echo"),
       os::kCocoaErrorDomain, 3840, false},
  };
  auto manager = NKHTTPSessionManager::manager();
  const NKParameters parameters = NKParameters::Dictionary{{"tags", NKParameters::set({"a"})}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    manager->setRequestSerializer(c.serializer);
    for (bool multipart : {false, true}) {
      SCOPED_TRACE(multipart ? "multipart" : "data task");
      Outcome outcome;
      Task task =
          multipart ? manager->POST(
                          c.URLString, parameters, [](NKMultipartFormData&) {}, outcome.success(),
                          outcome.failure())
                    : manager->POST(c.URLString, parameters, outcome.success(), outcome.failure());
      const bool fails = !multipart || c.multipartFails;
      EXPECT_EQ(task == nullptr, fails);
      // Never from inside the call.
      EXPECT_FALSE(outcome.done());
      await(outcome);
      if (!fails) continue;
      ASSERT_EQ(outcome.failures, 1);
      EXPECT_EQ(outcome.task, nullptr);
      EXPECT_TRUE(outcome.onMainThread);
      EXPECT_EQ(outcome.error->domain, c.domain);
      EXPECT_EQ(outcome.error->code, c.code);
    }
  }
  EXPECT_EQ(server.requestCount(), 2u);

  // The failure goes to the completion queue when one is set.
  manager->setRequestSerializer(NKHTTPRequestSerializer::serializer());
  auto completionQueue = os::DispatchQueue::serial("com.tessaro.test.completions");
  manager->setCompletionQueue(completionQueue);
  std::atomic<bool> onQueue{false};
  manager->GET("items", std::nullopt, nullptr,
               [&](const Task&, const os::Error&) { onQueue = completionQueue->isCurrent(); });
  ASSERT_TRUE(runUntil([&] { return onQueue.load(); }, 10));
}

TEST_F(HTTPSessionManagerTest, TransportAndValidationErrorsReachTheFailureBlockWithTheTask) {
  server.respond("GET", "/missing", 404, R"({"error":"no such item"})",
                 {{"Content-Type", "application/json"}});
  auto manager = std::make_shared<NKHTTPSessionManager>(os::URL::parse(server.baseUrl()));
  Outcome missing;
  Task task = manager->GET("missing", std::nullopt, missing.success(), missing.failure());
  await(missing);
  ASSERT_EQ(missing.failures, 1);
  EXPECT_EQ(missing.task, task);
  EXPECT_EQ(missing.error->domain, kNKResponseSerializationErrorDomain);
  EXPECT_EQ(missing.error->code, -1011);

  // A TLS server that the default policy does not trust: refused in the handshake.
  testsupport::LocalHttpServer tls({.tls = true});
  Outcome refused;
  task = manager->GET(tls.url("/echo"), std::nullopt, refused.success(), refused.failure());
  await(refused);
  ASSERT_EQ(refused.failures, 1);
  EXPECT_EQ(refused.task, task);
  EXPECT_EQ(refused.error->domain, os::kURLErrorDomain);
  EXPECT_EQ(refused.error->code, os::kURLErrorCancelled);
  EXPECT_EQ(tls.requestCount(), 0u);
}

// A manager with every part changed from its default.
std::shared_ptr<NKHTTPSessionManager> configuredManager(const std::string& base) {
  auto configuration =
      os::URLSessionConfiguration::backgroundSessionConfiguration("com.tessaro.bg");
  configuration.setTimeoutIntervalForRequest(20);
  auto manager = std::make_shared<NKHTTPSessionManager>(os::URL::parse(base), configuration);
  auto requests = NKJSONRequestSerializer::serializerWithWritingOptions(
      NKJSONRequestSerializer::kWritingSortedKeys);
  requests->setValue("Bearer token", "Authorization");
  manager->setRequestSerializer(requests);
  auto json = NKJSONResponseSerializer::serializer();
  json->setRemovesKeysWithNullValues(true);
  manager->setResponseSerializer(
      NKCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
          {json, NKImageResponseSerializer::serializer()}));
  auto policy = NKSecurityPolicy::policyWithPinningMode(NKSSLPinningMode::PublicKey, {});
  policy->setAllowInvalidCertificates(true);
  policy->setValidatesDomainName(false);
  manager->setSecurityPolicy(policy);
  return manager;
}

TEST_F(HTTPSessionManagerTest, ManagersSurviveCodingAndCopying) {
  std::shared_ptr<NKHTTPSessionManager> original = configuredManager(server.url("/v1"));
  const os::Value coded = original->encode();
  EXPECT_EQ(coded["baseURL"], os::Value(server.url("/v1/")));
  EXPECT_EQ(coded["sessionConfiguration"]["identifier"], os::Value("com.tessaro.bg"));

  std::string bytes = *os::plist::serialize(coded, os::plist::Format::Binary);
  os::Error error;
  std::shared_ptr<NKHTTPSessionManager> decoded =
      NKHTTPSessionManager::decode(*os::plist::parse(bytes), &error);
  ASSERT_TRUE(decoded) << error.description;
  std::shared_ptr<NKHTTPSessionManager> copied = original->copy();
  for (const auto& made : {decoded, copied}) {
    EXPECT_EQ(made->encode(), coded);
    EXPECT_EQ(made->baseURL(), original->baseURL());
    // Rebuilt from the identifier, with the settings.
    EXPECT_EQ(made->sessionConfiguration(), original->sessionConfiguration());
    EXPECT_NE(made->session(), original->session());
    // Parts of their own, not shared with the original.
    EXPECT_NE(made->requestSerializer(), original->requestSerializer());
    EXPECT_NE(made->responseSerializer(), original->responseSerializer());
    EXPECT_NE(made->securityPolicy(), original->securityPolicy());
    EXPECT_TRUE(std::dynamic_pointer_cast<NKJSONRequestSerializer>(made->requestSerializer()));
    EXPECT_TRUE(
        std::dynamic_pointer_cast<NKCompoundResponseSerializer>(made->responseSerializer()));
    EXPECT_EQ(made->securityPolicy()->SSLPinningMode(), NKSSLPinningMode::PublicKey);

    // And it works: the request goes below the base URL with the coded header and JSON body.
    server.clearRequests();
    Outcome outcome;
    made->POST("items", os::Dictionary{{"b", 1}, {"a", 2}}, outcome.success(), outcome.failure());
    await(outcome);
    ASSERT_EQ(outcome.successes, 1);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/v1/items");
    EXPECT_EQ(server.requests()[0].header("Authorization"), "Bearer token");
    EXPECT_EQ(server.requests()[0].body, R"({"a":2,"b":1})");
  }

  // A new manager codes its defaults, and those come back too.
  auto plain = NKHTTPSessionManager::decode(NKHTTPSessionManager::manager()->encode(), nullptr);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->baseURL());
  EXPECT_TRUE(std::dynamic_pointer_cast<NKJSONResponseSerializer>(plain->responseSerializer()));
  EXPECT_EQ(plain->sessionConfiguration(),
            os::URLSessionConfiguration::defaultSessionConfiguration());
  EXPECT_FALSE(plain->securityPolicy()->allowInvalidCertificates());
}

TEST_F(HTTPSessionManagerTest, UnreadableCodedManagersAreRefused) {
  const os::Value good = configuredManager(server.baseUrl())->encode();
  auto with = [&](const char* key, os::Value value) {
    os::Dictionary changed = *good.asDictionary();
    changed[key] = std::move(value);
    return os::Value(std::move(changed));
  };
  const os::Value unreadable[] = {
      os::Value(),
      with("$class", "NKURLSessionManager"),
      with("baseURL", "not a url"),
      with("baseURL", 7),
      with("sessionConfiguration", os::Dictionary{{"identifier", "x"}}),
      with("requestSerializer", os::Dictionary{{"$class", "NKJSONResponseSerializer"}}),
      with("responseSerializer", os::Dictionary{{"$class", "NKJSONRequestSerializer"}}),
      with("securityPolicy",
           os::Dictionary{{"$class", "NKSecurityPolicy"}, {"SSLPinningMode", "1"}}),
  };
  for (const os::Value& coded : unreadable) {
    SCOPED_TRACE(coded.description());
    os::Error error;
    EXPECT_FALSE(NKHTTPSessionManager::decode(coded, &error));
    EXPECT_EQ(error.domain, os::kCocoaErrorDomain);
    EXPECT_EQ(error.code, kNKCoderReadCorruptError);
  }
}

}  // namespace
