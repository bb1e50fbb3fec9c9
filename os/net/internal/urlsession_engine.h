// The transfer side of URL sessions: one thread per session that drives every transfer of the
// session through curl's multi interface. A task's request becomes one or more hops (one per
// redirect); the engine runs them, hands the response, body and progress to the delegate queue,
// and completes the task. For os/urlsession's own units only.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/dispatch/dispatch.h"
#include "os/net/internal/urlsession_resume.h"
#include "os/net/urlsession.h"
#include "os/sync/mutex.h"

namespace os::internal {

using Clock = MonotonicClock;

// A challenge the transfer thread waits on while the delegate decides.
struct ChallengeAnswer {
  Mutex mutex;
  os::ConditionVariable changed;
  bool answered OS_GUARDED_BY(mutex) = false;
  // The task was cancelled meanwhile.
  bool cancelled OS_GUARDED_BY(mutex) = false;
  URLSessionAuthChallengeDisposition disposition OS_GUARDED_BY(mutex) =
      URLSessionAuthChallengeDisposition::PerformDefaultHandling;
  std::optional<URLCredential> credential OS_GUARDED_BY(mutex);
};

struct Hop;

// Where the body of the request comes from, for every transmission of it.
enum class BodySource { None, Bytes, File, Stream };

// The transfer-thread side of a task. Fields marked "transfer thread" are touched only there.
struct TaskTransfer {
  // Set when the task is made, then only read.
  DataTaskCompletion dataCompletion;
  DownloadTaskCompletion downloadCompletion;
  BodySource bodySource = BodySource::None;
  // The body as a copyable stream for Bytes and File, the request's own stream for Stream.
  std::shared_ptr<InputStream> body;
  std::filesystem::path bodyFile;
  // The body comes from the delegate's needNewBodyStream from the start.
  bool streamedUpload = false;

  bool hasCompletionHandler() const { return dataCompletion || downloadCompletion; }

  // A challenge under way; cancel() wakes its waiter.
  Mutex challengeMutex;
  bool cancelRequested OS_GUARDED_BY(challengeMutex) = false;
  std::shared_ptr<ChallengeAnswer> pendingChallenge OS_GUARDED_BY(challengeMutex);

  // Shared by the transfer thread and the delegate queue.
  Mutex pendingMutex;
  // Body bytes not yet handed over, and an emptied buffer to fill next.
  Data pendingData OS_GUARDED_BY(pendingMutex);
  Data spareData OS_GUARDED_BY(pendingMutex);
  bool deliveryQueued OS_GUARDED_BY(pendingMutex) = false;
  std::atomic<int64_t> dataInFlight{0};
  std::atomic<bool> backpressured{false};
  std::atomic<int64_t> unreportedReceived{0};
  std::atomic<int64_t> unreportedSent{0};
  std::atomic<bool> receiveReportQueued{false};
  std::atomic<bool> sendReportQueued{false};
  int64_t reportedReceived = 0;  // delegate queue
  int64_t reportedSent = 0;      // delegate queue

  // Transfer thread.
  bool flushScheduled = false;
  Clock::time_point flushDeadline;
  bool started = false;
  bool completed = false;
  bool delegateSeesData = false;  // a delegate gets the response and the body
  std::unique_ptr<Hop> hop;
  std::optional<URLRequest> nextRequest;  // the hop to start once the task runs
  std::shared_ptr<InputStream> nextBody;
  int redirectCount = 0;
  bool bodyDropped = false;  // a redirect turned the request into a GET
  Clock::time_point resourceDeadline = Clock::time_point::max();
  bool awaitingResponseDecision = false;
  bool transferDone = false;  // the body is complete but the response decision is pending
  Data pendingBody;           // a refused redirect's body, delivered once allowed
  Data accumulated;           // the body for a data completion handler
  int fd = -1;                // the download file
  std::filesystem::path downloadPath;
  int64_t fileSize = 0;  // bytes in the download file
  Data unwritten;        // body bytes of a download gathered for the next block write
  // Set by cancelByProducingResumeData: called with the resume data, or nullopt.
  URLSessionDownloadTask::ResumeDataHandler resumeDataHandler;

  // A download made from resume data, set at creation: where it goes on from, or why it
  // cannot.
  std::optional<ResumeData> resumeFrom;
  std::optional<Error> resumeDataError;
};

// One HTTP exchange of a task: the first request, or one after a redirect.
struct Hop {
  std::shared_ptr<URLSessionTask> task;
  TaskTransfer* taskTransfer = nullptr;  // the task's
  URLSessionEngine* engine = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  curl_slist* connectTo = nullptr;
  URLRequest request;
  std::shared_ptr<InputStream> body;
  int64_t bodySize = kURLSessionTransferSizeUnknown;
  std::string hostKey;
  bool inMulti = false;
  bool paused = false;
  double inactivityTimeout = 60;
  Clock::time_point lastActivity = Clock::now();

  int status = 0;
  HTTPHeaders responseHeaders;
  size_t headerBytes = 0;  // of the header blocks received so far
  bool headersComplete = false;
  bool redirect = false;
  Data redirectBody;
  std::shared_ptr<const HTTPURLResponse> response;
  std::optional<Error> failure;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  explicit Hop(URLRequest request) : request(std::move(request)) {}
  ~Hop() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    curl_slist_free_all(connectTo);
  }
  TaskTransfer& transfer() const { return *taskTransfer; }
};

// The transfer thread of a session and everything it drives.
class URLSessionEngine : public std::enable_shared_from_this<URLSessionEngine> {
 public:
  explicit URLSessionEngine(const URLSessionConfiguration& configuration);
  ~URLSessionEngine();

  // Runs `command` on the transfer thread, starting the thread on first use. Thread-safe.
  void post(std::function<void()> command) OS_EXCLUDES(mutex_);

  // Lets the thread end once no task is active. Thread-safe.
  void stop() OS_EXCLUDES(mutex_);

  // Ends the thread at process exit: transfers stop where they are, their partial download
  // files are removed, and nothing more reaches the delegates. Thread-safe.
  void shutDown() OS_EXCLUDES(mutex_);

  // Commands, on the transfer thread.
  void resumeTask(const std::shared_ptr<URLSessionTask>& task);
  void suspendTask(const std::shared_ptr<URLSessionTask>& task);
  // `resumeDataHandler`, when set, gets the resume data of a download (see
  // URLSessionDownloadTask::cancelByProducingResumeData).
  void cancelTask(const std::shared_ptr<URLSessionTask>& task,
                  URLSessionDownloadTask::ResumeDataHandler resumeDataHandler);

  // Transfer thread: a TLS handshake's decision on the server's chain; false refuses it and
  // records why on the task's current hop.
  bool decideTrust(const std::shared_ptr<URLSessionTask>& task,
                   const std::shared_ptr<ServerTrust>& trust, int port);

  // curl callbacks (transfer thread).
  static size_t onHeader(char* buffer, size_t size, size_t count, void* hop);
  static size_t onBody(char* buffer, size_t size, size_t count, void* hop);
  static size_t onReadBody(char* buffer, size_t size, size_t count, void* hop);
  static int onSeekBody(void* hop, curl_off_t offset, int origin);
  static CURLcode onSslContext(CURL* easy, void* context, void* hop);

 private:
  friend class TransferThreads;

  void run();
  void runCommands();
  // Drops every transfer without telling its delegate (see shutDown).
  void abandonAll();
  void drainFinishedTransfers();
  // Fails transfers whose inactivity or resource limit has passed; returns the milliseconds
  // until the next limit.
  int enforceTimeouts();

  void pump(const std::shared_ptr<URLSessionTask>& task);
  void startHop(const std::shared_ptr<URLSessionTask>& task, URLRequest request,
                std::shared_ptr<InputStream> body);
  // Finds the size of the hop's body; false with the hop's failure set when it cannot be read.
  bool measureBody(Hop& hop);
  bool configureEasy(Hop& hop);
  void admit(std::unique_ptr<Hop>& slot);
  void releaseHop(TaskTransfer& transfer);
  void applyPause(Hop& hop);
  void hopFinished(Hop& hop, CURLcode code);

  void headersComplete(Hop& hop);
  void publishResponse(const std::shared_ptr<URLSessionTask>& task,
                       std::shared_ptr<const HTTPURLResponse> response);
  // Opens the file a download writes to: a new one in the download folder, or the partial
  // file of its resume data, kept or emptied as the response says. False with the hop's failure
  // set when it cannot.
  bool openDownloadFile(const std::shared_ptr<URLSessionTask>& task,
                        const HTTPURLResponse& response);
  // The resume data of a download that stops now with its file at `file`; nullopt when the
  // download cannot go on later.
  static std::optional<Data> resumeDataOf(const std::shared_ptr<URLSessionTask>& task,
                                          const std::filesystem::path& file);
  void responseDecided(const std::shared_ptr<URLSessionTask>& task,
                       URLSessionResponseDisposition disposition);
  bool deliverBody(const std::shared_ptr<URLSessionTask>& task, const char* bytes, size_t count);
  // Appends to a download through its block buffer (TaskTransfer::unwritten): a block goes to
  // the file once full, and a piece of a block or more while the buffer is empty goes at once.
  // False with errno set when a write failed.
  static bool bufferDownload(TaskTransfer& transfer, const uint8_t* bytes, size_t count);
  // Appends to the download file; false with errno set when the write failed.
  static bool writeToFile(TaskTransfer& transfer, const uint8_t* bytes, size_t count);
  // Writes the gathered bytes of a download; false with errno set when the write failed.
  static bool writeOut(TaskTransfer& transfer);
  void queueData(const std::shared_ptr<URLSessionTask>& task, const uint8_t* bytes, size_t count);
  void reportReceived(const std::shared_ptr<URLSessionTask>& task, int64_t count);
  void reportSent(const std::shared_ptr<URLSessionTask>& task, int64_t count);
  void scheduleFlush(const std::shared_ptr<URLSessionTask>& task);
  // Hands over the batches whose delay has passed; returns when the next one is due.
  Clock::time_point flushDue();
  void flush(const std::shared_ptr<URLSessionTask>& task);
  void postData(const std::shared_ptr<URLSessionTask>& task);

  void redirect(const std::shared_ptr<URLSessionTask>& task,
                std::shared_ptr<const HTTPURLResponse> response, const URLRequest& request,
                Data body);
  void redirectDecided(const std::shared_ptr<URLSessionTask>& task,
                       std::optional<URLRequest> chosen,
                       std::shared_ptr<const HTTPURLResponse> response, Data body);
  // Finds the body for the next transmission and then starts the hop; may ask the delegate.
  void sendRequest(const std::shared_ptr<URLSessionTask>& task, URLRequest request, bool first);

  void transferSucceeded(const std::shared_ptr<URLSessionTask>& task);
  // Takes its own reference: the caller's may live in what completing releases (a hop).
  void complete(std::shared_ptr<URLSessionTask> task, std::optional<Error> error);

  // Runs `call` on the task's delegate queue with the session's delegate, when there is one.
  static void toDelegate(const std::shared_ptr<URLSessionTask>& task,
                         std::function<void(URLSessionDelegate&)> call);

  const int maxConnectionsPerHost_;
  const double requestTimeout_;
  const double resourceTimeout_;
  CURLM* multi_ = nullptr;

  Mutex mutex_;
  std::vector<std::function<void()>> commands_ OS_GUARDED_BY(mutex_);
  bool threadStarted_ OS_GUARDED_BY(mutex_) = false;
  bool stopping_ OS_GUARDED_BY(mutex_) = false;
  bool exited_ OS_GUARDED_BY(mutex_) = false;
  bool shuttingDown_ OS_GUARDED_BY(mutex_) = false;
  // The challenge the thread waits on, so that a shutdown can wake it.
  std::shared_ptr<ChallengeAnswer> waitingChallenge_ OS_GUARDED_BY(mutex_);

  // Transfer thread.
  std::map<uint64_t, std::shared_ptr<URLSessionTask>> active_;
  std::map<std::string, int> connectionsPerHost_;
  std::vector<Hop*> running_;  // the hops in multi_
  Clock::time_point nextSweep_;
  // Tasks with a batch to hand over; a task leaves when it completes, so that the engine holds
  // no completed task (its session holds the engine: a session whose thread ends while a
  // completed task is listed here would never be freed).
  std::vector<std::shared_ptr<URLSessionTask>> unflushed_;
  std::deque<Hop*> waiting_;
};

}  // namespace os::internal
