#include "tools/analytics/measurement_collector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <future>
#include <map>

#include "measurement/wire/schema/cpp/config.pb.h"
#include "measurement/wire/schema/cpp/upload.pb.h"
#include "testsupport/child_process.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"
#include "testsupport/tls_client.h"
#include "tools/analytics/gzip_codec.h"

namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using tools::CollectorEndpoint;
using tools::Cut;
namespace wire = tessaro::measurement;

constexpr auto kPatience = std::chrono::seconds(30);

// A batch of two bundles, as the engine would send one after a retry.
wire::MeasurementBatch sampleBatch() {
  wire::MeasurementBatch batch;
  wire::MeasurementBundle* first = batch.add_bundles();
  first->set_app_id("1:1:ios:ab");
  first->set_bundle_sequential_index(3);
  first->set_retry_count(1);
  first->set_upload_timestamp_millis(1700000002000);
  first->set_start_timestamp_millis(1700000000000);
  first->set_end_timestamp_millis(1700000001000);
  first->add_experiment_ids(3);
  first->add_experiment_ids(7);
  wire::Event* event = first->add_events();
  event->set_name("install_started");
  event->set_timestamp_millis(1700000000500);
  wire::EventParam* text = event->add_params();
  text->set_name("product");
  text->set_string_value("Brevalo");
  wire::EventParam* count = event->add_params();
  count->set_name("_et");
  count->set_int_value(12);
  wire::EventParam* ratio = event->add_params();
  ratio->set_name("ratio");
  ratio->set_double_value(0.25);
  wire::EventParam* items = event->add_params();
  items->set_name("items");
  wire::EventParam* item = items->add_param_value()->add_param_value();
  item->set_name("id");
  item->set_string_value("a");
  wire::UserAttribute* property = first->add_user_attributes();
  property->set_name("_fot");
  property->set_set_timestamp_millis(1699999999000);
  property->set_int_value(3600000);

  wire::MeasurementBundle* second = batch.add_bundles();
  second->set_app_id("1:1:ios:ab");
  second->set_bundle_sequential_index(4);
  second->add_events()->set_name("_s");
  return batch;
}

class MeasurementCollectorTest : public ::testing::Test {
 protected:
  testsupport::TlsAnswer post(const std::string& body, httplib::Headers headers,
                              std::string contentType = "application/x-www-form-urlencoded",
                              bool chunked = false) {
    return testsupport::tlsRequest({.caFile = collector_.certificatePath(),
                                    .port = collector_.http().port(),
                                    .method = "POST",
                                    .path = "/a",
                                    .body = body,
                                    .headers = std::move(headers),
                                    .contentType = std::move(contentType),
                                    .chunked = chunked});
  }
  // A batch posted as the measurement client posts it.
  testsupport::TlsAnswer upload(const wire::MeasurementBatch& batch) {
    return post(tools::gzip(batch.SerializeAsString()), {{"Content-Encoding", "gzip"}});
  }
  testsupport::TlsAnswer fetchConfiguration(const std::string& appID,
                                            httplib::Headers headers = {}) {
    return testsupport::tlsRequest(
        {.caFile = collector_.certificatePath(),
         .port = collector_.http().port(),
         .path = "/config/app/" + appID + "?gmp_version=102800&platform=macos&runtime_version=0",
         .headers = std::move(headers)});
  }

  tools::MeasurementCollector collector_;
};

TEST_F(MeasurementCollectorTest, LogsOneLinePerBundleOfAnUploadedBatch) {
  EXPECT_EQ(upload(sampleBatch()).status, 200);
  ASSERT_TRUE(collector_.waitForBundles(2, kPatience));
  std::vector<json> bundles = collector_.logged("bundle");
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[0], json::parse(R"({
    "type": "bundle", "batch": 1, "status": 200, "cut": false,
    "app_id": "1:1:ios:ab", "index": 3, "retry_count": 1,
    "upload_ms": 1700000002000, "start_ms": 1700000000000, "end_ms": 1700000001000,
    "experiment_ids": [3, 7],
    "events": [{"name": "install_started", "timestamp_ms": 1700000000500,
                "params": {"product": "Brevalo", "_et": 12, "ratio": 0.25,
                           "items": [{"id": "a"}]}}],
    "user_properties": [{"name": "_fot", "set_ms": 1699999999000, "value": 3600000}]
  })"));
  // What a bundle lacks is left out, so that a first send shows no retry count.
  EXPECT_FALSE(bundles[1].contains("retry_count"));
  EXPECT_EQ(bundles[1]["index"], 4);
  EXPECT_EQ(bundles[1]["batch"], 1);

  // The log file holds the same lines.
  testsupport::Sandbox sandbox;
  tools::MeasurementCollector logging({.logPath = sandbox.root() / "collector.jsonl"});
  ASSERT_EQ(testsupport::tlsRequest({.caFile = logging.certificatePath(),
                                     .port = logging.http().port(),
                                     .method = "POST",
                                     .path = "/a",
                                     .body = tools::gzip(sampleBatch().SerializeAsString()),
                                     .headers = {{"Content-Encoding", "gzip"}},
                                     .contentType = "application/x-www-form-urlencoded"})
                .status,
            200);
  std::istringstream lines(testsupport::readFile(sandbox.root() / "collector.jsonl"));
  std::string line;
  std::vector<json> fromFile;
  while (std::getline(lines, line)) fromFile.push_back(json::parse(line));
  EXPECT_EQ(fromFile, logging.logged());
}

TEST_F(MeasurementCollectorTest, RefusesWhatTheClientMustNotSendWith400) {
  const std::string batch = sampleBatch().SerializeAsString();
  const std::string gzipped = tools::gzip(batch);
  struct Case {
    const char* name;
    std::function<testsupport::TlsAnswer()> send;
    const char* reason;
  };
  const Case cases[] = {
      {"other Content-Type",
       [&] {
         return post(gzipped, {{"Content-Encoding", "gzip"}}, "application/x-protobuf");
       },
       "Content-Type is \"application/x-protobuf\""},
      {"no Content-Encoding", [&] { return post(gzipped, {}); }, "Content-Encoding is \"\""},
      {"not gzipped",
       [&] {
         return post(batch, {{"Content-Encoding", "identity"}});
       },
       "Content-Encoding is \"identity\""},
      {"no Content-Length (chunked)",
       [&] {
         return post(gzipped, {{"Content-Encoding", "gzip"}}, "application/x-www-form-urlencoded",
                     true);
       },
       "Content-Length is \"\""},
      {"gzip header over plain bytes",
       [&] {
         return post(batch, {{"Content-Encoding", "gzip"}});
       },
       "not gzip"},
      {"gzip of no batch",
       [&] {
         return post(tools::gzip("\x0a\x05\x01"), {{"Content-Encoding", "gzip"}});
       },
       "the body is not a MeasurementBatch"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.send().status, 400) << c.name;
  }
  std::vector<json> refused = collector_.logged("refused");
  ASSERT_EQ(refused.size(), std::size(cases));
  for (size_t i = 0; i < refused.size(); ++i) {
    EXPECT_THAT(refused[i]["reason"].get<std::string>(), HasSubstr(cases[i].reason))
        << cases[i].name;
    EXPECT_EQ(refused[i]["path"], "/a");
  }
  EXPECT_TRUE(collector_.logged("bundle").empty());
}

TEST_F(MeasurementCollectorTest, ScriptedUploadFaultsAreTakenInArrivalOrder) {
  struct Case {
    tools::ScriptedFault fault;
    int seenStatus;  // 0: no whole answer
    int loggedStatus;
  };
  const Case cases[] = {
      {{.status = 200}, 200, 200},
      {{.status = 204}, 204, 204},
      {{.status = 303}, 303, 303},
      {{.status = 400}, 400, 400},
      {{.status = 429}, 429, 429},
      {{.status = 500}, 500, 500},
      {{.status = 503}, 503, 503},
      {{.delay = std::chrono::milliseconds(20)}, 200, 200},
      {{.cut = Cut::AfterRequest}, 0, 0},
      {{.cut = Cut::MidResponse}, 0, 200},
      {{.status = 500, .cut = Cut::MidResponse}, 0, 500},
      {{}, 200, 200},  // the script has run out
  };
  for (const Case& c : cases) collector_.appendFault(CollectorEndpoint::Upload, c.fault);
  wire::MeasurementBatch batch;
  batch.add_bundles()->set_app_id("1:1:ios:ab");
  for (size_t i = 0; i < std::size(cases); ++i) {
    testsupport::TlsAnswer answer = upload(batch);
    EXPECT_EQ(answer.status, cases[i].seenStatus) << "request " << i;
    if (answer.status == 303) {
      EXPECT_EQ(answer.header("Location"), "/redirected");
    }
  }
  ASSERT_TRUE(collector_.waitForBundles(std::size(cases), kPatience));
  std::vector<json> bundles = collector_.logged("bundle");
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(bundles[i]["batch"], i + 1);
    EXPECT_EQ(bundles[i]["status"], cases[i].loggedStatus) << "request " << i;
    EXPECT_EQ(bundles[i]["cut"], cases[i].fault.cut != Cut::None) << "request " << i;
  }
}

TEST_F(MeasurementCollectorTest, AHeldUploadIsAnsweredOnlyOnceReleased) {
  collector_.appendFault(CollectorEndpoint::Upload, {.status = 204, .hold = true});
  std::future<testsupport::TlsAnswer> held =
      std::async(std::launch::async, [&] { return upload(sampleBatch()); });
  ASSERT_TRUE(collector_.waitForHeld(1, kPatience));
  // Held: the batch has arrived but nothing is answered or logged yet.
  EXPECT_EQ(collector_.http().requestCount(), 1u);
  EXPECT_TRUE(collector_.logged("bundle").empty());
  // A request without a scripted fault passes the held one.
  EXPECT_EQ(upload(sampleBatch()).status, 200);
  collector_.release();
  EXPECT_EQ(held.get().status, 204);
  std::vector<json> bundles = collector_.logged("bundle");
  ASSERT_EQ(bundles.size(), 4u);
  EXPECT_EQ(bundles[2]["batch"], 1);
  EXPECT_EQ(bundles[2]["status"], 204);
}

TEST_F(MeasurementCollectorTest, ServesConfigurationsConditionallyAndLogsTheirRequests) {
  wire::MeasurementConfig config;
  config.set_app_id("1:1:ios:ab");
  config.add_settings()->set_name("measurement.upload.max_events_per_day");
  const std::string body = config.SerializeAsString();

  testsupport::TlsAnswer missing = fetchConfiguration("1:1:ios:ab");
  EXPECT_EQ(missing.status, 404);

  tools::ConfigurationValidators validators = collector_.setConfiguration("1:1:ios:ab", body);
  EXPECT_THAT(validators.lastModified, HasSubstr(" GMT"));
  testsupport::TlsAnswer first = fetchConfiguration("1:1:ios:ab");
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.body, body);
  EXPECT_EQ(first.header("ETag"), validators.ETag);
  EXPECT_EQ(first.header("Last-Modified"), validators.lastModified);

  const httplib::Headers conditional = {{"If-None-Match", validators.ETag},
                                        {"If-Modified-Since", validators.lastModified}};
  testsupport::TlsAnswer unchanged = fetchConfiguration("1:1:ios:ab", conditional);
  EXPECT_EQ(unchanged.status, 304);
  EXPECT_EQ(unchanged.body, "");
  EXPECT_EQ(unchanged.header("ETag"), validators.ETag);

  // A new configuration gets a new ETag: the old one no longer matches.
  tools::ConfigurationValidators renewed = collector_.setConfiguration("1:1:ios:ab", body + body);
  EXPECT_NE(renewed.ETag, validators.ETag);
  EXPECT_EQ(fetchConfiguration("1:1:ios:ab", conditional).status, 200);
  EXPECT_EQ(fetchConfiguration("1:2:ios:cd").status, 404);

  collector_.appendFault(CollectorEndpoint::Configuration, {.status = 503});
  testsupport::TlsAnswer failed = fetchConfiguration("1:1:ios:ab");
  EXPECT_EQ(failed.status, 503);
  EXPECT_EQ(failed.header("ETag"), "");

  std::vector<json> lines = collector_.logged("config");
  ASSERT_EQ(lines.size(), 6u);
  const json query = {{"gmp_version", "102800"}, {"platform", "macos"}, {"runtime_version", "0"}};
  EXPECT_EQ(
      lines[0],
      json({{"type", "config"}, {"app_id", "1:1:ios:ab"}, {"query", query}, {"status", 404}}));
  EXPECT_FALSE(lines[1].contains("if_none_match"));
  EXPECT_EQ(lines[2]["if_none_match"], validators.ETag);
  EXPECT_EQ(lines[2]["if_modified_since"], validators.lastModified);
  EXPECT_EQ(lines[2]["status"], 304);
  const int statuses[] = {404, 200, 304, 200, 404, 503};
  for (size_t i = 0; i < std::size(statuses); ++i) EXPECT_EQ(lines[i]["status"], statuses[i]);
  EXPECT_EQ(lines[4]["app_id"], "1:2:ios:cd");
}

TEST(MeasurementCollectorCommandTest, TakesCommandsFromArgumentsAndStandardInput) {
  testsupport::Sandbox sandbox;
  const std::string log = (sandbox.root() / "collector.jsonl").string();
  // The here-string is the server's standard input: two commands, then its end, which must not
  // stop the server.
  testsupport::Child server({"bash", "-c", "exec \"$0\" \"$@\" <<< $'upload status=503\\nbogus'",
                             TESSARO_MEASUREMENT_COLLECTOR, "--log=" + log, "upload status=429"},
                            testsupport::ChildOutput::StandardOutput);
  ASSERT_TRUE(server.started());
  std::map<std::string, std::string> printed;
  std::vector<std::string> acknowledged;
  std::optional<std::string> line;
  while (acknowledged.size() < 2 && (line = server.readLine())) {
    size_t split = line->find_first_of(" =");
    if (*line == "ok" || line->starts_with("error: ")) {
      acknowledged.push_back(*line);
    } else {
      printed[line->substr(0, split)] = line->substr(split + 1);
    }
  }
  ASSERT_EQ(acknowledged.size(), 2u);
  EXPECT_EQ(acknowledged[0], "ok");
  EXPECT_THAT(acknowledged[1], StartsWith("error: unknown command"));
  ASSERT_THAT(printed["measurement"], StartsWith("https://127.0.0.1:"));
  EXPECT_THAT(printed["TESSARO_CONNECT_TO"],
              StartsWith("measurement.tessaro.example:443:127.0.0.1:"));
  EXPECT_THAT(printed["TESSARO_CONNECT_TO"],
              HasSubstr(",measurement-authorized.tessaro.example:443:127.0.0.1:"));

  int port = std::stoi(printed["measurement"].substr(printed["measurement"].rfind(':') + 1));
  wire::MeasurementBatch batch;
  batch.add_bundles()->set_app_id("1:1:ios:ab");
  for (int expected : {429, 503, 200}) {
    EXPECT_EQ(testsupport::tlsRequest({.caFile = printed["TESSARO_CA_FILE"],
                                       .port = port,
                                       .method = "POST",
                                       .path = "/a",
                                       .body = tools::gzip(batch.SerializeAsString()),
                                       .headers = {{"Content-Encoding", "gzip"}},
                                       .contentType = "application/x-www-form-urlencoded"})
                  .status,
              expected);
  }
  server.signal(SIGTERM);
  EXPECT_TRUE(server.wait().succeeded());
  EXPECT_THAT(testsupport::readFile(log), HasSubstr("\"status\":200"));
  EXPECT_EQ(testsupport::runChild({TESSARO_MEASUREMENT_COLLECTOR, "upload status=x"},
                                  testsupport::ChildOutput::None)
                .exitCode(),
            2);
}

}  // namespace
