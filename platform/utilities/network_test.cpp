#include "platform/utilities/network.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "os/dispatch/runloop.h"
#include "os/log/log.h"
#include "os/process/clock.h"
#include "platform/utilities/gzip.h"
#include "platform/utilities/logger.h"
#include "testsupport/local_http_server.h"
#include "testsupport/run_loop.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

// What a request's handler received.
struct Outcome {
  // Set last, so that a handler run on another thread publishes the fields above it.
  std::atomic<bool> called = false;
  std::shared_ptr<const os::HTTPURLResponse> response;
  std::optional<os::Data> data;
  std::optional<os::Error> error;
  bool onMainThread = false;

  VDUNetworkCompletionHandler handler() {
    return [this](auto response, auto data, auto error) {
      this->response = std::move(response);
      this->data = std::move(data);
      this->error = std::move(error);
      onMainThread = os::isMainThread();
      called = true;
    };
  }
  int status() const { return response ? response->statusCode() : 0; }
  std::string body() const { return data ? std::string(data->begin(), data->end()) : ""; }
};

bool waitFor(const Outcome& outcome) {
  return testsupport::runUntil([&] { return outcome.called.load(); });
}

os::Data bytes(const std::string& text) { return os::Data(text.begin(), text.end()); }

class VDUNetworkTest : public testing::Test {
 protected:
  VDUNetworkTest() {
    sandbox_.setEnv("TESSARO_CA_FILE", std::nullopt);
    sandbox_.setEnv("TESSARO_CONNECT_TO", std::nullopt);
    VDULoggerResetForTesting();
    network_ = VDUNetwork::initWithReachabilityHost("127.0.0.1");
  }

  std::optional<os::URL> url(const std::string& path) const {
    return os::URL::parse(server_.url(path));
  }

  testsupport::Sandbox sandbox_;
  testsupport::LocalHttpServer server_;
  std::shared_ptr<VDUNetwork> network_;
};

TEST_F(VDUNetworkTest, APostCarriesTheGzippedPayloadWithItsHeaders) {
  server_.respond("POST", "/a", 204, "");
  // Under the test server's limit for form bodies (8 KiB once inflated).
  const std::string payload(6000, 'x');
  for (bool background : {false, true}) {
    Outcome outcome;
    auto id = network_->postURL(url("/a"), {{"Content-Type", "text/plain"}, {"X-Extra", "1"}},
                                bytes(payload), nullptr, background, outcome.handler());
    ASSERT_TRUE(id);
    EXPECT_EQ(id->rfind("com.vdu.network.background-upload-", 0), 0u);
    ASSERT_TRUE(waitFor(outcome));
    EXPECT_TRUE(outcome.onMainThread);
    EXPECT_EQ(outcome.status(), 204);
    EXPECT_EQ(outcome.error, std::nullopt);
  }
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);
  size_t compressed = VDUNSDataZlib::gul_dataByGzippingData(bytes(payload))->size();
  for (const auto& request : requests) {
    EXPECT_EQ(request.body, payload);  // the server undid the gzip encoding
    EXPECT_EQ(request.header("Content-Length"), std::to_string(compressed));
    EXPECT_EQ(request.header("Content-Encoding"), "gzip");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.header("X-Extra"), "1");
  }
}

TEST_F(VDUNetworkTest, AnEmptyPayloadIsAnEmptyBody) {
  server_.respond("POST", "/a", 200, "ok");
  Outcome outcome;
  ASSERT_TRUE(network_->postURL(url("/a"), {}, nullptr, false, outcome.handler()));
  ASSERT_TRUE(waitFor(outcome));
  EXPECT_EQ(outcome.body(), "ok");
  auto request = server_.requests().at(0);
  EXPECT_EQ(request.header("Content-Length"), "0");
  EXPECT_EQ(request.header("Content-Encoding"), "gzip");
}

TEST_F(VDUNetworkTest, RequestsInFlightAreCountedUntilTheirHandlerRuns) {
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  server_.on("POST", "/slow", [&](const httplib::Request&, httplib::Response& response) {
    std::unique_lock lock(mutex);
    released.wait(lock, [&] { return release; });
    response.status = 200;
  });
  Outcome outcome;
  bool inProgressInHandler = true;
  auto id = network_->postURL(url("/slow"), bytes("body"), nullptr, true,
                              [&](auto response, auto data, auto error) {
                                inProgressInHandler = network_->hasUploadInProgress();
                                outcome.handler()(response, data, error);
                              });
  ASSERT_TRUE(id);
  EXPECT_TRUE(network_->hasUploadInProgress());
  // While the server stalls, the body waits in its temporary file.
  fs::path file = VDUNetworkURLSession::networkDirectoryURL() / ("VDUUpload_temp_" + *id);
  ASSERT_TRUE(server_.waitForRequests(1, std::chrono::seconds(10)));
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  ASSERT_TRUE(waitFor(outcome));
  EXPECT_FALSE(inProgressInHandler);
  EXPECT_FALSE(network_->hasUploadInProgress());
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(VDUNetworkTest, OldTemporaryFilesArePrunedWhenARequestStarts) {
  fs::path folder = VDUNetworkURLSession::networkDirectoryURL();
  fs::create_directories(folder);
  auto writeAged = [&](const std::string& name, double ageSeconds) {
    std::ofstream(folder / name) << "left over";
    double when = os::clock::now() - ageSeconds;
    timeval times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(when);
    times[0].tv_usec = times[1].tv_usec = 0;
    EXPECT_EQ(utimes((folder / name).c_str(), times), 0);
  };
  writeAged("VDUUpload_temp_old", 2 * 3600);
  writeAged("VDUUpload_temp_recent", 10 * 60);
  writeAged("VDUUpload_temp_future", -2 * 3600);  // a clock set back counts as well
  server_.respond("POST", "/a", 200, "");
  Outcome outcome;
  ASSERT_TRUE(network_->postURL(url("/a"), bytes("x"), nullptr, false, outcome.handler()));
  EXPECT_FALSE(fs::exists(folder / "VDUUpload_temp_old"));
  EXPECT_FALSE(fs::exists(folder / "VDUUpload_temp_future"));
  EXPECT_TRUE(fs::exists(folder / "VDUUpload_temp_recent"));
  ASSERT_TRUE(waitFor(outcome));
}

TEST_F(VDUNetworkTest, RedirectsOfGetsFollowOnly303And308AndPostsFollowNone) {
  for (int status : {300, 301, 302, 303, 307, 308}) {
    server_.on("GET", "/r" + std::to_string(status),
               [status](const httplib::Request&, httplib::Response& response) {
                 response.status = status;
                 response.set_header("Location", "/target");
                 response.set_content("redirect body", "text/plain");
               });
    server_.on("POST", "/r" + std::to_string(status),
               [status](const httplib::Request&, httplib::Response& response) {
                 response.status = status;
                 response.set_header("Location", "/target");
               });
  }
  server_.respond("GET", "/target", 200, "arrived");
  server_.respond("POST", "/target", 200, "arrived");
  for (int status : {300, 301, 302, 303, 307, 308}) {
    SCOPED_TRACE(status);
    Outcome get;
    ASSERT_TRUE(
        network_->getURL(url("/r" + std::to_string(status)), {}, nullptr, false, get.handler()));
    ASSERT_TRUE(waitFor(get));
    bool followed = status == 303 || status == 308;
    EXPECT_EQ(get.status(), followed ? 200 : status);
    Outcome post;
    ASSERT_TRUE(network_->postURL(url("/r" + std::to_string(status)), bytes("upload"), nullptr,
                                  false, post.handler()));
    ASSERT_TRUE(waitFor(post));
    EXPECT_EQ(post.status(), status);  // never turned into a GET answered 200
  }
  for (const auto& request : server_.requests()) {
    EXPECT_FALSE(request.method == "GET" && request.path == "/target" &&
                 request.header("Content-Encoding") == "gzip");
  }
}

TEST_F(VDUNetworkTest, AnErrorStatusIsTheCallersBusiness) {
  server_.respond("GET", "/broken", 500, "server error");
  Outcome outcome;
  ASSERT_TRUE(
      network_->getURL(url("/broken"), {{"X-Check", "yes"}}, nullptr, false, outcome.handler()));
  ASSERT_TRUE(waitFor(outcome));
  EXPECT_EQ(outcome.status(), 500);
  EXPECT_EQ(outcome.body(), "server error");
  EXPECT_EQ(outcome.error, std::nullopt);
  EXPECT_EQ(server_.requests().at(0).header("X-Check"), "yes");
}

// A server that answers every connection with `reply` and hangs up.
class RawServer {
 public:
  explicit RawServer(std::string reply) : reply_(std::move(reply)) {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(socket_, 4);
    socklen_t size = sizeof address;
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      int client = ::accept(socket_, nullptr, nullptr);
      if (client < 0) return;
      char buffer[4096];
      ::recv(client, buffer, sizeof buffer, 0);
      ::send(client, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      ::close(client);
    });
  }
  ~RawServer() {
    ::shutdown(socket_, SHUT_RDWR);
    ::close(socket_);
    thread_.join();
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  std::string reply_;
  int socket_;
  int port_ = 0;
  std::thread thread_;
};

TEST_F(VDUNetworkTest, ABodyShortOfItsContentLengthIsAFailure) {
  RawServer raw("HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nshort");
  Outcome outcome;
  ASSERT_TRUE(
      network_->getURL(os::URL::parse(raw.url("/config")), {}, nullptr, false, outcome.handler()));
  ASSERT_TRUE(waitFor(outcome));
  EXPECT_EQ(outcome.status(), 200);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain, os::kURLErrorDomain);
}

TEST_F(VDUNetworkTest, RefusalsReachTheHandlerWithTheirCode) {
  VDULoggerCapture capture;
  os::log::Capture console;
  Outcome outcome;
  EXPECT_EQ(network_->postURL(std::nullopt, bytes("x"), nullptr, false, outcome.handler()),
            std::nullopt);
  EXPECT_FALSE(outcome.called);  // asynchronously
  ASSERT_TRUE(waitFor(outcome));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain, kVDUNetworkErrorDomain);
  EXPECT_EQ(outcome.error->code, 1);
  EXPECT_EQ(outcome.error->userInfo[kVDUNetworkErrorContext],
            os::Value("Failed to create network request"));
  EXPECT_EQ(outcome.response, nullptr);
  EXPECT_TRUE(
      capture.contains("[VDUNetwork][I-NET900002] <Vedodo/Utilities/Network/WARNING> "
                       "Failed to create network request. Code, error: 1, "));
  auto worker = os::DispatchQueue::serial("test.worker");
  Outcome onWorker;
  bool workerWasCurrent = false;
  network_->getURL(std::nullopt, {}, worker, false, [&](auto response, auto data, auto error) {
    workerWasCurrent = worker->isCurrent();
    onWorker.handler()(response, data, error);
  });
  ASSERT_TRUE(waitFor(onWorker));
  EXPECT_TRUE(workerWasCurrent);
}

TEST_F(VDUNetworkTest, AReleasedClientCallsNoHandler) {
  server_.respond("GET", "/x", 200, "x");
  bool called = false;
  auto id =
      network_->getURL(url("/x"), {}, nullptr, false, [&](auto, auto, auto) { called = true; });
  ASSERT_TRUE(id);
  network_.reset();
  // The fetcher leaves the map when its task completes, just before it queues its call-back on
  // the main queue; a marker queued after that runs after the call-back would have.
  ASSERT_TRUE(os::RunLoop::main().runUntil(
      [&] { return VDUNetworkURLSession::sessionFromFetcherMapForSessionID(*id) == nullptr; }, 30));
  bool marker = false;
  os::DispatchQueue::main()->async([&] { marker = true; });
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return marker; }, 30));
  EXPECT_FALSE(called);
}

TEST_F(VDUNetworkTest, ReachabilityOfAnEmptyHostGivesNoClient) {
  EXPECT_EQ(VDUNetwork::initWithReachabilityHost(""), nullptr);
  EXPECT_NE(VDUNetwork::create(), nullptr);
}

class RecordingLogger : public VDUNetworkLoggerDelegate {
 public:
  void VDUNetwork_logWithLevel(VDUNetworkLogLevel, VDUNetworkMessageCode code, const std::string&,
                               const std::vector<os::Value>&) override {
    codes.push_back(code);
  }
  void VDUNetwork_logWithLevel(VDUNetworkLogLevel, VDUNetworkMessageCode code, const std::string&,
                               const os::Value&) override {
    codes.push_back(code);
  }
  void VDUNetwork_logWithLevel(VDUNetworkLogLevel, VDUNetworkMessageCode code,
                               const std::string&) override {
    codes.push_back(code);
  }
  std::vector<VDUNetworkMessageCode> codes;
};

TEST_F(VDUNetworkTest, LinesGoToTheLoggerDelegateOrByLevelToTheConsole) {
  VDULoggerCapture capture;
  os::log::Capture console;
  network_->VDUNetwork_logWithLevel(VDUNetworkLogLevel::Debug, 900000, "hidden");
  network_->VDUNetwork_logWithLevel(VDUNetworkLogLevel::Info, 900001, "shown",
                                    os::Value("https://example.test/a"));
  network_->VDUNetwork_logWithLevel(VDUNetworkLogLevel::Error, 901017, "",
                                    std::vector<os::Value>{-1001, nullptr});
  EXPECT_FALSE(console.contains("hidden"));
  EXPECT_TRUE(console.contains("<Vedodo/Utilities/Network/INFO> shown: https://example.test/a"));
  EXPECT_FALSE(capture.contains("shown"));  // the logger's own maximum (5) holds info back
  EXPECT_TRUE(capture.contains(
      "[VDUNetwork][I-NET901017] <Vedodo/Utilities/Network/ERROR> (Message was empty): -1001, "
      "(nil)"));
  network_->setIsDebugModeEnabled(true);
  network_->VDUNetwork_logWithLevel(VDUNetworkLogLevel::Debug, 900000, "now shown");
  EXPECT_TRUE(console.contains("<Vedodo/Utilities/Network/DEBUG> now shown"));

  network_->setLoggerDelegate(nullptr);
  EXPECT_TRUE(
      console.contains("Cannot set the network logger delegate: delegate does not "
                       "conform to the network logger protocol."));
  auto logger = std::make_shared<RecordingLogger>();
  network_->setLoggerDelegate(logger);
  network_->VDUNetwork_logWithLevel(VDUNetworkLogLevel::Debug, 900000, "to the delegate");
  server_.respond("GET", "/x", 200, "x");
  Outcome outcome;
  network_->getURL(url("/x"), {}, nullptr, false, outcome.handler());
  ASSERT_TRUE(waitFor(outcome));
  EXPECT_EQ(logger->codes, (std::vector<VDUNetworkMessageCode>{900000, 900001}));
  EXPECT_FALSE(console.contains("to the delegate"));
}

TEST_F(VDUNetworkTest, TlsServersAreTrustedOnlyThroughTheTrustStore) {
  testsupport::LocalHttpServer tls({.tls = true});
  tls.respond("GET", "/secure", 200, "secret");
  Outcome untrusted;
  network_->getURL(os::URL::parse(tls.url("/secure")), {}, nullptr, false, untrusted.handler());
  ASSERT_TRUE(waitFor(untrusted));
  ASSERT_TRUE(untrusted.error);
  EXPECT_EQ(untrusted.response, nullptr);
  sandbox_.setEnv("TESSARO_CA_FILE", tls.certificatePath().string());
  Outcome trusted;
  network_->getURL(os::URL::parse(tls.url("/secure")), {}, nullptr, false, trusted.handler());
  ASSERT_TRUE(waitFor(trusted));
  EXPECT_EQ(trusted.body(), "secret");
  EXPECT_EQ(trusted.error, std::nullopt);
}

TEST_F(VDUNetworkTest, FetchersLeaveTheMapWhenTheyComplete) {
  server_.respond("GET", "/x", 200, "x");
  auto fetcher = VDUNetworkURLSession::create({});
  bool called = false;
  auto id = fetcher->sessionIDFromAsyncGETRequest(
      os::URLRequest(*url("/x")), [&](auto, auto, const std::string&, auto) { called = true; });
  ASSERT_TRUE(id);
  EXPECT_EQ(VDUNetworkURLSession::sessionFromFetcherMapForSessionID(*id), fetcher);
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return called; }, 30));
  EXPECT_EQ(VDUNetworkURLSession::sessionFromFetcherMapForSessionID(*id), nullptr);
}

TEST_F(VDUNetworkTest, ASecondFetcherUnderOneIDDiscardsTheFirstsSession) {
  server_.respond(
      "GET", "/slow",
      testsupport::Reply{
          .status = 200, .body = "x", .headers = {}, .delay = std::chrono::milliseconds(300)});
  auto first = VDUNetworkURLSession::create({});
  Outcome outcome;
  bool called = false;
  std::optional<os::Error> firstError;
  auto id = first->sessionIDFromAsyncGETRequest(os::URLRequest(*url("/slow")),
                                                [&](auto, auto, const std::string&, auto error) {
                                                  called = true;
                                                  firstError = error;
                                                });
  ASSERT_TRUE(id);
  auto logger = std::make_shared<RecordingLogger>();
  auto second = VDUNetworkURLSession::create(logger);
  VDUNetworkURLSession::setSessionInFetcherMap(second, *id);
  EXPECT_EQ(VDUNetworkURLSession::sessionFromFetcherMapForSessionID(*id), second);
  EXPECT_EQ(logger->codes, std::vector<VDUNetworkMessageCode>{901019});
  // The first session was finished, not cancelled: its task still completes.
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return called; }, 30));
  VDUNetworkURLSession::setSessionInFetcherMap(nullptr, *id);
  EXPECT_EQ(VDUNetworkURLSession::sessionFromFetcherMapForSessionID(*id), nullptr);
}

TEST_F(VDUNetworkTest, BackgroundEventsKeepTheSystemsHandlerForOurSessionsOnly) {
  std::string id = std::string(kVDUNetworkBackgroundSessionPrefix) + "-TEST";
  bool ran = false;
  VDUNetwork::handleEventsForBackgroundURLSessionID(id, [&] { ran = true; });
  auto fetcher = VDUNetworkURLSession::fetcherWithSessionIdentifier(id);
  ASSERT_NE(fetcher, nullptr);
  EXPECT_EQ(fetcher->sessionID(), id);
  fetcher->callSystemCompletionHandler(id);
  EXPECT_FALSE(ran);  // asynchronously, on the main queue
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return ran; }, 10));
  VDUNetwork::handleEventsForBackgroundURLSessionID("com.other.session", [] {});
  EXPECT_EQ(VDUNetworkURLSession::fetcherWithSessionIdentifier("com.other.session"), nullptr);
  VDUNetworkURLSession::setSessionInFetcherMap(nullptr, id);
}

}  // namespace
