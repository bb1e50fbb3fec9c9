#include "tools/analytics/experiment_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <zlib.h>

#include <fstream>
#include <map>

#include "measurement/wire/schema/cpp/experiment.pb.h"
#include "testsupport/child_process.h"
#include "testsupport/files.h"
#include "testsupport/memory.h"
#include "testsupport/sandbox.h"
#include "testsupport/tls_client.h"
#include "tools/analytics/gzip_codec.h"

namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using tools::Cut;
using tools::ReplyBody;
namespace wire = tessaro::measurement;

wire::ExperimentRequest sampleRequest() {
  wire::ExperimentRequest request;
  wire::AppProperty* app = request.mutable_app_property();
  app->set_platform("macos");
  app->set_language("en-us");
  app->set_app_id("com.tessaro.brevalo.installer");
  app->set_is_from_app_store(false);
  app->set_manager_version(10000);
  wire::ClientProperty* client = request.add_client_properties();
  client->set_sdk_name("zad_odavodivezi");
  client->set_diversion_id("a1b2c-zad_odavodivezi");
  client->set_sdk_version(102800);
  client->set_app_id("1:1:ios:ab");
  wire::CustomProperty* custom = client->add_custom_properties();
  custom->set_key("channel");
  custom->set_value("demo");
  return request;
}

wire::ExperimentResponse sampleResponse() {
  wire::ExperimentResponse response;
  wire::Snapshot* snapshot = response.add_snapshots();
  snapshot->set_sdk_name("zad_odavodivezi");
  for (int id : {7, 3, 0}) {
    wire::Experiment* experiment = snapshot->add_experiments();
    experiment->set_experiment_id(id);
    wire::Flag* flag = experiment->add_flags();
    flag->set_name("flag_" + std::to_string(id));
    flag->set_int_value(id * 10);
  }
  return response;
}

// How many bytes `compressed` inflates to, counted piece by piece without keeping them.
size_t inflatedLength(const std::string& compressed) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 31), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  size_t total = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    char piece[64 * 1024];
    stream.next_out = reinterpret_cast<Bytef*>(piece);
    stream.avail_out = sizeof piece;
    status = inflate(&stream, Z_NO_FLUSH);
    total += sizeof piece - stream.avail_out;
  }
  EXPECT_EQ(status, Z_STREAM_END);
  inflateEnd(&stream);
  return total;
}

class ExperimentServerTest : public ::testing::Test {
 protected:
  testsupport::TlsAnswer fetch(const std::string& body, httplib::Headers headers) {
    return testsupport::tlsRequest({.caFile = server_.certificatePath(),
                                    .port = server_.http().port(),
                                    .method = "POST",
                                    .path = "/sdk-exp",
                                    .body = body,
                                    .headers = std::move(headers),
                                    .contentType = "application/x-www-form-urlencoded"});
  }
  // The sample request posted as the analytics client posts it.
  testsupport::TlsAnswer fetch() {
    return fetch(tools::gzip(sampleRequest().SerializeAsString()), {{"Content-Encoding", "gzip"}});
  }

  tools::ExperimentServer server_;
};

TEST_F(ExperimentServerTest, LogsTheDecodedRequestAndAnswersTheGzippedResponse) {
  testsupport::TlsAnswer empty = fetch();
  EXPECT_EQ(empty.status, 200);
  EXPECT_EQ(tools::gunzip(empty.body, 1000, nullptr), "");

  server_.setResponse(sampleResponse().SerializeAsString());
  testsupport::TlsAnswer answer = fetch();
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(answer.header("Content-Encoding"), "");
  std::optional<std::string> inflated = tools::gunzip(answer.body, 1 << 20, nullptr);
  ASSERT_TRUE(inflated);
  wire::ExperimentResponse decoded;
  ASSERT_TRUE(decoded.ParseFromString(*inflated));
  EXPECT_EQ(decoded.SerializeAsString(), sampleResponse().SerializeAsString());

  std::vector<json> requests = server_.logged("request");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1]["status"], 200);
  // libprotobuf's JSON form: 64-bit integers are strings; a field set to false is present.
  EXPECT_EQ(requests[1]["request"], json::parse(R"({
    "app_property": {"platform": "macos", "language": "en-us",
                     "app_id": "com.tessaro.brevalo.installer", "is_from_app_store": false,
                     "manager_version": "10000"},
    "client_properties": [{"sdk_name": "zad_odavodivezi", "diversion_id": "a1b2c-zad_odavodivezi",
                           "sdk_version": "102800", "app_id": "1:1:ios:ab",
                           "custom_properties": [{"key": "channel", "value": "demo"}]}]
  })"));
}

TEST_F(ExperimentServerTest, RefusesRequestsTheClientMustNotSend) {
  const std::string plain = sampleRequest().SerializeAsString();
  EXPECT_EQ(fetch(plain, {}).status, 400);
  EXPECT_EQ(fetch(plain, {{"Content-Encoding", "gzip"}}).status, 400);
  EXPECT_EQ(fetch(tools::gzip("\x0a\x05\x01"), {{"Content-Encoding", "gzip"}}).status, 400);
  std::vector<json> refused = server_.logged("refused");
  ASSERT_EQ(refused.size(), 3u);
  EXPECT_EQ(refused[0]["reason"], "Content-Encoding is \"\"");
  EXPECT_THAT(refused[1]["reason"].get<std::string>(), StartsWith("not gzip"));
  EXPECT_EQ(refused[2]["reason"], "the body is not an ExperimentRequest");
  EXPECT_TRUE(server_.logged("request").empty());
}

TEST_F(ExperimentServerTest, ScriptedFaultsShapeTheReplyInArrivalOrder) {
  server_.setResponse(sampleResponse().SerializeAsString());
  const std::string response = sampleResponse().SerializeAsString();
  enum class Expect { Response, NoBody, NotGzip, NotAMessage };
  struct Case {
    const char* name;
    tools::ScriptedFault fault;
    int status;  // 0: no whole answer
    Expect body;
  };
  const Case cases[] = {
      {"200", {.status = 200}, 200, Expect::Response},
      {"204", {.status = 204}, 204, Expect::NoBody},
      {"429", {.status = 429}, 429, Expect::NoBody},
      {"500", {.status = 500}, 500, Expect::NoBody},
      {"503", {.status = 503}, 503, Expect::NoBody},
      {"delay", {.delay = std::chrono::milliseconds(20)}, 200, Expect::Response},
      {"cut mid-body", {.cut = Cut::MidResponse}, 0, Expect::NoBody},
      {"cut after the request", {.cut = Cut::AfterRequest}, 0, Expect::NoBody},
      {"not gzip", {.body = ReplyBody::NotGzip}, 200, Expect::NotGzip},
      {"gzip of garbage", {.body = ReplyBody::GzipOfGarbage}, 200, Expect::NotAMessage},
      {"Content-Encoding too", {.contentEncoding = true}, 200, Expect::Response},
      {"script run out", {}, 200, Expect::Response},
  };
  for (const Case& c : cases) server_.appendFault(c.fault);
  for (const Case& c : cases) {
    testsupport::TlsAnswer answer = fetch();
    EXPECT_EQ(answer.status, c.status) << c.name;
    EXPECT_EQ(answer.header("Content-Encoding"), c.fault.contentEncoding ? "gzip" : "") << c.name;
    std::optional<std::string> inflated = tools::gunzip(answer.body, 1 << 20, nullptr);
    wire::ExperimentResponse decoded;
    switch (c.body) {
      case Expect::Response:
        EXPECT_EQ(inflated, response) << c.name;
        break;
      case Expect::NoBody:
        EXPECT_EQ(answer.body, "") << c.name;
        break;
      case Expect::NotGzip:
        EXPECT_FALSE(answer.body.empty()) << c.name;
        EXPECT_EQ(inflated, std::nullopt) << c.name;
        break;
      case Expect::NotAMessage:
        ASSERT_TRUE(inflated) << c.name;
        EXPECT_FALSE(decoded.ParseFromString(*inflated)) << c.name;
        break;
    }
  }
  std::vector<json> requests = server_.logged("request");
  ASSERT_EQ(requests.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    // A reply cut mid-body went out with its status; one cut after the request had none.
    const int logged = cases[i].fault.cut == Cut::MidResponse ? 200 : cases[i].status;
    EXPECT_EQ(requests[i]["status"], logged) << cases[i].name;
  }
}

TEST_F(ExperimentServerTest, TheBombIsSmallOnTheWireAndNeverInflatedByTheServer) {
  const size_t before = testsupport::residentBytes();
  server_.appendFault({.body = ReplyBody::GzipBomb});
  testsupport::TlsAnswer answer = fetch();
  ASSERT_EQ(answer.status, 200);
  const size_t afterServing = testsupport::residentBytes();
  EXPECT_LT(answer.body.size(), tools::ExperimentServer::kBombInflatedBytes / 500);
  EXPECT_EQ(inflatedLength(answer.body), tools::ExperimentServer::kBombInflatedBytes);
  if (testsupport::residentMemoryIsMeaningful()) {
    EXPECT_LT(afterServing, before + tools::ExperimentServer::kBombInflatedBytes / 4);
  }
  // The same bytes every time: made once.
  EXPECT_EQ(&tools::ExperimentServer::gzipBomb(), &tools::ExperimentServer::gzipBomb());
}

TEST(ExperimentServerCommandTest, ServesTheResponseFileAndScriptedFaults) {
  testsupport::Sandbox sandbox;
  const std::filesystem::path responseFile = sandbox.root() / "response.bin";
  std::ofstream(responseFile, std::ios::binary) << sampleResponse().SerializeAsString();
  testsupport::Child server({TESSARO_EXPERIMENT_SERVER, "response " + responseFile.string(),
                             "fetch status=429", "fetch body=bomb content-encoding"},
                            testsupport::ChildOutput::StandardOutput);
  ASSERT_TRUE(server.started());
  std::map<std::string, std::string> printed = testsupport::readSettingLines(server, 3);
  ASSERT_THAT(printed["experiments"], StartsWith("https://127.0.0.1:"));
  EXPECT_THAT(printed["TESSARO_CONNECT_TO"],
              StartsWith("experiments.tessaro.example:443:127.0.0.1:"));
  int port = std::stoi(printed["experiments"].substr(printed["experiments"].rfind(':') + 1));
  auto fetch = [&] {
    return testsupport::tlsRequest({.caFile = printed["TESSARO_CA_FILE"],
                                    .port = port,
                                    .method = "POST",
                                    .path = "/sdk-exp",
                                    .body = tools::gzip(sampleRequest().SerializeAsString()),
                                    .headers = {{"Content-Encoding", "gzip"}},
                                    .contentType = "application/x-www-form-urlencoded"});
  };
  EXPECT_EQ(fetch().status, 429);
  testsupport::TlsAnswer bomb = fetch();
  EXPECT_EQ(bomb.header("Content-Encoding"), "gzip");
  EXPECT_EQ(bomb.body, tools::ExperimentServer::gzipBomb());
  testsupport::TlsAnswer normal = fetch();
  EXPECT_EQ(tools::gunzip(normal.body, 1 << 20, nullptr), sampleResponse().SerializeAsString());
  server.signal(SIGTERM);
  EXPECT_TRUE(server.wait().succeeded());
  EXPECT_EQ(testsupport::runChild({TESSARO_EXPERIMENT_SERVER, "response /nonexistent"},
                                  testsupport::ChildOutput::None)
                .exitCode(),
            2);
}

}  // namespace
