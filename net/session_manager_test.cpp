#include "net/session_manager.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "net/coding.h"
#include "net/notification_names.h"
#include "os/crypto/crypto.h"
#include "os/dispatch/runloop.h"
#include "os/files/files.h"
#include "os/log/log.h"
#include "os/value/json.h"
#include "os/value/plist.h"
#include "testsupport/files.h"
#include "testsupport/local_http_server.h"
#include "testsupport/random.h"
#include "testsupport/run_loop.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testsupport::randomBytes;
using testsupport::readFile;

using testsupport::kPatience;
using testsupport::runUntil;

// Turns the main run loop for a while, so that anything queued for it has run.
void settle(double seconds = 0.2) {
  os::RunLoop::main().runUntil([] { return false; }, seconds);
}

// What progress blocks saw, from whichever thread they ran on.
class ProgressLog {
 public:
  struct Entry {
    double fraction;
    int64_t total;
    int64_t completed;
    bool onMainThread;
  };

  NKURLSessionManager::ProgressBlock block() {
    return [this](Progress& progress) {
      std::lock_guard lock(mutex_);
      entries_.push_back({progress.fractionCompleted(), progress.totalUnitCount(),
                          progress.completedUnitCount(), os::isMainThread()});
    };
  }
  std::vector<Entry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  size_t size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

// One download's completion calls.
struct DownloadOutcome {
  int calls = 0;
  bool onMainThread = false;
  NKURLSessionManager::Response response;
  std::optional<os::URL> filePath;
  std::optional<os::Error> error;

  int status() const {
    auto http = std::dynamic_pointer_cast<const os::HTTPURLResponse>(response);
    return http ? http->statusCode() : 0;
  }
};

// The notifications of one name, by object.
class NotificationLog {
 public:
  explicit NotificationLog(const char* name)
      : registration_(os::NotificationCenter::defaultCenter(),
                      os::NotificationCenter::defaultCenter().addObserver(
                          name, nullptr, [this](const os::Notification& note) {
                            std::lock_guard lock(mutex_);
                            notes_.push_back(note);
                          })) {}

  std::vector<os::Notification> about(const void* object) const {
    std::lock_guard lock(mutex_);
    std::vector<os::Notification> matching;
    for (const auto& note : notes_) {
      if (note.object == object) matching.push_back(note);
    }
    return matching;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<os::Notification> notes_;
  os::ObserverRegistration registration_;
};

const void* object(const std::shared_ptr<os::URLSessionTask>& task) {
  return static_cast<const os::URLSessionTask*>(task.get());
}

class SessionManagerTest : public testing::Test {
 protected:
  os::URLRequest request(const std::string& path) {
    return os::URLRequest(*os::URL::parse(server.url(path)));
  }

  // A download task of `manager` to `destination`, recording into `outcome` and `progress`.
  std::shared_ptr<os::URLSessionDownloadTask> download(const std::string& path,
                                                       const fs::path& destination,
                                                       DownloadOutcome& outcome,
                                                       ProgressLog* progress = nullptr) {
    return manager->downloadTaskWithRequest(
        request(path), progress ? progress->block() : nullptr,
        [destination](const os::URL&, const NKURLSessionManager::Response&) {
          return os::URL::fileURLWithPath(destination);
        },
        [&outcome](const NKURLSessionManager::Response& response,
                   const std::optional<os::URL>& filePath, const std::optional<os::Error>& error) {
          ++outcome.calls;
          outcome.onMainThread = os::isMainThread();
          outcome.response = response;
          outcome.filePath = filePath;
          outcome.error = error;
        });
  }

  testsupport::Sandbox sandbox;
  testsupport::LocalHttpServer server;
  std::shared_ptr<NKURLSessionManager> manager = std::make_shared<NKURLSessionManager>();
};

TEST_F(SessionManagerTest, DownloadCompletesOnceOnTheMainThreadWithItsFileAndProgress) {
  const std::string body = randomBytes(8 * 1024 * 1024);
  testsupport::Reply reply;
  reply.body = body;
  reply.headers = {{"Content-Type", "application/zip"}};
  reply.pieceSize = 512 * 1024;
  server.respond("GET", "/product.zip", reply);
  fs::path destination = sandbox.root() / "product.zip";
  NotificationLog completions(NKNotifications::kTaskComplete);
  NotificationLog moveErrors(NKNotifications::kDownloadFileManagerError);

  DownloadOutcome outcome;
  ProgressLog progress;
  auto task = download("/product.zip", destination, outcome, &progress);
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(task->taskDescription(), manager->taskDescriptionForSessionTasks());
  ASSERT_NE(manager->downloadProgressForTask(task.get()), nullptr);
  task->resume();
  ASSERT_TRUE(runUntil([&] { return !completions.about(object(task)).empty(); }));
  settle();

  EXPECT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.onMainThread);
  EXPECT_EQ(outcome.status(), 200);
  EXPECT_EQ(outcome.filePath, os::URL::fileURLWithPath(destination));
  EXPECT_FALSE(outcome.error) << outcome.error->localizedDescription();
  EXPECT_EQ(os::crypto::sha256(readFile(destination)), os::crypto::sha256(body));

  std::vector<ProgressLog::Entry> entries = progress.entries();
  ASSERT_FALSE(entries.empty());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_FALSE(entries[i].onMainThread);
    if (i > 0) {
      EXPECT_GE(entries[i].fraction, entries[i - 1].fraction);
    }
  }
  EXPECT_EQ(entries.back().total, 8388608);
  EXPECT_EQ(entries.back().completed, 8388608);
  EXPECT_EQ(entries.back().fraction, 1.0);

  std::vector<os::Notification> notes = completions.about(object(task));
  ASSERT_EQ(notes.size(), 1u);
  const os::Value& info = notes[0].userInfo;
  EXPECT_EQ(info[NKNotifications::kAssetPathKey], outcome.filePath->absoluteString());
  EXPECT_EQ(info[NKNotifications::kResponseSerializerKey],
            manager->responseSerializer()->description());
  EXPECT_EQ(info[NKNotifications::kSerializedResponseKey], outcome.filePath->absoluteString());
  EXPECT_TRUE(info[NKNotifications::kErrorKey].isNull());
  EXPECT_TRUE(info[NKNotifications::kResponseDataKey].isNull());
  EXPECT_TRUE(moveErrors.about(object(task)).empty());
  // The task is forgotten once it has completed.
  EXPECT_EQ(manager->downloadProgressForTask(task.get()), nullptr);
}

TEST_F(SessionManagerTest, ChunkedDownloadKeepsItsTotalUnknownAndItsFractionAtZero) {
  const std::string body = randomBytes(300 * 1024);
  testsupport::Reply reply;
  reply.body = body;
  reply.chunked = true;
  reply.pieceSize = 64 * 1024;
  server.respond("GET", "/stream", reply);

  DownloadOutcome outcome;
  ProgressLog progress;
  download("/stream", sandbox.root() / "stream", outcome, &progress)->resume();
  ASSERT_TRUE(runUntil([&] { return outcome.calls > 0; }));

  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(readFile(sandbox.root() / "stream"), body);
  std::vector<ProgressLog::Entry> entries = progress.entries();
  ASSERT_FALSE(entries.empty());
  for (const auto& entry : entries) {
    EXPECT_EQ(entry.total, -1);
    EXPECT_EQ(entry.fraction, 0.0);
  }
  EXPECT_EQ(entries.back().completed, static_cast<int64_t>(body.size()));
}

TEST_F(SessionManagerTest, ErrorStatusDownloadIsMovedAndReportedAsABadServerResponse) {
  server.respond("GET", "/missing.zip", 404, "no such product", {{"Content-Type", "text/plain"}});
  fs::path destination = sandbox.root() / "missing.zip";
  NotificationLog completions(NKNotifications::kTaskComplete);

  DownloadOutcome outcome;
  auto task = download("/missing.zip", destination, outcome);
  task->resume();
  ASSERT_TRUE(runUntil([&] { return !completions.about(object(task)).empty(); }));

  EXPECT_EQ(outcome.calls, 1);
  EXPECT_EQ(outcome.status(), 404);
  EXPECT_EQ(outcome.filePath, os::URL::fileURLWithPath(destination));
  EXPECT_EQ(readFile(destination), "no such product");
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain, kNKResponseSerializationErrorDomain);
  EXPECT_EQ(outcome.error->code, -1011);
  EXPECT_EQ(outcome.error->localizedDescription(), "Request failed: not found (404)");
  const os::Value& failing = outcome.error->userInfo[kNKFailingResponseErrorKey];
  EXPECT_EQ(failing["statusCode"], 404);
  EXPECT_EQ(failing["URL"], server.url("/missing.zip"));

  const os::Value info = completions.about(object(task))[0].userInfo;
  EXPECT_EQ(NKErrorFromValue(info[NKNotifications::kErrorKey]), outcome.error) << info;
}

TEST_F(SessionManagerTest, CancellingThroughTheProgressCompletesWithCancelledAndNoFile) {
  testsupport::Reply reply;
  reply.body = randomBytes(4 * 1024 * 1024);
  reply.pieceSize = 64 * 1024;
  reply.pause = milliseconds(50);
  server.respond("GET", "/slow.zip", reply);
  fs::path destination = sandbox.root() / "slow.zip";

  DownloadOutcome outcome;
  ProgressLog progress;
  auto task = download("/slow.zip", destination, outcome, &progress);
  task->resume();
  ASSERT_TRUE(runUntil([&] { return progress.size() > 2; }));
  manager->downloadProgressForTask(task.get())->cancel();
  ASSERT_TRUE(runUntil([&] { return outcome.calls > 0; }));

  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain, os::kURLErrorDomain);
  EXPECT_EQ(outcome.error->code, os::kURLErrorCancelled);
  EXPECT_FALSE(outcome.filePath);
  EXPECT_FALSE(fs::exists(destination));
}

TEST_F(SessionManagerTest, ADownloadGoesOnFromResumeDataAndTellsItsHook) {
  // The first answer breaks off at the middle; a Range with the matching If-Range gets the rest.
  const std::string body = randomBytes(4 * 1024 * 1024);
  const std::string tag = "\"t1\"";
  server.on("GET", "/cut.zip", [&](const httplib::Request& request, httplib::Response& response) {
    const_cast<httplib::Request&>(request).ranges.clear();  // answered below, not by httplib
    response.set_header("ETag", tag);
    size_t offset = 0;
    size_t end = body.size() / 2;
    if (request.has_header("Range") && request.get_header_value("If-Range") == tag) {
      offset = std::stoul(request.get_header_value("Range").substr(6));
      end = body.size();
      response.status = 206;
      response.set_header("Content-Range",
                          fmt::format("bytes {}-{}/{}", offset, body.size() - 1, body.size()));
    }
    response.set_content_provider(body.size() - offset, "application/zip",
                                  [&body, offset, end](size_t at, size_t, httplib::DataSink& sink) {
                                    if (offset + at >= end) return false;  // drops the connection
                                    return sink.write(
                                        body.data() + offset + at,
                                        std::min<size_t>(64 * 1024, end - offset - at));
                                  });
  });
  fs::path destination = sandbox.root() / "cut.zip";

  DownloadOutcome cut;
  download("/cut.zip", destination, cut)->resume();
  ASSERT_TRUE(runUntil([&] { return cut.calls > 0; }));
  ASSERT_TRUE(cut.error);
  EXPECT_EQ(cut.error->code, os::kURLErrorNetworkConnectionLost);
  const os::Data* resumeData = cut.error->userInfo[os::kURLSessionDownloadTaskResumeData].asData();
  ASSERT_NE(resumeData, nullptr);

  std::atomic<int64_t> offset{-1}, expected{-1};
  std::atomic<bool> resumedBeforeWriting{false};
  std::atomic<int64_t> written{0};
  manager->setDownloadTaskDidResumeBlock(
      [&](const auto&, const auto&, int64_t fileOffset, int64_t expectedTotalBytes) {
        resumedBeforeWriting = written == 0;
        offset = fileOffset;
        expected = expectedTotalBytes;
      });
  manager->setDownloadTaskDidWriteDataBlock(
      [&](const auto&, const auto&, int64_t, int64_t total, int64_t) { written = total; });
  DownloadOutcome resumed;
  ProgressLog progress;
  auto task = manager->downloadTaskWithResumeData(
      *resumeData, progress.block(),
      [&](const os::URL&, const NKURLSessionManager::Response&) {
        return os::URL::fileURLWithPath(destination);
      },
      [&](const NKURLSessionManager::Response&, const std::optional<os::URL>& filePath,
          const std::optional<os::Error>& error) {
        ++resumed.calls;
        resumed.filePath = filePath;
        resumed.error = error;
      });
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(task->taskDescription(), manager->taskDescriptionForSessionTasks());
  task->resume();
  ASSERT_TRUE(runUntil([&] { return resumed.calls > 0; }));
  ASSERT_FALSE(resumed.error) << resumed.error->description;
  EXPECT_EQ(resumed.filePath, os::URL::fileURLWithPath(destination));
  EXPECT_EQ(os::crypto::sha256(readFile(destination)), os::crypto::sha256(body));
  EXPECT_TRUE(resumedBeforeWriting);
  EXPECT_EQ(offset.load(), int64_t(body.size() / 2));
  EXPECT_EQ(expected.load(), int64_t(body.size()));
  EXPECT_EQ(written.load(), int64_t(body.size()));
  ASSERT_FALSE(progress.entries().empty());
  EXPECT_EQ(progress.entries().back().fraction, 1.0);
  EXPECT_EQ(server.requests().back().header("Range"), fmt::format("bytes={}-", body.size() / 2));
}

TEST_F(SessionManagerTest, TaskListsHoldTheTasksThatHaveNotCompletedByKind) {
  auto first = manager->dataTaskWithRequest(request("/a"), nullptr);
  auto file = manager->downloadTaskWithRequest(request("/b"), nullptr, nullptr, nullptr);
  auto second = manager->dataTaskWithRequest(request("/c"), nullptr);
  auto upload = manager->uploadTaskWithRequest(request("/d"), os::Data{1}, nullptr, nullptr);
  using Tasks = std::vector<std::shared_ptr<os::URLSessionTask>>;
  EXPECT_EQ(manager->tasks(), (Tasks{first, second, upload, file}));
  EXPECT_EQ(manager->dataTasks(),
            (std::vector<std::shared_ptr<os::URLSessionDataTask>>{first, second}));
  EXPECT_EQ(manager->uploadTasks(),
            (std::vector<std::shared_ptr<os::URLSessionUploadTask>>{upload}));
  EXPECT_EQ(manager->downloadTasks(),
            (std::vector<std::shared_ptr<os::URLSessionDownloadTask>>{file}));

  second->cancel();
  ASSERT_TRUE(runUntil([&] { return manager->tasks().size() == 3; }));
  EXPECT_EQ(manager->tasks(), (Tasks{first, upload, file}));
  for (const auto& task : manager->tasks()) task->cancel();
  ASSERT_TRUE(runUntil([&] { return manager->tasks().empty(); }));
}

TEST_F(SessionManagerTest, DescriptionCodingAndCopyKeepTheSessionConfigurationOnly) {
  EXPECT_EQ(manager->description(),
            fmt::format("<NKURLSessionManager: {}, session: <NSURLSession: {}>, operationQueue: "
                        "<NSOperationQueue: {}>{{name = '{}'}}>",
                        static_cast<const void*>(manager.get()),
                        static_cast<const void*>(manager->session().get()),
                        static_cast<const void*>(manager->operationQueue().get()),
                        manager->operationQueue()->label()));

  auto configuration = os::URLSessionConfiguration::backgroundSessionConfiguration("bg.test");
  configuration.setTimeoutIntervalForRequest(12);
  configuration.setHTTPAdditionalHeaders({{"X-Client", "test"}});
  auto original = std::make_shared<NKURLSessionManager>(configuration);
  original->setCompletionQueue(os::DispatchQueue::serial("test.completions"));
  original->setTaskDidCompleteBlock([](const auto&, const auto&, const auto&) {});
  auto serializer = original->responseSerializer();

  // Through the bytes of a binary property list, as an archive keeps it.
  std::optional<std::string> bytes =
      os::plist::serialize(original->encode(), os::plist::Format::Binary);
  ASSERT_TRUE(bytes);
  std::optional<os::Value> coded = os::plist::parse(*bytes);
  ASSERT_TRUE(coded);
  EXPECT_EQ((*coded)["$class"], os::Value("NKURLSessionManager"));
  os::Error error;
  for (const auto& made : {NKURLSessionManager::decode(*coded, &error), original->copy()}) {
    ASSERT_TRUE(made) << error.description;
    EXPECT_NE(made, original);
    EXPECT_EQ(made->sessionConfiguration(), configuration);
    EXPECT_NE(made->session(), original->session());
    EXPECT_EQ(made->completionQueue(), nullptr);
    EXPECT_NE(made->responseSerializer(), serializer);
  }

  // Without a configuration the manager gets the default one; anything else is refused.
  auto plain =
      NKURLSessionManager::decode(os::Dictionary{{"$class", "NKURLSessionManager"}}, &error);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->sessionConfiguration(),
            os::URLSessionConfiguration::defaultSessionConfiguration());
  for (const os::Value& bad :
       {os::Value(os::Dictionary{{"$class", "Other"}}), os::Value("NKURLSessionManager"),
        os::Value(os::Dictionary{{"$class", "NKURLSessionManager"},
                                 {"sessionConfiguration", "default"}})}) {
    error = os::Error();
    EXPECT_FALSE(NKURLSessionManager::decode(bad, &error));
    EXPECT_EQ(error.domain, os::kCocoaErrorDomain);
    EXPECT_EQ(error.code, kNKCoderReadCorruptError);
  }
}

TEST_F(SessionManagerTest, PausingThroughTheProgressSuspendsTheTransferUntilResumed) {
  const std::string body = randomBytes(2 * 1024 * 1024);
  testsupport::Reply reply;
  reply.body = body;
  reply.pieceSize = 64 * 1024;
  reply.pause = milliseconds(20);
  server.respond("GET", "/paused.zip", reply);
  fs::path destination = sandbox.root() / "paused.zip";

  DownloadOutcome outcome;
  ProgressLog progress;
  auto task = download("/paused.zip", destination, outcome, &progress);
  task->resume();
  ASSERT_TRUE(runUntil([&] { return progress.size() > 2; }));
  std::shared_ptr<Progress> downloadProgress = manager->downloadProgressForTask(task.get());
  downloadProgress->pause();
  EXPECT_EQ(task->state(), os::URLSessionTaskState::Suspended);
  // Another request through the manager completes only after the transfer thread has taken in
  // the pause and what it passed on before has reached the progress: the count stands from
  // then on, however many more turns the thread takes while the server has more to send.
  server.respond("GET", "/other", 200, "other");
  auto finishAnother = [&] {
    bool done = false;
    manager
        ->dataTaskWithRequest(request("/other"),
                              [&](const auto&, const auto&, const auto&) { done = true; })
        ->resume();
    return runUntil([&] { return done; });
  };
  ASSERT_TRUE(finishAnother());
  const int64_t completed = downloadProgress->completedUnitCount();
  for (int turn = 0; turn < 5; ++turn) ASSERT_TRUE(finishAnother());
  EXPECT_EQ(downloadProgress->completedUnitCount(), completed);
  EXPECT_EQ(outcome.calls, 0);

  downloadProgress->resume();
  ASSERT_TRUE(runUntil([&] { return outcome.calls > 0; }));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(readFile(destination), body);
}

TEST_F(SessionManagerTest, DestinationThatCannotBeReplacedFailsTheDownload) {
  server.respond("GET", "/new.zip", 200, "new bytes");
  fs::path existingFile = sandbox.root() / "existing.zip";
  std::ofstream(existingFile) << "old bytes";
  fs::path busyFolder = sandbox.root() / "busy";
  fs::create_directories(busyFolder / "inside");
  NotificationLog moveErrors(NKNotifications::kDownloadFileManagerError);

  const struct {
    const char* name;
    fs::path destination;
    // 0: the download replaces the destination.
    int errnoCode;
  } cases[] = {
      {"a file is replaced", existingFile, 0},
      {"missing folder", sandbox.root() / "nowhere" / "new.zip", ENOENT},
      {"a folder is in the way", busyFolder, EISDIR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DownloadOutcome outcome;
    auto task = download("/new.zip", c.destination, outcome);
    task->resume();
    ASSERT_TRUE(runUntil([&] { return outcome.calls > 0; }));
    if (c.errnoCode == 0) {
      EXPECT_FALSE(outcome.error);
      EXPECT_EQ(outcome.filePath, os::URL::fileURLWithPath(c.destination));
      EXPECT_EQ(readFile(c.destination), "new bytes");
      EXPECT_TRUE(moveErrors.about(object(task)).empty());
    } else {
      ASSERT_TRUE(outcome.error);
      EXPECT_EQ(outcome.error->domain, os::kPOSIXErrorDomain);
      EXPECT_EQ(outcome.error->code, c.errnoCode);
      EXPECT_NE(outcome.error->localizedDescription().find(c.destination.string()),
                std::string::npos);
      EXPECT_FALSE(outcome.filePath);
      ASSERT_EQ(moveErrors.about(object(task)).size(), 1u);
    }
  }
  // Nothing was left behind beside the destinations, and the folder kept its contents.
  EXPECT_EQ(os::files::contentsOfDirectory(sandbox.root(), nullptr),
            (std::vector<std::string>{"busy", "existing.zip", "home", "system", "tmp"}));
  EXPECT_TRUE(fs::is_empty(sandbox.temporary()));
  EXPECT_TRUE(fs::exists(busyFolder / "inside"));
}

TEST_F(SessionManagerTest, DataTasksHandTheSerializedBodyToTheCompletion) {
  server.respond("GET", "/config.json", 200, R"({"version":3})",
                 {{"Content-Type", "application/json; charset=utf-8"}});
  server.respond("GET", "/overloaded", 500, R"({"retry":true})",
                 {{"Content-Type", "application/json"}});
  server.respond("GET", "/logo.png", 200, "PNG", {{"Content-Type", "image/png"}});
  const struct {
    const char* path;
    const char* object;  // JSON text, or nullptr for nil
    int64_t errorCode;   // 0 for none
  } cases[] = {
      {"/config.json", R"({"version":3})", 0},
      {"/overloaded", R"({"retry":true})", -1011},
      {"/logo.png", nullptr, -1016},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    bool done = false;
    NKResponseObject object;
    std::optional<os::Error> error;
    manager
        ->dataTaskWithRequest(request(c.path),
                              [&](const auto&, const NKResponseObject& o, const auto& e) {
                                done = true;
                                object = o;
                                error = e;
                              })
        ->resume();
    ASSERT_TRUE(runUntil([&] { return done; }));
    if (c.object) {
      ASSERT_NE(object.value(), nullptr);
      EXPECT_EQ(*object.value(), *os::json::parse(c.object));
    } else {
      EXPECT_TRUE(object.isNil());
    }
    if (c.errorCode) {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->domain, kNKResponseSerializationErrorDomain);
      EXPECT_EQ(error->code, c.errorCode);
    } else {
      EXPECT_FALSE(error);
    }
  }
}

TEST_F(SessionManagerTest, RedirectIsFollowedUnlessTheHookRefusesIt) {
  server.respond("GET", "/old", 302, "", {{"Location", "/new"}});
  server.respond("GET", "/new", 200, R"(["moved"])", {{"Content-Type", "application/json"}});

  auto fetch = [&](int& status, NKResponseObject& object) {
    bool done = false;
    manager
        ->dataTaskWithRequest(request("/old"),
                              [&](const NKURLSessionManager::Response& response,
                                  const NKResponseObject& o, const auto&) {
                                done = true;
                                auto http =
                                    std::dynamic_pointer_cast<const os::HTTPURLResponse>(response);
                                status = http ? http->statusCode() : 0;
                                object = o;
                              })
        ->resume();
    ASSERT_TRUE(runUntil([&] { return done; }));
  };
  int status = 0;
  NKResponseObject object;
  fetch(status, object);
  EXPECT_EQ(status, 200);
  ASSERT_NE(object.value(), nullptr);
  EXPECT_EQ(*object.value(), os::Value(os::Array{"moved"}));

  std::atomic<int> asked{0};
  manager->setTaskWillPerformHTTPRedirectionBlock(
      [&](const auto&, const auto&, const std::shared_ptr<const os::HTTPURLResponse>& response,
          const os::URLRequest&) -> std::optional<os::URLRequest> {
        ++asked;
        EXPECT_EQ(response->statusCode(), 302);
        return std::nullopt;
      });
  fetch(status, object);
  EXPECT_EQ(status, 302);
  EXPECT_EQ(asked, 1);
}

TEST_F(SessionManagerTest, CompletionsRunOnTheChosenQueueInsideTheChosenGroup) {
  server.respond("GET", "/a", 200, "[1]", {{"Content-Type", "application/json"}});
  auto queue = os::DispatchQueue::serial("test.completions");
  os::DispatchGroup group;
  manager->setCompletionQueue(queue);
  manager->setCompletionGroup(group);

  std::atomic<bool> onQueue{false};
  std::atomic<bool> release{false};
  std::atomic<bool> done{false};
  manager
      ->dataTaskWithRequest(request("/a"),
                            [&](const auto&, const auto&, const auto&) {
                              onQueue = queue->isCurrent() && !os::isMainThread();
                              while (!release) std::this_thread::sleep_for(milliseconds(1));
                              done = true;
                            })
      ->resume();
  // The group has work from the moment the completion is queued until it has run.
  ASSERT_TRUE(runUntil([&] { return !group.wait(0); }));
  EXPECT_FALSE(done);
  release = true;
  EXPECT_TRUE(group.wait(kPatience));
  EXPECT_TRUE(done);
  EXPECT_TRUE(onQueue);
}

TEST_F(SessionManagerTest, UploadReportsItsProgressAndSendsItsBody) {
  std::string received;
  server.on("POST", "/collect", [&](const httplib::Request& request, httplib::Response& response) {
    received = request.body;
    response.status = 204;
  });
  const std::string body = randomBytes(1024 * 1024, 3);
  os::URLRequest upload = request("/collect");
  upload.setHTTPMethod("POST");

  bool done = false;
  std::optional<os::Error> error;
  ProgressLog progress;
  manager
      ->uploadTaskWithRequest(upload, os::Data(body.begin(), body.end()), progress.block(),
                              [&](const auto&, const auto&, const std::optional<os::Error>& e) {
                                done = true;
                                error = e;
                              })
      ->resume();
  ASSERT_TRUE(runUntil([&] { return done; }));
  EXPECT_FALSE(error) << error->localizedDescription();
  EXPECT_TRUE(received == body) << received.size() << " bytes received";
  std::vector<ProgressLog::Entry> entries = progress.entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().total, static_cast<int64_t>(body.size()));
  EXPECT_EQ(entries.back().fraction, 1.0);
}

TEST_F(SessionManagerTest, StreamedUploadReportsTheContentLengthItDeclares) {
  std::string received;
  server.on("PUT", "/stream", [&](const httplib::Request& request, httplib::Response& response) {
    received = request.body;
    response.status = 204;
  });
  const std::string body = randomBytes(100 * 1024, 5);
  os::URLRequest upload = request("/stream");
  upload.setHTTPMethod("PUT");
  upload.setValue(std::to_string(body.size()), "Content-Length");
  upload.setHTTPBodyStream(os::InputStream::withData(os::Data(body.begin(), body.end())));
  std::vector<int64_t> expectedTotals;
  manager->setTaskDidSendBodyDataBlock(
      [&](const auto&, const auto&, int64_t, int64_t, int64_t expected) {
        expectedTotals.push_back(expected);
      });

  bool done = false;
  std::optional<os::Error> error;
  manager
      ->uploadTaskWithStreamedRequest(upload, nullptr,
                                      [&](const auto&, const auto&, const auto& e) {
                                        done = true;
                                        error = e;
                                      })
      ->resume();
  ASSERT_TRUE(runUntil([&] { return done; }));
  EXPECT_FALSE(error) << error->localizedDescription();
  EXPECT_TRUE(received == body) << received.size() << " bytes received";
  ASSERT_FALSE(expectedTotals.empty());
  for (int64_t expected : expectedTotals) EXPECT_EQ(expected, static_cast<int64_t>(body.size()));
}

TEST_F(SessionManagerTest, DownloadWithoutADestinationLeavesNoFileAndReportsNone) {
  server.respond("GET", "/file", 200, "contents", {{"Content-Type", "application/zip"}});
  DownloadOutcome outcome;
  manager
      ->downloadTaskWithRequest(request("/file"), nullptr, nullptr,
                                [&](const auto& response, const std::optional<os::URL>& file,
                                    const std::optional<os::Error>& error) {
                                  ++outcome.calls;
                                  outcome.response = response;
                                  outcome.filePath = file;
                                  outcome.error = error;
                                })
      ->resume();
  ASSERT_TRUE(runUntil([&] { return outcome.calls > 0; }));
  EXPECT_EQ(outcome.status(), 200);
  EXPECT_FALSE(outcome.filePath);
  EXPECT_FALSE(outcome.error);
}

TEST_F(SessionManagerTest, ResumeAndSuspendAreAnnouncedOnceAndRepostedByTheOwnerOnly) {
  testsupport::Reply slow;
  slow.body = randomBytes(256 * 1024);
  slow.pieceSize = 16 * 1024;
  slow.pause = milliseconds(100);
  server.respond("GET", "/slow", slow);
  NotificationLog resumes(NKNotifications::kSessionTaskResume);
  NotificationLog suspends(NKNotifications::kSessionTaskSuspend);
  NotificationLog ownResumes(NKNotifications::kTaskResume);
  NotificationLog ownSuspends(NKNotifications::kTaskSuspend);

  auto other = std::make_shared<NKURLSessionManager>();
  int completions = 0;
  auto count = [&](const auto&, const auto&, const auto&) { ++completions; };
  std::shared_ptr<os::URLSessionTask> mine = manager->dataTaskWithRequest(request("/slow"), count);
  std::shared_ptr<os::URLSessionTask> theirs = other->dataTaskWithRequest(request("/slow"), count);
  auto plainSession = os::URLSession::sessionWithConfiguration(
      os::URLSessionConfiguration::defaultSessionConfiguration());
  std::shared_ptr<os::URLSessionTask> plain = plainSession->dataTaskWithRequest(request("/slow"));

  for (const auto& task : {mine, theirs, plain}) {
    task->resume();
    EXPECT_EQ(resumes.about(object(task)).size(), 1u);  // posted before resume() returns
    task->resume();
    EXPECT_EQ(resumes.about(object(task)).size(), 1u);
    task->suspend();
    task->suspend();
    EXPECT_EQ(suspends.about(object(task)).size(), 1u);
    task->resume();
    EXPECT_EQ(resumes.about(object(task)).size(), 2u);
  }
  // The owners repost from the main queue.
  ASSERT_TRUE(runUntil([&] {
    return ownResumes.about(object(mine)).size() == 2 &&
           ownResumes.about(object(theirs)).size() == 2 &&
           ownSuspends.about(object(mine)).size() == 1 &&
           ownSuspends.about(object(theirs)).size() == 1;
  }));
  for (const auto& task : {mine, theirs}) {
    EXPECT_EQ(ownResumes.about(object(task)).size(), 2u);
    EXPECT_EQ(ownSuspends.about(object(task)).size(), 1u);
  }
  EXPECT_TRUE(ownResumes.about(object(plain)).empty());
  EXPECT_TRUE(ownSuspends.about(object(plain)).empty());

  for (const auto& task : {mine, theirs, plain}) task->cancel();
  ASSERT_TRUE(runUntil([&] { return completions == 2; }));
  // A task that is over is not running, so resuming it is announced again.
  mine->resume();
  EXPECT_EQ(resumes.about(object(mine)).size(), 3u);
  plainSession->invalidateAndCancel();
}

TEST_F(SessionManagerTest, OwnerMayDropTheManagerOnceItsTaskRuns) {
  server.respond("GET", "/file", 200, "contents");
  std::weak_ptr<NKURLSessionManager> weak = manager;
  DownloadOutcome outcome;
  download("/file", sandbox.root() / "file", outcome)->resume();
  manager.reset();
  ASSERT_TRUE(runUntil([&] { return outcome.calls > 0; }));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(readFile(sandbox.root() / "file"), "contents");
  EXPECT_TRUE(runUntil([&] { return weak.expired(); }));
}

TEST_F(SessionManagerTest, UploadWithoutATaskRegistersNothingAndCompletesWithAnError) {
  manager = std::make_shared<NKURLSessionManager>(
      os::URLSessionConfiguration::backgroundSessionConfiguration("test.uploads"));
  manager->setAttemptsToRecreateUploadTasksForBackgroundSessions(true);
  std::atomic<bool> invalid{false};
  manager->setSessionDidBecomeInvalidBlock([&](const auto&, const auto&) { invalid = true; });
  manager->invalidateSessionCancelingTasks(false);
  ASSERT_TRUE(runUntil([&] { return invalid.load(); }));

  fs::path file = sandbox.root() / "report.bin";
  std::ofstream(file) << "report";
  int calls = 0;
  std::optional<os::Error> error;
  os::log::Capture quiet;
  auto task = manager->uploadTaskWithRequest(
      request("/collect"), os::URL::fileURLWithPath(file), nullptr,
      [&](const NKURLSessionManager::Response& response, const NKResponseObject& object,
          const std::optional<os::Error>& e) {
        ++calls;
        EXPECT_EQ(response, nullptr);
        EXPECT_TRUE(object.isNil());
        error = e;
      });
  EXPECT_EQ(task, nullptr);
  ASSERT_TRUE(runUntil([&] { return calls > 0; }));
  settle();
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, os::kURLErrorDomain);

  // Nothing registered keeps the manager alive.
  std::weak_ptr<NKURLSessionManager> weak = manager;
  manager.reset();
  EXPECT_TRUE(weak.expired());
}

TEST_F(SessionManagerTest, DefaultPolicyRefusesAnUnknownAuthorityBeforeTheRequestIsSent) {
  testsupport::LocalHttpServer tlsServer({.tls = true, .hostNames = {}});
  tlsServer.respond("GET", "/secure.json", 200, "[1]", {{"Content-Type", "application/json"}});

  auto fetch = [&](std::shared_ptr<NKSecurityPolicy> policy) {
    auto client = std::make_shared<NKURLSessionManager>();
    if (policy) client->setSecurityPolicy(std::move(policy));
    bool done = false;
    std::optional<os::Error> error;
    client
        ->dataTaskWithRequest(os::URLRequest(*os::URL::parse(tlsServer.url("/secure.json"))),
                              [&](const auto&, const auto&, const std::optional<os::Error>& e) {
                                done = true;
                                error = e;
                              })
        ->resume();
    EXPECT_TRUE(runUntil([&] { return done; }));
    return error;
  };

  std::optional<os::Error> refused = fetch(nullptr);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->domain, os::kURLErrorDomain);
  EXPECT_EQ(refused->code, os::kURLErrorCancelled);
  EXPECT_EQ(tlsServer.requestCount(), 0u);

  // Accepting anything takes both switches.
  auto lax = NKSecurityPolicy::defaultPolicy();
  lax->setAllowInvalidCertificates(true);
  {
    os::log::Capture capture;
    EXPECT_TRUE(fetch(lax));
    EXPECT_TRUE(capture.contains("you MUST use pinning"));
  }
  lax->setValidatesDomainName(false);
  EXPECT_FALSE(fetch(lax));
  EXPECT_EQ(tlsServer.requestCount(), 1u);

  // The server's own authority, named by the environment, is trusted by the default policy.
  sandbox.setEnv("TESSARO_CA_FILE", tlsServer.certificatePath().string());
  EXPECT_FALSE(fetch(nullptr));
}

}  // namespace
