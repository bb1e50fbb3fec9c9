#include "os/net/urlsession.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "os/crypto/crypto.h"
#include "os/dispatch/runloop.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/log/log.h"
#include "os/process/process.h"
#include "testsupport/files.h"
#include "testsupport/local_http_server.h"
#include "testsupport/random.h"
#include "testsupport/run_loop.h"
#include "testsupport/sandbox.h"

namespace os {
namespace {

using std::chrono::milliseconds;
using testing::ElementsAre;
using testing::IsEmpty;
using testsupport::randomBytes;
using testsupport::readFile;

using testsupport::kPatience;
// For the 64 MiB resumable downloads.
constexpr double kLargeTransferWait = 280.0;

URLRequest requestFor(const std::string& url) { return URLRequest(*URL::parse(url)); }

// A body sent in pieces of `pieceSize` bytes with `pause` between them.
testsupport::Reply piecewise(std::string body, size_t pieceSize, milliseconds pause,
                             int status = 200, httplib::Headers headers = {}) {
  testsupport::Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.headers = std::move(headers);
  reply.pieceSize = pieceSize;
  reply.pause = pause;
  return reply;
}

testsupport::Reply chunked(std::string body, size_t pieceSize, milliseconds pause) {
  testsupport::Reply reply = piecewise(std::move(body), pieceSize, pause);
  reply.chunked = true;
  return reply;
}

// A response that starts after `delay`.
testsupport::Reply delayed(std::string body, milliseconds delay) {
  testsupport::Reply reply;
  reply.body = std::move(body);
  reply.delay = delay;
  return reply;
}

testsupport::LocalHttpServer::Options tls(std::vector<std::string> hostNames = {}) {
  testsupport::LocalHttpServer::Options options;
  options.tls = true;
  options.hostNames = std::move(hostNames);
  return options;
}

// Records every delegate call in the order the session makes them, and answers the optional
// callbacks the way a test asks.
class Recorder : public URLSessionDelegate {
 public:
  explicit Recorder(std::shared_ptr<DispatchQueue> queue = nullptr) : queue_(std::move(queue)) {}

  // Answers for the optional callbacks; unset means "not implemented".
  std::function<bool(const URLAuthenticationChallenge&, ChallengeCompletion)> onChallenge;
  std::function<std::optional<URLRequest>(const HTTPURLResponse&, const URLRequest&)> onRedirect;
  std::function<bool(ResponseCompletion)> onResponse;
  std::function<std::shared_ptr<InputStream>()> onNeedBodyStream;
  // Runs in didReceiveData, on the delegate queue.
  std::function<void()> whileReceiving;
  // Where didFinishDownloading copies the file.
  std::filesystem::path keepDownloadAt;

  void didBecomeInvalid(const std::shared_ptr<URLSession>&, const std::optional<Error>&) override {
    record("invalid");
  }
  bool didReceiveChallenge(const std::shared_ptr<URLSession>&,
                           const URLAuthenticationChallenge& challenge,
                           ChallengeCompletion completion) override {
    if (!onChallenge) return false;
    record("challenge");
    std::lock_guard lock(mutex_);
    challenges.push_back(challenge);
    return onChallenge(challenge, std::move(completion));
  }
  bool willPerformHTTPRedirection(const std::shared_ptr<URLSession>&,
                                  const std::shared_ptr<URLSessionTask>&,
                                  const std::shared_ptr<const HTTPURLResponse>& response,
                                  const URLRequest& newRequest,
                                  RedirectCompletion completion) override {
    if (!onRedirect) return false;
    record("redirect " + std::to_string(response->statusCode()));
    completion(onRedirect(*response, newRequest));
    return true;
  }
  bool needNewBodyStream(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                         BodyStreamCompletion completion) override {
    if (!onNeedBodyStream) return false;
    record("needBodyStream");
    completion(onNeedBodyStream());
    return true;
  }
  void didSendBodyData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                       int64_t, int64_t totalSent, int64_t totalExpected) override {
    checkThread();
    std::lock_guard lock(mutex_);
    sent.emplace_back(totalSent, totalExpected);
  }
  void didCompleteWithError(const std::shared_ptr<URLSession>&,
                            const std::shared_ptr<URLSessionTask>& task,
                            const std::optional<Error>& taskError) override {
    checkThread();
    {
      std::lock_guard lock(mutex_);
      error = taskError;
      stateAtCompletion = task->state();
      ++completions;
    }
    record("complete");
  }
  bool didReceiveResponse(const std::shared_ptr<URLSession>&,
                          const std::shared_ptr<URLSessionDataTask>&,
                          const std::shared_ptr<const URLResponse>& response,
                          ResponseCompletion completion) override {
    {
      std::lock_guard lock(mutex_);
      this->response = std::dynamic_pointer_cast<const HTTPURLResponse>(response);
    }
    record("response");
    if (!onResponse) return false;
    return onResponse(std::move(completion));
  }
  void didReceiveData(const std::shared_ptr<URLSession>&,
                      const std::shared_ptr<URLSessionDataTask>&, const Data& piece) override {
    checkThread();
    if (whileReceiving) whileReceiving();
    std::lock_guard lock(mutex_);
    if (events.empty() || events.back() != "data") events.push_back("data");
    data.append(piece.begin(), piece.end());
  }
  void didWriteData(const std::shared_ptr<URLSession>&,
                    const std::shared_ptr<URLSessionDownloadTask>&, int64_t bytesWritten,
                    int64_t totalWritten, int64_t totalExpected) override {
    checkThread();
    std::lock_guard lock(mutex_);
    if (events.empty() || events.back() != "progress") events.push_back("progress");
    written.push_back({bytesWritten, totalWritten, totalExpected});
  }
  void didFinishDownloading(const std::shared_ptr<URLSession>&,
                            const std::shared_ptr<URLSessionDownloadTask>&,
                            const URL& location) override {
    checkThread();
    record("finished");
    std::lock_guard lock(mutex_);
    this->location = location.filePath();
    if (!keepDownloadAt.empty()) std::filesystem::copy_file(location.filePath(), keepDownloadAt);
  }

  bool waitFor(const std::string& event, double seconds = kPatience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      return std::find(events.begin(), events.end(), event) != events.end();
    });
  }
  bool waitForCompletion(double seconds = kPatience) { return waitFor("complete", seconds); }

  std::vector<std::string> eventList() {
    std::lock_guard lock(mutex_);
    return events;
  }

  struct Written {
    int64_t bytes, total, expected;
  };

  std::mutex mutex_;
  std::vector<std::string> events;
  std::string data;
  std::vector<Written> written;
  std::vector<std::pair<int64_t, int64_t>> sent;
  std::vector<URLAuthenticationChallenge> challenges;
  std::shared_ptr<const HTTPURLResponse> response;
  std::optional<Error> error;
  URLSessionTaskState stateAtCompletion = URLSessionTaskState::Running;
  std::filesystem::path location;
  int completions = 0;
  bool offQueue = false;  // a call came on another queue than the delegate queue
  bool onMain = false;    // a call came on the main thread

 private:
  void record(std::string event) {
    std::lock_guard lock(mutex_);
    events.push_back(std::move(event));
    changed_.notify_all();
  }
  void checkThread() {
    std::lock_guard lock(mutex_);
    if (queue_ && !queue_->isCurrent()) offQueue = true;
    if (isMainThread()) onMain = true;
    changed_.notify_all();
  }

  std::shared_ptr<DispatchQueue> queue_;
  std::condition_variable changed_;
};

class URLSessionTest : public testing::Test {
 protected:
  URLSessionTest() {
    sandbox_.setEnv("TMPDIR", tmp().string());
    sandbox_.setEnv("TESSARO_CA_FILE", std::nullopt);
    sandbox_.setEnv("TESSARO_CONNECT_TO", std::nullopt);
    std::filesystem::create_directories(tmp());
  }
  ~URLSessionTest() override {
    for (auto& session : sessions_) session->invalidateAndCancel();
  }

  std::filesystem::path tmp() const { return sandbox_.root() / "tmp"; }

  std::shared_ptr<URLSession> makeSession(
      std::shared_ptr<URLSessionDelegate> delegate = nullptr,
      URLSessionConfiguration configuration =
          URLSessionConfiguration::defaultSessionConfiguration()) {
    auto session =
        URLSession::sessionWithConfiguration(std::move(configuration), std::move(delegate), queue_);
    sessions_.push_back(session);
    return session;
  }
  // A session whose delegate records; the recorder checks that it is called on the queue.
  std::pair<std::shared_ptr<URLSession>, std::shared_ptr<Recorder>> recordingSession() {
    auto recorder = std::make_shared<Recorder>(queue_);
    return {makeSession(recorder), recorder};
  }

  // Waits for a data task's completion handler and returns its arguments.
  struct DataResult {
    std::optional<Data> data;
    std::shared_ptr<const URLResponse> response;
    std::optional<Error> error;
    std::string body() const { return data ? std::string(data->begin(), data->end()) : ""; }
    int status() const {
      auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response);
      return http ? http->statusCode() : 0;
    }
  };
  DataResult fetch(const std::shared_ptr<URLSession>& session, const URLRequest& request) {
    DispatchSemaphore done;
    DataResult result;
    auto task = session->dataTaskWithRequest(
        request, [&](const std::optional<Data>& data, const std::shared_ptr<const URLResponse>& r,
                     const std::optional<Error>& error) {
          result = {data, r, error};
          done.signal();
        });
    task->resume();
    EXPECT_TRUE(done.wait(kPatience));
    return result;
  }

  testsupport::Sandbox sandbox_;
  std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::serial("test.urlsession.delegate");
  std::vector<std::shared_ptr<URLSession>> sessions_;
};

TEST_F(URLSessionTest, DataTaskDeliversResponseDataAndCompletionInOrder) {
  testsupport::LocalHttpServer server;
  const std::string body = randomBytes(3 << 20);
  server.respond("GET", "/data", piecewise(body, 256 << 10, milliseconds(5), 404));
  auto [session, recorder] = recordingSession();

  auto task = session->dataTaskWithRequest(requestFor(server.url("/data")));
  auto second = session->dataTaskWithURL(*URL::parse(server.url("/data")));
  EXPECT_EQ(task->state(), URLSessionTaskState::Suspended);
  EXPECT_EQ(task->taskIdentifier(), 1u);
  EXPECT_EQ(second->taskIdentifier(), 2u);
  EXPECT_EQ(task->kind(), URLSessionTask::Kind::Data);
  EXPECT_EQ(task->countOfBytesExpectedToReceive(), kURLSessionTransferSizeUnknown);
  EXPECT_EQ(task->countOfBytesExpectedToSend(), 0);
  EXPECT_EQ(task->response(), nullptr);

  task->resume();
  EXPECT_EQ(task->state(), URLSessionTaskState::Running);
  ASSERT_TRUE(recorder->waitForCompletion());
  EXPECT_THAT(recorder->eventList(), ElementsAre("response", "data", "complete"));
  EXPECT_EQ(recorder->data, body);
  EXPECT_EQ(recorder->error, std::nullopt);  // a 404 is an answer, not a failure
  EXPECT_EQ(recorder->response->statusCode(), 404);
  EXPECT_EQ(recorder->stateAtCompletion, URLSessionTaskState::Completed);
  EXPECT_FALSE(recorder->offQueue);
  EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
  EXPECT_EQ(task->error(), std::nullopt);
  EXPECT_EQ(task->countOfBytesReceived(), int64_t(body.size()));
  EXPECT_EQ(task->countOfBytesExpectedToReceive(), int64_t(body.size()));
  EXPECT_EQ(task->response()->url().absoluteString(), server.url("/data"));
  EXPECT_EQ(second->state(), URLSessionTaskState::Suspended);  // never resumed
}

TEST_F(URLSessionTest, CompletionHandlerFormsCollectTheBody) {
  testsupport::LocalHttpServer server;
  server.respond("GET", "/hello", 200, "hello", {{"Content-Type", "text/plain; charset=utf-8"}});
  auto session = makeSession();
  DataResult result = fetch(session, requestFor(server.url("/hello")));
  EXPECT_EQ(result.body(), "hello");
  EXPECT_EQ(result.status(), 200);
  EXPECT_EQ(result.response->MIMEType(), "text/plain");
  EXPECT_EQ(result.response->textEncodingName(), "utf-8");
  EXPECT_EQ(result.error, std::nullopt);

  DispatchSemaphore done;
  std::string downloaded;
  std::filesystem::path location;
  session
      ->downloadTaskWithRequest(
          requestFor(server.url("/hello")),
          [&](const std::optional<URL>& file, const std::shared_ptr<const URLResponse>&,
              const std::optional<Error>& error) {
            EXPECT_EQ(error, std::nullopt);
            ASSERT_TRUE(file.has_value());
            location = file->filePath();
            downloaded = readFile(location);
            done.signal();
          })
      ->resume();
  ASSERT_TRUE(done.wait(kPatience));
  EXPECT_EQ(downloaded, "hello");
  queue_->sync([] {});
  EXPECT_FALSE(std::filesystem::exists(location));  // removed once the handler returned
}

TEST_F(URLSessionTest, DownloadOfEightMebibytesWritesTheFileAndReportsProgress) {
  testsupport::LocalHttpServer server;
  const std::string body = randomBytes(8 << 20);
  server.respond(
      "GET", "/product.zip",
      piecewise(body, 512 << 10, milliseconds(2), 200, {{"Content-Type", "application/zip"}}));
  auto [session, recorder] = recordingSession();
  recorder->keepDownloadAt = sandbox_.root() / "kept.zip";

  auto task = session->downloadTaskWithRequest(requestFor(server.url("/product.zip")));
  EXPECT_EQ(task->kind(), URLSessionTask::Kind::Download);
  task->resume();
  ASSERT_TRUE(recorder->waitForCompletion());
  queue_->sync([] {});

  EXPECT_THAT(recorder->eventList(), ElementsAre("progress", "finished", "complete"));
  EXPECT_EQ(recorder->completions, 1);
  EXPECT_EQ(recorder->error, std::nullopt);
  EXPECT_FALSE(recorder->onMain);
  EXPECT_FALSE(recorder->offQueue);
  EXPECT_EQ(crypto::sha256(readFile(recorder->keepDownloadAt)), crypto::sha256(body));
  // The temporary file lay in the temporary folder and is gone.
  EXPECT_EQ(recorder->location.parent_path(), tmp());
  EXPECT_FALSE(std::filesystem::exists(recorder->location));
  EXPECT_TRUE(std::filesystem::is_empty(tmp()));

  ASSERT_FALSE(recorder->written.empty());
  int64_t previous = 0;
  for (const auto& report : recorder->written) {
    EXPECT_EQ(report.expected, 8388608);
    EXPECT_EQ(report.total, previous + report.bytes);
    EXPECT_GT(report.bytes, 0);
    previous = report.total;
  }
  EXPECT_EQ(previous, 8388608);
  EXPECT_EQ(task->countOfBytesReceived(), 8388608);
  EXPECT_EQ(task->countOfBytesExpectedToReceive(), 8388608);
}

// The write(2) calls this process has made so far (the kernel's count, all threads), or -1
// where the kernel does not keep it.
int64_t writeCallsSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value = 0;
  while (io >> key >> value) {
    if (key == "syscw:") return value;
  }
  return -1;
}

TEST_F(URLSessionTest, DownloadGoesToItsFileInBlocksOfAQuarterMebibyteAtLeast) {
  // The server writes 16 KiB at a time (send(2), which the count leaves out), so the body
  // arrives in many small reads; each block of the file is one write whatever their sizes.
  testsupport::LocalHttpServer server;
  const std::string body = randomBytes(16 << 20);
  server.respond("GET", "/product.zip", piecewise(body, 16 << 10, milliseconds(0)));
  auto session = makeSession();
  if (writeCallsSoFar() < 0) GTEST_SKIP() << "no write count in /proc/self/io";

  const int64_t before = writeCallsSoFar();
  DispatchSemaphore done;
  std::string contents;
  std::optional<Error> error;
  int64_t writes = 0;
  session
      ->downloadTaskWithRequest(
          requestFor(server.url("/product.zip")),
          [&](const std::optional<URL>& location, const std::shared_ptr<const URLResponse>&,
              const std::optional<Error>& failure) {
            writes = writeCallsSoFar() - before;
            error = failure;
            if (location) contents = readFile(location->filePath());
            done.signal();
          })
      ->resume();
  ASSERT_TRUE(done.wait(kPatience));
  ASSERT_FALSE(error) << error->description;
  EXPECT_EQ(crypto::sha256(contents), crypto::sha256(body));
  // 64 blocks, and the writes of the process's other threads, which vary with the build (a
  // sanitizer's own, the server's). Written per 16 KiB read, it would take 1,024.
  EXPECT_LE(writes, 2 * int64_t(body.size() / (256 << 10)));
}

TEST_F(URLSessionTest, ChunkedDownloadKeepsTheExpectedTotalUnknown) {
  testsupport::LocalHttpServer server;
  const std::string body = randomBytes(1 << 20);
  server.respond("GET", "/chunked", chunked(body, 64 << 10, milliseconds(1)));
  auto [session, recorder] = recordingSession();
  recorder->keepDownloadAt = sandbox_.root() / "kept";
  auto task = session->downloadTaskWithRequest(requestFor(server.url("/chunked")));
  task->resume();
  ASSERT_TRUE(recorder->waitForCompletion());
  EXPECT_EQ(readFile(recorder->keepDownloadAt), body);
  ASSERT_FALSE(recorder->written.empty());
  for (const auto& report : recorder->written) {
    EXPECT_EQ(report.expected, kURLSessionTransferSizeUnknown);
  }
  EXPECT_EQ(recorder->written.back().total, int64_t(body.size()));
  EXPECT_EQ(task->countOfBytesExpectedToReceive(), kURLSessionTransferSizeUnknown);
}

TEST_F(URLSessionTest, CancellingMidTransferCompletesWithCancelledAndLeavesNoFile) {
  testsupport::LocalHttpServer server;
  server.respond("GET", "/slow", piecewise(randomBytes(4 << 20), 64 << 10, milliseconds(50)));
  auto [session, recorder] = recordingSession();
  auto task = session->downloadTaskWithRequest(requestFor(server.url("/slow")));
  task->resume();
  ASSERT_TRUE(recorder->waitFor("progress"));
  task->cancel();
  EXPECT_THAT(task->state(),
              testing::AnyOf(URLSessionTaskState::Canceling, URLSessionTaskState::Completed));
  ASSERT_TRUE(recorder->waitForCompletion());
  queue_->sync([] {});
  ASSERT_TRUE(recorder->error.has_value());
  EXPECT_EQ(recorder->error->domain, kURLErrorDomain);
  EXPECT_EQ(recorder->error->code, kURLErrorCancelled);
  EXPECT_EQ(recorder->error->userInfo[kURLErrorFailingURLStringKey], Value(server.url("/slow")));
  EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
  EXPECT_THAT(recorder->eventList(), ElementsAre("progress", "complete"));
  EXPECT_TRUE(std::filesystem::is_empty(tmp()));

  // Cancelling again, or a suspended task, completes it exactly once.
  task->cancel();
  auto idle = session->dataTaskWithRequest(requestFor(server.url("/slow")));
  DispatchSemaphore done;
  std::optional<Error> idleError;
  auto handled = session->dataTaskWithRequest(
      requestFor(server.url("/slow")),
      [&](const std::optional<Data>& data, const std::shared_ptr<const URLResponse>&,
          const std::optional<Error>& error) {
        EXPECT_FALSE(data.has_value());
        idleError = error;
        done.signal();
      });
  handled->cancel();
  ASSERT_TRUE(done.wait(kPatience));
  EXPECT_EQ(idleError->code, kURLErrorCancelled);
  queue_->sync([] {});
  EXPECT_EQ(recorder->completions, 1);
}

TEST_F(URLSessionTest, SuspendPausesTheTransferAndResumeGivesTheSameBytes) {
  testsupport::LocalHttpServer server;
  const std::string body = randomBytes(6 << 20, 11);
  server.respond("GET", "/file", piecewise(body, 128 << 10, milliseconds(20)));
  auto [session, recorder] = recordingSession();
  recorder->keepDownloadAt = sandbox_.root() / "kept";
  auto task = session->downloadTaskWithRequest(requestFor(server.url("/file")));
  task->resume();
  ASSERT_TRUE(recorder->waitFor("progress"));
  task->suspend();
  EXPECT_EQ(task->state(), URLSessionTaskState::Suspended);
  // Another request on the session completes only after the transfer thread has taken in the
  // suspension (and finished any write it was in): the count stands from then on, however many
  // more turns the thread takes while the server has more to send.
  server.respond("GET", "/other", 200, "other");
  ASSERT_EQ(fetch(session, requestFor(server.url("/other"))).body(), "other");
  const int64_t received = task->countOfBytesReceived();
  for (int turn = 0; turn < 5; ++turn) fetch(session, requestFor(server.url("/other")));
  EXPECT_EQ(task->countOfBytesReceived(), received);
  EXPECT_LT(received, int64_t(body.size()));
  task->resume();
  ASSERT_TRUE(recorder->waitForCompletion());
  EXPECT_EQ(recorder->error, std::nullopt);
  EXPECT_EQ(crypto::sha256(readFile(recorder->keepDownloadAt)), crypto::sha256(body));
}

TEST_F(URLSessionTest, TimeoutIsAboutInactivityNotDuration) {
  testsupport::LocalHttpServer server;
  // Five seconds of steady trickle, then the same start followed by a stall.
  server.respond("GET", "/steady", piecewise(std::string(50 * 1024, 's'), 1024, milliseconds(100)));
  server.on("GET", "/stalls", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(1 << 20, "application/octet-stream",
                                  [&](size_t offset, size_t, httplib::DataSink& sink) {
                                    if (offset > 0 && !server.pause(milliseconds(8000)))
                                      return false;
                                    return sink.write(std::string(1024, 'x').data(), 1024);
                                  });
  });
  server.respond("GET", "/silent", delayed("late", milliseconds(8000)));
  auto session = makeSession();

  URLRequest steady = requestFor(server.url("/steady"));
  steady.setTimeoutInterval(2);
  DataResult result = fetch(session, steady);
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.data->size(), 50u * 1024);

  for (const char* path : {"/stalls", "/silent"}) {
    URLRequest stalled = requestFor(server.url(path));
    stalled.setTimeoutInterval(2);
    auto start = std::chrono::steady_clock::now();
    result = fetch(session, stalled);
    ASSERT_TRUE(result.error.has_value()) << path;
    EXPECT_EQ(result.error->code, kURLErrorTimedOut) << path;
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(1900)) << path;
  }
}

TEST_F(URLSessionTest, TasksBeyondTheConnectionLimitWaitWithoutTheirTimeoutRunning) {
  testsupport::LocalHttpServer server;
  server.respond("GET", "/slow", delayed("slow", milliseconds(1500)));
  server.respond("GET", "/fast", 200, "fast");
  URLSessionConfiguration configuration = URLSessionConfiguration::defaultSessionConfiguration();
  configuration.setHTTPMaximumConnectionsPerHost(1);
  auto session = makeSession(nullptr, configuration);

  DispatchSemaphore done;
  std::vector<std::string> finished;
  auto record = [&](const std::string& name) {
    return [&, name](const std::optional<Data>&, const std::shared_ptr<const URLResponse>&,
                     const std::optional<Error>& error) {
      EXPECT_EQ(error, std::nullopt) << name;
      finished.push_back(name);  // the delegate queue runs one handler at a time
      done.signal();
    };
  };
  session->dataTaskWithRequest(requestFor(server.url("/slow")), record("slow"))->resume();
  ASSERT_TRUE(server.waitForRequests(1, milliseconds(5000)));
  URLRequest fast = requestFor(server.url("/fast"));
  fast.setTimeoutInterval(1);  // shorter than its wait for the only connection
  session->dataTaskWithRequest(fast, record("fast"))->resume();
  ASSERT_TRUE(done.wait(kPatience));
  ASSERT_TRUE(done.wait(kPatience));
  EXPECT_THAT(finished, ElementsAre("slow", "fast"));
  EXPECT_EQ(server.requests()[1].path, "/fast");
}

TEST_F(URLSessionTest, RedirectsAreFollowedUnlessTheDelegateRefuses) {
  testsupport::LocalHttpServer server;
  server.respond("GET", "/old", 302, "moved", {{"Location", "/new?x=1"}});
  server.respond("GET", "/new", 200, "new place");
  {
    auto [session, recorder] = recordingSession();
    auto task = session->dataTaskWithRequest(requestFor(server.url("/old")));
    task->resume();
    ASSERT_TRUE(recorder->waitForCompletion());
    EXPECT_EQ(recorder->data, "new place");
    EXPECT_EQ(recorder->response->statusCode(), 200);
    EXPECT_EQ(task->originalRequest().url().absoluteString(), server.url("/old"));
    EXPECT_EQ(task->currentRequest().url().absoluteString(), server.url("/new?x=1"));
    EXPECT_EQ(task->response()->url().absoluteString(), server.url("/new?x=1"));
  }
  {
    auto [session, recorder] = recordingSession();
    std::string proposed;
    recorder->onRedirect = [&](const HTTPURLResponse& response, const URLRequest& next) {
      EXPECT_EQ(response.statusCode(), 302);
      proposed = next.url().absoluteString();
      return std::nullopt;
    };
    session->dataTaskWithRequest(requestFor(server.url("/old")))->resume();
    ASSERT_TRUE(recorder->waitForCompletion());
    EXPECT_THAT(recorder->eventList(), ElementsAre("redirect 302", "response", "data", "complete"));
    EXPECT_EQ(proposed, server.url("/new?x=1"));
    EXPECT_EQ(recorder->response->statusCode(), 302);
    EXPECT_EQ(recorder->data, "moved");
    EXPECT_EQ(recorder->error, std::nullopt);
  }
}

TEST_F(URLSessionTest, AnHttpsTaskNeverFollowsARedirectToAnotherScheme) {
  testsupport::LocalHttpServer plain;
  plain.respond("GET", "/product.zip", 200, "in the clear");
  testsupport::LocalHttpServer secure(tls({"download.example.test", "mirror.example.test"}));
  sandbox_.setEnv("TESSARO_CA_FILE", secure.certificatePath().string());
  const std::string port = std::to_string(secure.port());
  sandbox_.setEnv("TESSARO_CONNECT_TO", "download.example.test:443:127.0.0.1:" + port +
                                            ",mirror.example.test:443:127.0.0.1:" + port);
  secure.respond("GET", "/to-http", 301, "", {{"Location", plain.url("/product.zip")}});
  secure.respond("GET", "/to-ftp", 302, "", {{"Location", "ftp://127.0.0.1/product.zip"}});
  secure.respond("GET", "/to-mirror", 302, "",
                 {{"Location", "https://mirror.example.test/product.zip"}});
  secure.respond("GET", "/product.zip", 200, "secure");
  // A delegate that swaps in a plain address of its own is refused the same way.
  secure.respond("GET", "/swapped", 302, "", {{"Location", "/product.zip"}});

  struct Case {
    std::string path;
    bool delegateSwapsToHttp;
    std::string body;  // empty: refused
  };
  const std::vector<Case> cases = {
      {"/to-http", false, ""},
      {"/to-ftp", false, ""},
      {"/swapped", true, ""},
      {"/to-mirror", false, "secure"},  // https to https on another host: followed
  };
  for (const Case& redirect : cases) {
    SCOPED_TRACE(redirect.path);
    auto [session, recorder] = recordingSession();
    if (redirect.delegateSwapsToHttp) {
      recorder->onRedirect = [&](const HTTPURLResponse&, const URLRequest& next) {
        URLRequest swapped = next;
        swapped.setURL(*URL::parse(plain.url("/product.zip")));
        return std::optional<URLRequest>(swapped);
      };
    }
    recorder->keepDownloadAt = sandbox_.root() / "kept";
    std::filesystem::remove(recorder->keepDownloadAt);
    auto task = session->downloadTaskWithRequest(
        requestFor("https://download.example.test" + redirect.path));
    task->resume();
    ASSERT_TRUE(recorder->waitForCompletion());
    if (redirect.body.empty()) {
      ASSERT_TRUE(recorder->error.has_value());
      EXPECT_EQ(recorder->error->code, kURLErrorAppTransportSecurityRequiresSecureConnection);
      EXPECT_FALSE(std::filesystem::exists(recorder->keepDownloadAt));
    } else {
      EXPECT_EQ(recorder->error, std::nullopt);
      EXPECT_EQ(readFile(recorder->keepDownloadAt), redirect.body);
    }
  }
  EXPECT_EQ(plain.requestCount(), 0u);  // not a byte went out in the clear
}

TEST_F(URLSessionTest, ABodyPastTheTaskLimitFailsAsItPassesIt) {
  testsupport::LocalHttpServer server;
  const std::string body = randomBytes(1 << 20);
  // Bodies that never end, as a broken or hostile server sends them.
  auto endless = [](bool chunkedBody) {
    return [chunkedBody](const httplib::Request&, httplib::Response& response) {
      auto piece = std::make_shared<const std::string>(64 << 10, 'z');
      auto provider = [piece](size_t, httplib::DataSink& sink) {
        return sink.write(piece->data(), piece->size());
      };
      if (chunkedBody) {
        response.set_chunked_content_provider("application/zip", provider);
      } else {
        response.set_content_provider("application/zip", provider);  // ends at the close
      }
    };
  };
  server.on("GET", "/endless-chunked", endless(true));
  server.on("GET", "/endless-close", endless(false));
  server.respond("GET", "/declared", 200, body);
  server.respond("GET", "/redirect-body", 302, body, {{"Location", "/declared"}});
  const int64_t limit = 256 << 10;
  struct Case {
    std::string path;
    int64_t limit;
    bool fails;
  };
  const std::vector<Case> cases = {
      {"/endless-chunked", limit, true},
      {"/endless-close", limit, true},
      {"/declared", limit, true},  // refused from its Content-Length
      {"/redirect-body", limit, true},
      {"/declared", int64_t{1} << 20, false},  // exactly at the limit
  };
  for (bool download : {true, false}) {
    for (const Case& bounded : cases) {
      SCOPED_TRACE(bounded.path + (download ? " (download)" : " (data)"));
      auto [session, recorder] = recordingSession();
      recorder->keepDownloadAt = sandbox_.root() / "kept";
      std::filesystem::remove(recorder->keepDownloadAt);
      std::shared_ptr<URLSessionTask> task =
          download ? std::shared_ptr<URLSessionTask>(
                         session->downloadTaskWithRequest(requestFor(server.url(bounded.path))))
                   : session->dataTaskWithRequest(requestFor(server.url(bounded.path)));
      task->setCountOfBytesReceivedLimit(bounded.limit);
      task->resume();
      ASSERT_TRUE(recorder->waitForCompletion());
      EXPECT_LE(task->countOfBytesReceived(), bounded.limit);
      if (!bounded.fails) {
        EXPECT_EQ(recorder->error, std::nullopt);
        EXPECT_EQ(download ? readFile(recorder->keepDownloadAt) : recorder->data, body);
        continue;
      }
      ASSERT_TRUE(recorder->error.has_value());
      EXPECT_EQ(recorder->error->code, kURLErrorDataLengthExceedsMaximum);
      EXPECT_FALSE(recorder->error->userInfo[kURLSessionDownloadTaskResumeData].asData())
          << "nothing to go on with";
    }
  }
  // No partial file anywhere: not in the temporary folder, not kept for resuming.
  for (const auto& item : std::filesystem::recursive_directory_iterator(tmp())) {
    ADD_FAILURE() << "left behind: " << item.path();
  }
}

TEST_F(URLSessionTest, RedirectsRewriteTheMethodAsBrowsersDo) {
  testsupport::LocalHttpServer server;
  for (int status : {301, 302, 303, 307, 308}) {
    server.respond("POST", "/" + std::to_string(status), status, "", {{"Location", "/target"}});
  }
  server.on("GET", "/target", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content("GET " + request.body, "text/plain");
  });
  server.on("POST", "/target", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content("POST " + request.body, "text/plain");
  });
  auto session = makeSession();
  const std::pair<int, std::string> cases[] = {
      {301, "GET "}, {302, "GET "}, {303, "GET "}, {307, "POST payload"}, {308, "POST payload"}};
  for (const auto& [status, expected] : cases) {
    URLRequest request = requestFor(server.url("/" + std::to_string(status)));
    request.setHTTPMethod("POST");
    request.setHTTPBody(Data{'p', 'a', 'y', 'l', 'o', 'a', 'd'});
    EXPECT_EQ(fetch(session, request).body(), expected) << status;
  }
}

TEST_F(URLSessionTest, ResponseDispositionHoldsTheBodyUntilAllowedOrCancels) {
  testsupport::LocalHttpServer server;
  server.respond("GET", "/body", 200, "the body");
  server.respond("GET", "/other", 200, "other");
  {
    auto [session, recorder] = recordingSession();
    ResponseCompletion held;
    std::mutex mutex;
    recorder->onResponse = [&](ResponseCompletion completion) {
      std::lock_guard lock(mutex);
      held = std::move(completion);
      return true;
    };
    session->dataTaskWithRequest(requestFor(server.url("/body")))->resume();
    ASSERT_TRUE(recorder->waitFor("response"));
    // Another request on the session completes after the transfer thread has gone on past the
    // response, and after the delegate queue has run what it queued before: no data yet.
    ASSERT_EQ(fetch(session, requestFor(server.url("/other"))).body(), "other");
    EXPECT_THAT(recorder->eventList(), ElementsAre("response"));
    {
      std::lock_guard lock(mutex);
      held(URLSessionResponseDisposition::Allow);
    }
    ASSERT_TRUE(recorder->waitForCompletion());
    EXPECT_THAT(recorder->eventList(), ElementsAre("response", "data", "complete"));
    EXPECT_EQ(recorder->data, "the body");
  }
  {
    auto [session, recorder] = recordingSession();
    recorder->onResponse = [](ResponseCompletion completion) {
      completion(URLSessionResponseDisposition::Cancel);
      return true;
    };
    session->dataTaskWithRequest(requestFor(server.url("/body")))->resume();
    ASSERT_TRUE(recorder->waitForCompletion());
    EXPECT_THAT(recorder->eventList(), ElementsAre("response", "complete"));
    EXPECT_EQ(recorder->error->code, kURLErrorCancelled);
  }
}

TEST_F(URLSessionTest, ASlowDelegateStillGetsTheWholeBodyInOrder) {
  testsupport::LocalHttpServer server;
  const std::string body = randomBytes(24 << 20, 3);
  server.respond("GET", "/big", 200, body);
  auto [session, recorder] = recordingSession();
  recorder->whileReceiving = [] { std::this_thread::sleep_for(std::chrono::microseconds(300)); };
  auto task = session->dataTaskWithRequest(requestFor(server.url("/big")));
  task->resume();
  ASSERT_TRUE(recorder->waitForCompletion(60));
  EXPECT_EQ(recorder->error, std::nullopt);
  EXPECT_TRUE(recorder->data == body);
}

TEST_F(URLSessionTest, UploadsFromDataFileAndStreamArriveWhole) {
  testsupport::LocalHttpServer server;
  std::vector<testsupport::RecordedRequest> received;
  server.respond("POST", "/upload", 201, "stored");
  server.respond("PUT", "/upload", 201, "stored");
  const std::string body = randomBytes((2 << 20) + 17, 5);
  const Data bytes(body.begin(), body.end());
  const std::filesystem::path file = sandbox_.root() / "upload.bin";
  std::ofstream(file, std::ios::binary) << body;

  struct Case {
    std::string name;
    std::function<std::shared_ptr<URLSessionUploadTask>(URLSession&, URLRequest)> make;
    int64_t expectedToSend;
  };
  const Case cases[] = {
      {"data", [&](URLSession& s, URLRequest r) { return s.uploadTaskWithRequest(r, bytes); },
       int64_t(body.size())},
      {"file",
       [&](URLSession& s, URLRequest r) {
         return s.uploadTaskWithRequest(r, URL::fileURLWithPath(file));
       },
       int64_t(body.size())},
      {"stream",
       [&](URLSession& s, URLRequest r) {
         r.setHTTPBodyStream(InputStream::withData(bytes));
         return s.uploadTaskWithStreamedRequest(r);
       },
       kURLSessionTransferSizeUnknown},
      {"stream with length",
       [&](URLSession& s, URLRequest r) {
         r.setHTTPMethod("PUT");
         r.setValue(std::to_string(body.size()), "Content-Length");
         r.setHTTPBodyStream(InputStream::withFile(file));
         return s.uploadTaskWithStreamedRequest(r);
       },
       kURLSessionTransferSizeUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.clearRequests();
    auto [session, recorder] = recordingSession();
    URLRequest request = requestFor(server.url("/upload"));
    request.setHTTPMethod("POST");
    auto task = c.make(*session, request);
    EXPECT_EQ(task->kind(), URLSessionTask::Kind::Upload);
    EXPECT_EQ(task->countOfBytesExpectedToSend(), c.expectedToSend);
    task->resume();
    ASSERT_TRUE(recorder->waitForCompletion());
    EXPECT_EQ(recorder->error, std::nullopt) << recorder->error->userInfo;
    EXPECT_EQ(recorder->data, "stored");
    ASSERT_EQ(server.requestCount(), 1u);
    testsupport::RecordedRequest request0 = server.requests()[0];
    EXPECT_TRUE(request0.body == body);
    EXPECT_EQ(request0.header("Content-Type"), "");  // none asked for, none added
    EXPECT_EQ(request0.header("Transfer-Encoding"), c.name == "stream" ? "chunked" : "");
    EXPECT_EQ(task->countOfBytesSent(), int64_t(body.size()));
    ASSERT_FALSE(recorder->sent.empty());
    EXPECT_EQ(recorder->sent.back(), std::make_pair(int64_t(body.size()), c.expectedToSend));
  }
}

TEST_F(URLSessionTest, StreamedUploadAsksTheDelegateForItsStream) {
  testsupport::LocalHttpServer server;
  server.respond("POST", "/upload", 200, "ok");
  auto [session, recorder] = recordingSession();
  recorder->onNeedBodyStream = [] { return InputStream::withData({'f', 'r', 'e', 's', 'h'}); };
  URLRequest request = requestFor(server.url("/upload"));
  request.setHTTPMethod("POST");
  request.setHTTPBodyStream(InputStream::withData({'o', 'l', 'd'}));
  session->uploadTaskWithStreamedRequest(request)->resume();
  ASSERT_TRUE(recorder->waitForCompletion());
  EXPECT_THAT(recorder->eventList(), ElementsAre("needBodyStream", "response", "data", "complete"));
  EXPECT_EQ(server.requests()[0].body, "fresh");
}

TEST_F(URLSessionTest, HeadersAreSentAsGivenAndContentIsDecodedOnlyWhenAskedFor) {
  testsupport::LocalHttpServer server;
  const std::string gzipped{'\x1f', '\x8b', '\x08', '\x00', '\x00', '\x00', '\x00', '\x00',
                            '\x02', '\xff', '\xcb', '\x48', '\xcd', '\xc9', '\xc9', '\xd7',
                            '\x51', '\x48', '\xaf', '\xca', '\x2c', '\x00', '\x00', '\x4a',
                            '\x9b', '\xb1', '\x5c', '\x0b', '\x00', '\x00', '\x00'};
  server.respond("GET", "/z", 200, gzipped, {{"Content-Encoding", "gzip"}});
  URLSessionConfiguration configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.setHTTPAdditionalHeaders({{"X-Session", "s"}, {"X-Both", "session"}});
  auto session = makeSession(nullptr, configuration);

  URLRequest request = requestFor(server.url("/z"));
  request.setValue("application-x-zip", "Accept-Encoding");
  request.setValue("request", "x-both");
  EXPECT_EQ(fetch(session, request).body(), gzipped);
  request.setValue("gzip, deflate", "Accept-Encoding");
  EXPECT_EQ(fetch(session, request).body(), "hello, gzip");

  auto sent = server.requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].header("Accept-Encoding"), "application-x-zip");
  EXPECT_EQ(sent[1].header("Accept-Encoding"), "gzip, deflate");
  EXPECT_EQ(sent[0].header("X-Session"), "s");
  EXPECT_EQ(sent[0].header("X-Both"), "request");
  EXPECT_EQ(sent[0].header("Expect"), "");
}

// A TCP server on 127.0.0.1 that answers every connection with `reply` as raw bytes and closes
// it; it counts the connections it accepted.
class RawReplyServer {
 public:
  explicit RawReplyServer(std::string reply) : reply_(std::move(reply)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("RawReplyServer cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      while (true) {
        int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) return;  // shut down
        ++connections_;
        char request[65536];
        (void)::recv(connection, request, sizeof request, 0);
        (void)::send(connection, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        ::close(connection);
      }
    });
  }
  ~RawReplyServer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::string url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int connections() const { return connections_.load(); }

 private:
  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

TEST_F(URLSessionTest, LineBreaksInMethodOrHeadersRefuseTheRequestBeforeAnyConnection) {
  RawReplyServer server("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  auto session = makeSession();
  struct Case {
    std::string method;
    std::string name;
    std::string value;
  };
  const Case cases[] = {
      {"GET /x HTTP/1.1\r\nX: 1", "Accept", "*/*"},
      {"GET\n", "Accept", "*/*"},
      {"GET", "X-Note", "a\r\nInjected: 1"},
      {"GET", "X-Note", "a\rb"},
      {"GET", "X-Note", "a\nb"},
      {"GET", "X-Note", std::string("a\0b", 3)},
      {"GET", "X-Injected: 1\r\nX-Note", "a"},
      {"GET", std::string("X\0Note", 6), "a"},
      {"", "Accept", "*/*"},
  };
  for (const Case& bad : cases) {
    URLRequest request = requestFor(server.url());
    request.setHTTPMethod(bad.method);
    request.setValue(bad.value, bad.name);
    DataResult result = fetch(session, request);
    ASSERT_TRUE(result.error.has_value()) << bad.method << " " << bad.name;
    EXPECT_EQ(result.error->domain, kURLErrorDomain);
    EXPECT_EQ(result.error->code, kURLErrorBadURL);
    EXPECT_THAT(result.error->userInfo["NSDebugDescription"].asString(),
                testing::Pointee(testing::HasSubstr("\"")));
  }
  // A configuration header is checked as the request's own are.
  auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
  configuration.setHTTPAdditionalHeaders({{"X-Note", "a\r\nInjected: 1"}});
  EXPECT_EQ(fetch(makeSession(nullptr, configuration), requestFor(server.url())).error->code,
            kURLErrorBadURL);
  EXPECT_EQ(server.connections(), 0);

  // Tabs and other bytes that a value may hold go out.
  URLRequest fine = requestFor(server.url());
  fine.setValue("a\tb \xC3\xA9", "X-Note");
  EXPECT_EQ(fetch(session, fine).status(), 200);
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(URLSessionTest, TransportFailuresCarryThePlatformCodes) {
  int closedPort;
  {
    testsupport::LocalHttpServer gone;
    closedPort = gone.port();
  }
  testsupport::LocalHttpServer server;
  server.on("GET", "/hangup", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(1000, "text/plain", [](size_t, size_t, httplib::DataSink& sink) {
      sink.write("partial", 7);
      return false;  // drops the connection
    });
  });
  RawReplyServer notHTTP("SSH-2.0-OpenSSH_9.2\r\n");
  std::string manyHeaders = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 400; ++i)
    manyHeaders += "X-" + std::to_string(i) + ": " + std::string(1000, 'a') + "\r\n";
  RawReplyServer largeHeaderBlock(manyHeaders + "Content-Length: 0\r\n\r\n");
  RawReplyServer longHeaderLine("HTTP/1.1 200 OK\r\nX: " + std::string(200000, 'a') +
                                "\r\nContent-Length: 0\r\n\r\n");
  auto session = makeSession();
  const std::pair<std::string, int64_t> cases[] = {
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/", kURLErrorCannotConnectToHost},
      {server.url("/hangup"), kURLErrorNetworkConnectionLost},
      {"ftp://127.0.0.1/file", kURLErrorUnsupportedURL},
      {notHTTP.url(), kURLErrorBadServerResponse},
      {largeHeaderBlock.url(), kURLErrorCannotParseResponse},
      {longHeaderLine.url(), kURLErrorCannotParseResponse},
      {server.url("/") + std::string(2 << 20, 'a'), kURLErrorBadURL},
  };
  for (const auto& [url, code] : cases) {
    DataResult result = fetch(session, requestFor(url));
    ASSERT_TRUE(result.error.has_value()) << url;
    EXPECT_EQ(result.error->domain, kURLErrorDomain);
    EXPECT_EQ(result.error->code, code) << url;
    EXPECT_EQ(result.error->userInfo[kURLErrorFailingURLStringKey], Value(url));
    EXPECT_FALSE(result.data.has_value());
  }

  DispatchSemaphore done;
  std::optional<Error> uploadError;
  session
      ->uploadTaskWithRequest(
          requestFor(server.url("/hangup")), URL::fileURLWithPath(sandbox_.root() / "missing.bin"),
          [&](const std::optional<Data>&, const std::shared_ptr<const URLResponse>&,
              const std::optional<Error>& error) {
            uploadError = error;
            done.signal();
          })
      ->resume();
  ASSERT_TRUE(done.wait(kPatience));
  ASSERT_TRUE(uploadError.has_value());
  EXPECT_EQ(uploadError->code, kURLErrorFileDoesNotExist);
  EXPECT_EQ(server.requestCount(), 1u);  // only the hang-up above
}

// --- TLS -------------------------------------------------------------------------------------

TEST_F(URLSessionTest, UnknownCertificateAuthorityIsRefusedUnlessTrustedThroughTheCAFile) {
  testsupport::LocalHttpServer server(tls());
  server.respond("GET", "/secure", 200, "secret");
  auto session = makeSession();
  DataResult refused = fetch(session, requestFor(server.url("/secure")));
  ASSERT_TRUE(refused.error.has_value());
  EXPECT_EQ(refused.error->code, kURLErrorServerCertificateUntrusted);
  EXPECT_EQ(server.requestCount(), 0u);

  sandbox_.setEnv("TESSARO_CA_FILE", server.certificatePath().string());
  auto trusting = makeSession();
  DataResult accepted = fetch(trusting, requestFor(server.url("/secure")));
  EXPECT_EQ(accepted.error, std::nullopt);
  EXPECT_EQ(accepted.body(), "secret");
}

TEST_F(URLSessionTest, TrustDelegateDecidesBeforeAnyRequestByteIsSent) {
  testsupport::LocalHttpServer server(tls());
  server.respond("GET", "/secure", 200, "secret");
  const std::string pem = readFile(server.certificatePath());

  auto [rejecting, rejecter] = recordingSession();
  rejecter->onChallenge = [](const URLAuthenticationChallenge&, ChallengeCompletion completion) {
    completion(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
    return true;
  };
  rejecting->dataTaskWithRequest(requestFor(server.url("/secure")))->resume();
  ASSERT_TRUE(rejecter->waitForCompletion());
  EXPECT_THAT(rejecter->eventList(), ElementsAre("challenge", "complete"));
  EXPECT_EQ(rejecter->error->code, kURLErrorCancelled);

  // The challenge carries the server's chain; a credential for it accepts even an unknown CA.
  auto [accepting, accepter] = recordingSession();
  accepter->onChallenge = [](const URLAuthenticationChallenge& challenge,
                             ChallengeCompletion completion) {
    completion(URLSessionAuthChallengeDisposition::UseCredential,
               URLCredential::forTrust(challenge.serverTrust));
    return true;
  };
  accepting->dataTaskWithRequest(requestFor(server.url("/secure")))->resume();
  ASSERT_TRUE(accepter->waitForCompletion());
  EXPECT_EQ(accepter->error, std::nullopt);
  EXPECT_EQ(accepter->data, "secret");
  // The server has answered the accepted request: the rejected one, earlier, never reached it.
  EXPECT_EQ(server.requestCount(), 1u);
  ASSERT_EQ(accepter->challenges.size(), 1u);
  const URLAuthenticationChallenge& challenge = accepter->challenges[0];
  EXPECT_EQ(challenge.protectionSpace.authenticationMethod, kURLAuthenticationMethodServerTrust);
  EXPECT_EQ(challenge.protectionSpace.host, "127.0.0.1");
  EXPECT_EQ(challenge.protectionSpace.port, server.port());
  ASSERT_EQ(challenge.serverTrust->certificates().size(), 1u);
  // The delegate evaluates as the default would: not trusted, until anchored to the certificate.
  Error error;
  EXPECT_FALSE(challenge.serverTrust->evaluate("127.0.0.1", &error));
  EXPECT_EQ(error.code, kURLErrorServerCertificateUntrusted);
  challenge.serverTrust->setAnchorCertificates({challenge.serverTrust->certificates()[0]});
  EXPECT_TRUE(challenge.serverTrust->evaluate("127.0.0.1"));
  EXPECT_TRUE(challenge.serverTrust->evaluate(std::nullopt));
  EXPECT_FALSE(challenge.serverTrust->evaluate("other.example.test"));

  // Default handling from the delegate is the default evaluation.
  auto [deferring, deferrer] = recordingSession();
  deferrer->onChallenge = [](const URLAuthenticationChallenge&, ChallengeCompletion completion) {
    completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    return true;
  };
  deferring->dataTaskWithRequest(requestFor(server.url("/secure")))->resume();
  ASSERT_TRUE(deferrer->waitForCompletion());
  EXPECT_EQ(deferrer->error->code, kURLErrorServerCertificateUntrusted);
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(URLSessionTest, ConnectToSendsANamedHostToTheLocalServerAndChecksTheName) {
  testsupport::LocalHttpServer server(tls({"downloads.example.test"}));
  server.respond("GET", "/x", 200, "from the local server");
  sandbox_.setEnv("TESSARO_CA_FILE", server.certificatePath().string());
  const std::string port = std::to_string(server.port());
  sandbox_.setEnv("TESSARO_CONNECT_TO", "downloads.example.test:443:127.0.0.1:" + port +
                                            ", other.example.test:443:127.0.0.1:" + port);
  auto session = makeSession();
  DataResult result = fetch(session, requestFor("https://downloads.example.test:443/x"));
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.body(), "from the local server");
  EXPECT_EQ(server.requests()[0].header("Host"), "downloads.example.test");

  // The certificate does not name this host: refused although its CA is trusted.
  DataResult wrongName = fetch(session, requestFor("https://other.example.test/x"));
  ASSERT_TRUE(wrongName.error.has_value());
  EXPECT_EQ(wrongName.error->code, kURLErrorServerCertificateUntrusted);
  EXPECT_EQ(server.requestCount(), 1u);
}

// --- observers, lists and invalidation ---------------------------------------------------------

TEST_F(URLSessionTest, ObserversSeeResumeSuspendAndCountersWithPreviousStates) {
  testsupport::LocalHttpServer server;
  server.respond("GET", "/file", piecewise(randomBytes(1 << 20), 64 << 10, milliseconds(2)));
  auto [session, recorder] = recordingSession();
  auto task = session->downloadTaskWithRequest(requestFor(server.url("/file")));

  std::mutex mutex;
  std::vector<std::pair<URLSessionTask::Operation, URLSessionTaskState>> calls;
  uint64_t token = URLSessionTask::addResumeSuspendObserver([&](URLSessionTask& observed,
                                                                URLSessionTask::Operation operation,
                                                                URLSessionTaskState previous) {
    if (&observed != task.get()) return;
    std::lock_guard lock(mutex);
    calls.emplace_back(operation, previous);
  });
  bool countedOnTransferThread = true;
  int64_t lastReceived = 0;
  int64_t expected = 0;
  task->addCounterObserver([&](URLSessionTask&, URLSessionTaskCounter counter, int64_t value) {
    std::lock_guard lock(mutex);
    if (isMainThread() || queue_->isCurrent()) countedOnTransferThread = false;
    if (counter == URLSessionTaskCounter::BytesReceived) {
      EXPECT_GT(value, lastReceived);
      lastReceived = value;
    }
    if (counter == URLSessionTaskCounter::BytesExpectedToReceive) expected = value;
  });

  task->suspend();  // not running: nothing to do, but observers hear of it
  task->resume();
  task->resume();
  task->suspend();
  task->resume();
  ASSERT_TRUE(recorder->waitForCompletion());
  task->resume();
  URLSessionTask::removeResumeSuspendObserver(token);
  task->resume();

  using Op = URLSessionTask::Operation;
  using State = URLSessionTaskState;
  std::lock_guard lock(mutex);
  EXPECT_THAT(calls, ElementsAre(std::make_pair(Op::Suspend, State::Suspended),
                                 std::make_pair(Op::Resume, State::Suspended),
                                 std::make_pair(Op::Resume, State::Running),
                                 std::make_pair(Op::Suspend, State::Running),
                                 std::make_pair(Op::Resume, State::Suspended),
                                 std::make_pair(Op::Resume, State::Completed)));
  EXPECT_TRUE(countedOnTransferThread);
  EXPECT_EQ(lastReceived, 1 << 20);
  EXPECT_EQ(expected, 1 << 20);
}

TEST_F(URLSessionTest, GetTasksListsUnfinishedTasksByKind) {
  testsupport::LocalHttpServer server;
  server.respond("GET", "/x", 200, "x");
  auto session = makeSession();
  auto data = session->dataTaskWithRequest(requestFor(server.url("/x")));
  auto upload = session->uploadTaskWithRequest(requestFor(server.url("/x")), Data{1});
  auto download = session->downloadTaskWithRequest(requestFor(server.url("/x")));
  DispatchSemaphore done;
  auto finished = session->dataTaskWithRequest(
      requestFor(server.url("/x")),
      [&](const std::optional<Data>&, const std::shared_ptr<const URLResponse>&,
          const std::optional<Error>&) { done.signal(); });
  finished->cancel();
  ASSERT_TRUE(done.wait(kPatience));
  session->getTasksWithCompletionHandler(
      [&](std::vector<std::shared_ptr<URLSessionDataTask>> dataTasks,
          std::vector<std::shared_ptr<URLSessionUploadTask>> uploadTasks,
          std::vector<std::shared_ptr<URLSessionDownloadTask>> downloadTasks) {
        EXPECT_TRUE(queue_->isCurrent());
        EXPECT_THAT(dataTasks, ElementsAre(data));
        EXPECT_THAT(uploadTasks, ElementsAre(upload));
        EXPECT_THAT(downloadTasks, ElementsAre(download));
        done.signal();
      });
  ASSERT_TRUE(done.wait(kPatience));
}

TEST_F(URLSessionTest, FinishTasksAndInvalidateWaitsForRunningTasks) {
  testsupport::LocalHttpServer server;
  server.respond("GET", "/slow", delayed("slow body", milliseconds(300)));
  URLSessionConfiguration configuration =
      URLSessionConfiguration::backgroundSessionConfiguration("com.tessaro.background");
  auto recorder = std::make_shared<Recorder>(queue_);
  auto session = URLSession::sessionWithConfiguration(configuration, recorder, queue_);
  EXPECT_EQ(session->configuration().identifier(), "com.tessaro.background");
  session->dataTaskWithRequest(requestFor(server.url("/slow")))->resume();
  session->finishTasksAndInvalidate();
  {
    log::Capture capture;
    EXPECT_EQ(session->dataTaskWithRequest(requestFor(server.url("/slow"))), nullptr);
    EXPECT_TRUE(capture.contains("invalidated"));
  }
  ASSERT_TRUE(recorder->waitFor("invalid"));
  EXPECT_THAT(recorder->eventList(), ElementsAre("response", "data", "complete", "invalid"));
  EXPECT_EQ(recorder->error, std::nullopt);
  queue_->sync([] {});
  EXPECT_EQ(session->delegate(), nullptr);
}

TEST_F(URLSessionTest, InvalidateAndCancelCancelsRunningAndSuspendedTasks) {
  testsupport::LocalHttpServer server;
  server.respond("GET", "/slow", delayed("x", milliseconds(5000)));
  auto recorder = std::make_shared<Recorder>(queue_);
  auto session = URLSession::sessionWithConfiguration(
      URLSessionConfiguration::defaultSessionConfiguration(), recorder, queue_);
  auto running = session->dataTaskWithRequest(requestFor(server.url("/slow")));
  auto suspended = session->downloadTaskWithRequest(requestFor(server.url("/slow")));
  running->resume();
  ASSERT_TRUE(server.waitForRequests(1, milliseconds(5000)));
  session->invalidateAndCancel();
  ASSERT_TRUE(recorder->waitFor("invalid"));
  EXPECT_THAT(recorder->eventList(), ElementsAre("complete", "complete", "invalid"));
  EXPECT_EQ(running->error()->code, kURLErrorCancelled);
  EXPECT_EQ(suspended->error()->code, kURLErrorCancelled);
}

// An invalidated session is freed once its tasks have completed and its delegate has been told,
// whatever the transfer thread was doing when it ended. A task that completed from a command of
// the thread (here a refused redirect) while its upload progress still waited to be reported
// used to stay referenced by the ended thread's engine, and through it the session: freed
// never, a leak at exit.
TEST_F(URLSessionTest, AnInvalidatedSessionIsFreedOnceItsTasksHaveCompleted) {
  testsupport::LocalHttpServer server;
  server.respond("POST", "/moved", 302, "", {{"Location", "/target"}});
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    auto recorder = std::make_shared<Recorder>(queue_);
    recorder->onRedirect = [](const HTTPURLResponse&, const URLRequest&) { return std::nullopt; };
    auto session = URLSession::sessionWithConfiguration(
        URLSessionConfiguration::defaultSessionConfiguration(), recorder, queue_);
    URLRequest request = requestFor(server.url("/moved"));
    request.setHTTPMethod("POST");
    request.setHTTPBody(Data(64 << 10, 'u'));
    session->dataTaskWithRequest(request)->resume();
    session->finishTasksAndInvalidate();
    ASSERT_TRUE(recorder->waitFor("invalid"));
    queue_->sync([] {});
    std::weak_ptr<URLSession> released = session;
    session.reset();
    // The transfer thread lets go of its last command on its own time: wait for it.
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return released.expired(); }, kPatience));
  }
}

std::vector<std::string> partialDownloadsIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(kURLSessionDownloadFilePrefix)) names.push_back(name);
  }
  return names;
}

TEST_F(URLSessionTest, DownloadDirectoryHoldsPartialFilesAndDropsAbandonedOnes) {
  const std::filesystem::path cache = sandbox_.root() / "cache";
  std::filesystem::create_directories(cache);
  for (const char* name : {"URLSessionDownload-abandoned", "URLSessionDownload-live", "notes"}) {
    std::ofstream(cache / name) << "partial";
  }
  // Another process writing its download holds a lock on the file.
  int live = ::open((cache / "URLSessionDownload-live").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(live, LOCK_EX), 0);

  Error error;
  ASSERT_TRUE(URLSession::setDownloadDirectory(cache, &error)) << error.description;
  struct Reset {
    ~Reset() { URLSession::setDownloadDirectory({}); }
  } reset;
  EXPECT_EQ(URLSession::downloadDirectory(), cache);
  EXPECT_THAT(partialDownloadsIn(cache), ElementsAre("URLSessionDownload-live"));
  EXPECT_TRUE(std::filesystem::exists(cache / "notes"));
  ::close(live);

  testsupport::LocalHttpServer server;
  server.respond("GET", "/slow", piecewise(randomBytes(4 << 20), 64 << 10, milliseconds(50)));
  auto [session, recorder] = recordingSession();
  auto task = session->downloadTaskWithRequest(requestFor(server.url("/slow")));
  task->resume();
  ASSERT_TRUE(recorder->waitFor("progress"));
  EXPECT_EQ(partialDownloadsIn(cache).size(), 2u);
  EXPECT_TRUE(std::filesystem::is_empty(tmp()));
  task->cancel();
  ASSERT_TRUE(recorder->waitForCompletion());
  EXPECT_THAT(partialDownloadsIn(cache), ElementsAre("URLSessionDownload-live"));

  // A folder that cannot be made leaves the setting as it was.
  std::ofstream(sandbox_.root() / "file") << "x";
  EXPECT_FALSE(URLSession::setDownloadDirectory(sandbox_.root() / "file" / "cache", &error));
  EXPECT_EQ(error.code, ENOTDIR);
  EXPECT_EQ(URLSession::downloadDirectory(), cache);
}

constexpr const char* kChildURLVariable = "TESSARO_TEST_DOWNLOAD_URL";

// Runs only in the child that the next test starts: leaves main with a download under way.
TEST(URLSessionChild, DISABLED_ExitsDuringADownload) {
  std::optional<std::string> url = process::getEnv(kChildURLVariable);
  ASSERT_TRUE(url);
  auto recorder = std::make_shared<Recorder>();
  auto session = URLSession::sessionWithConfiguration(
      URLSessionConfiguration::defaultSessionConfiguration(), recorder);
  session->downloadTaskWithRequest(requestFor(*url))->resume();
  ASSERT_TRUE(recorder->waitFor("progress"));
  EXPECT_EQ(partialDownloadsIn(paths::temporary()).size(), 1u);
}

TEST_F(URLSessionTest, ExitDuringADownloadJoinsTheTransferThreadAndRemovesThePartialFile) {
  testsupport::LocalHttpServer server;
  server.respond("GET", "/slow", piecewise(randomBytes(4 << 20), 64 << 10, milliseconds(50)));
  sandbox_.setEnv(kChildURLVariable, server.url("/slow"));
  const std::filesystem::path log = sandbox_.root() / "child.log";
  const std::string command = "'" + std::filesystem::read_symlink("/proc/self/exe").string() +
                              "' --gtest_also_run_disabled_tests "
                              "--gtest_filter=URLSessionChild.DISABLED_ExitsDuringADownload >'" +
                              log.string() + "' 2>&1";
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(log);
  EXPECT_THAT(readFile(log), testing::HasSubstr("[  PASSED  ] 1 test"));
  EXPECT_THAT(partialDownloadsIn(tmp()), IsEmpty());
}

// Serves `body` at /big with an entity tag of the current version, honours Range with a
// matching If-Range, and cuts the connection at the middle of the body while `cut` is set.
struct ResumableServer {
  explicit ResumableServer(std::string content) : body(std::move(content)) {
    server.on("GET", "/big", [this](const httplib::Request& request, httplib::Response& response) {
      const std::string tag = "\"v" + std::to_string(version.load()) + "\"";
      if (tagged) response.set_header("ETag", tag);
      size_t offset = 0;
      const std::string range = request.get_header_value("Range");
      // httplib would answer the range of a 200 by itself; here an If-Range that does not match
      // must get the whole body.
      const_cast<httplib::Request&>(request).ranges.clear();
      if (range.starts_with("bytes=") && request.get_header_value("If-Range") == tag) {
        offset = std::stoul(range.substr(6));
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(offset) + "-" +
                                                 std::to_string(body.size() - 1) + "/" +
                                                 std::to_string(body.size()));
      }
      const size_t end = cut.load() ? body.size() / 2 : body.size();
      response.set_content_provider(
          body.size() - offset, "application/zip",
          [this, offset, end](size_t at, size_t, httplib::DataSink& sink) {
            if (offset + at >= end) {
              if (hold) released.wait(kPatience);
              return false;  // drops the connection
            }
            size_t count = std::min<size_t>(256 << 10, end - offset - at);
            served += static_cast<int64_t>(count);
            return sink.write(body.data() + offset + at, count);
          });
    });
  }
  std::string url() const { return server.url("/big"); }

  const std::string body;
  std::atomic<int> version{1};
  std::atomic<bool> cut{true};
  std::atomic<int64_t> served{0};
  // Without an entity tag the body cannot be resumed.
  std::atomic<bool> tagged{true};
  // The cut waits for `released` first, so that the client sees a download under way.
  std::atomic<bool> hold{false};
  DispatchSemaphore released;
  testsupport::LocalHttpServer server;
};

struct DownloadResult {
  std::optional<Error> error;
  std::string contents;  // of the finished file
};

DownloadResult await(
    const std::function<std::shared_ptr<URLSessionDownloadTask>(DownloadTaskCompletion)>& make) {
  DispatchSemaphore done;
  DownloadResult result;
  auto task =
      make([&](const std::optional<URL>& location, const std::shared_ptr<const URLResponse>&,
               const std::optional<Error>& error) {
        result.error = error;
        if (location) result.contents = readFile(location->filePath());
        done.signal();
      });
  task->resume();
  // 64 MiB under the thread sanitizer on a loaded machine can take most of a minute; the wait
  // only guards against a hang (the test's time limit ends it), and it must not return while the
  // completion can still write into this frame.
  EXPECT_TRUE(done.wait(kLargeTransferWait));
  return result;
}

TEST_F(URLSessionTest, ADownloadCutShortGoesOnFromItsResumeData) {
  ResumableServer server(randomBytes(64 << 20, 5));
  auto session = makeSession();
  auto fresh = [&](DownloadTaskCompletion completion) {
    return session->downloadTaskWithRequest(requestFor(server.url()), std::move(completion));
  };
  auto resumed = [&](const Data& resumeData) {
    return [&session, resumeData](DownloadTaskCompletion completion) {
      return session->downloadTaskWithResumeData(resumeData, std::move(completion));
    };
  };
  auto resumeDataOf = [](const DownloadResult& result) {
    const Data* data =
        result.error ? result.error->userInfo[kURLSessionDownloadTaskResumeData].asData() : nullptr;
    return data ? *data : Data();
  };

  // Cut at the middle: the failure keeps the partial file and says how to go on.
  DownloadResult cut = await(fresh);
  ASSERT_TRUE(cut.error);
  EXPECT_EQ(cut.error->code, kURLErrorNetworkConnectionLost);
  Data resumeData = resumeDataOf(cut);
  ASSERT_FALSE(resumeData.empty());
  EXPECT_EQ(partialDownloadsIn(tmp()).size(), 1u);

  // Going on fetches only the second half and gives the whole body.
  server.cut = false;
  server.served = 0;
  DownloadResult whole = await(resumed(resumeData));
  ASSERT_FALSE(whole.error) << whole.error->description;
  EXPECT_EQ(crypto::sha256(whole.contents), crypto::sha256(server.body));
  EXPECT_LT(server.served.load() - int64_t(server.body.size() / 2), 1 << 20);
  const auto& requests = server.server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].header("Range"), "bytes=" + std::to_string(server.body.size() / 2) + "-");
  EXPECT_EQ(requests[1].header("If-Range"), "\"v1\"");
  EXPECT_THAT(partialDownloadsIn(tmp()), IsEmpty());

  // A body that changed meanwhile (a new entity tag) is fetched whole again.
  server.cut = true;
  resumeData = resumeDataOf(await(fresh));
  ASSERT_FALSE(resumeData.empty());
  server.cut = false;
  server.version = 2;
  server.served = 0;
  whole = await(resumed(resumeData));
  ASSERT_FALSE(whole.error);
  EXPECT_EQ(crypto::sha256(whole.contents), crypto::sha256(server.body));
  EXPECT_EQ(server.served.load(), int64_t(server.body.size()));

  // A partial file that is gone is a clear error, and nothing is asked of the server.
  server.cut = true;
  cut = await(fresh);
  URLSession::discardResumeData(*cut.error);
  EXPECT_THAT(partialDownloadsIn(tmp()), IsEmpty());
  const size_t requestsBefore = server.server.requestCount();
  DownloadResult gone = await(resumed(resumeDataOf(cut)));
  ASSERT_TRUE(gone.error);
  EXPECT_EQ(gone.error->code, kURLErrorCannotOpenFile);
  EXPECT_THAT(gone.error->userInfo["NSDebugDescription"].asString(),
              testing::Pointee(testing::HasSubstr("is gone")));
  // So is resume data that is not resume data.
  DownloadResult garbage = await(resumed(Data{'n', 'o'}));
  ASSERT_TRUE(garbage.error);
  EXPECT_EQ(garbage.error->code, kURLErrorBadURL);
  EXPECT_EQ(server.server.requestCount(), requestsBefore);
}

TEST_F(URLSessionTest, CancelByProducingResumeDataKeepsThePartialFileOnlyWhenResumable) {
  auto session = makeSession();
  for (bool resumable : {true, false}) {
    // A server of its own for each case: a release the cut never waited for stays counted.
    ResumableServer server(randomBytes(8 << 20, 6));
    server.hold = true;
    server.tagged = resumable;
    auto task = session->downloadTaskWithRequest(requestFor(server.url()));
    auto progressed = std::make_shared<DispatchSemaphore>();
    task->addCounterObserver(
        [progressed](URLSessionTask&, URLSessionTaskCounter counter, int64_t value) {
          if (counter == URLSessionTaskCounter::BytesReceived && value > 0) progressed->signal();
        });
    task->resume();
    ASSERT_TRUE(progressed->wait(kPatience));
    DispatchSemaphore handed;
    std::optional<Data> resumeData;
    auto keep = [&](const std::optional<Data>& data) {
      resumeData = data;
      handed.signal();
    };
    task->cancelByProducingResumeData(keep);
    ASSERT_TRUE(handed.wait(kPatience));
    server.released.signal();
    EXPECT_EQ(resumeData.has_value(), resumable);
    EXPECT_EQ(partialDownloadsIn(tmp()).size(), resumable ? 1u : 0u);
    queue_->sync([] {});
    ASSERT_TRUE(task->error());
    EXPECT_EQ(task->error()->code, kURLErrorCancelled);
    EXPECT_EQ(task->error()->userInfo[kURLSessionDownloadTaskResumeData].isNull(), !resumable);
    URLSession::discardResumeData(*task->error());
    EXPECT_THAT(partialDownloadsIn(tmp()), IsEmpty());

    // Once completed, there is nothing more to hand out.
    task->cancelByProducingResumeData(keep);
    ASSERT_TRUE(handed.wait(kPatience));
    EXPECT_FALSE(resumeData.has_value());
  }
}

}  // namespace
}  // namespace os
