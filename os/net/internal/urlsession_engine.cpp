#include "os/net/internal/urlsession_engine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "os/crypto/crypto.h"
#include "os/log/log.h"
#include "os/net/internal/urlsession_errors.h"
#include "os/net/internal/urlsession_threads.h"

namespace os::internal {
namespace {

// Redirects followed for one task before it fails, as the platform limits them.
constexpr int kMaximumRedirects = 16;
// Body bytes of a data task that may wait on the delegate queue before the transfer pauses, and
// the level at which it goes on again: a slow delegate must not fill the memory, and the two
// buffers that take turns (one filling, one with the delegate) stay near a piece each, which
// keeps a data task's memory within a few MiB of curl's own.
constexpr int64_t kDataInFlightHighWater = 768 << 10;
constexpr int64_t kDataInFlightLowWater = 256 << 10;
// Batches of body bytes and progress for the delegate (see queueData). Each piece wakes a
// thread for the delegate queue, and the wake is paid by the transfer thread: at 128 KiB the
// wakes took a fifth of its time on a fast local download, at 256 KiB half that.
constexpr size_t kDeliveryPieceSize = 256 << 10;
constexpr auto kDeliveryDelay = std::chrono::milliseconds(5);
// curl's receive buffer: large enough that a download's block or a delegate's piece takes a
// callback or two.
constexpr long kReceiveBufferSize = 256 << 10;
constexpr long kUploadBufferSize = 256 << 10;
// Download bytes are written in blocks of at least this size: a write per socket read (16 KiB
// and less) costs more in system calls than the copy into the block.
constexpr size_t kWriteBlockSize = 256 << 10;
// The most a data task's completion buffer reserves up front from a Content-Length, so that a
// server announcing a huge body cannot make it allocate at once.
constexpr int64_t kMaximumBodyReservation = 64 << 20;
// The largest header block of a response, below curl's own limit so that the failure says why.
constexpr size_t kMaximumHeaderBlockSize = 256 << 10;
// The longest URL sent; curl refuses longer ones without saying why.
constexpr size_t kMaximumURLLength = 1 << 20;

// A redirect of a task that started on https to `target` on another scheme would send the rest
// of the exchange in the clear.
bool leavesSecureTransport(const URLSessionTask& task, const URL& target) {
  return task.originalRequest().url().scheme() == "https" && target.scheme() != "https";
}

Error insecureRedirectError(const URL& target) {
  return urlError(kURLErrorAppTransportSecurityRequiresSecureConnection, target,
                  "A redirect from https to " + target.scheme() + " was refused.");
}

// True when `bytes` of body are more than the task takes.
bool passesLimit(const URLSessionTask& task, uint64_t bytes) {
  const int64_t limit = task.countOfBytesReceivedLimit();
  return limit >= 0 && bytes > static_cast<uint64_t>(limit);
}

Error bodyTooLongError(const URLSessionTask& task, const URL& url) {
  return urlError(kURLErrorDataLengthExceedsMaximum, url,
                  "The body is longer than the " +
                      std::to_string(task.countOfBytesReceivedLimit()) + " bytes allowed.");
}

void initializeCurlOnce() {
  static DispatchOnce once;
  once([] {
    os::crypto::initializeOpenssl();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    TransferThreads::shared();
  });
}

// TESSARO_CONNECT_TO as curl's connect-to list: entries separated by commas or blanks. Read for
// every transfer, so that a test can point a name at its own server.
curl_slist* connectToList() {
  const char* value = std::getenv("TESSARO_CONNECT_TO");
  if (value == nullptr) return nullptr;
  curl_slist* list = nullptr;
  std::string_view rest = value;
  while (!rest.empty()) {
    size_t start = rest.find_first_not_of(", \t\n");
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    size_t end = rest.find_first_of(", \t\n");
    list = curl_slist_append(list, std::string(rest.substr(0, end)).c_str());
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  return list;
}

// True when an Accept-Encoding value asks for an encoding that curl decodes.
bool asksForDecodedContent(std::string_view acceptEncoding) {
  std::string lower(acceptEncoding);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (std::string_view encoding : {"gzip", "deflate", "br", "zstd"}) {
    size_t at = 0;
    while ((at = lower.find(encoding, at)) != std::string::npos) {
      bool startsToken = at == 0 || lower[at - 1] == ',' || lower[at - 1] == ' ';
      size_t after = at + encoding.size();
      bool endsToken = after == lower.size() || lower[after] == ',' || lower[after] == ';' ||
                       lower[after] == ' ';
      if (startsToken && endsToken) return true;
      at = after;
    }
  }
  return false;
}

}  // namespace

void URLSessionEngine::toDelegate(const std::shared_ptr<URLSessionTask>& task,
                                  std::function<void(URLSessionDelegate&)> call) {
  task->session_->delegateQueue_->async([task, call = std::move(call)] {
    if (std::shared_ptr<URLSessionDelegate> delegate = task->session_->delegate()) call(*delegate);
  });
}

// ---------------------------------------------------------------------------------------------
// The loop

URLSessionEngine::URLSessionEngine(const URLSessionConfiguration& configuration)
    : maxConnectionsPerHost_(std::max(1, configuration.HTTPMaximumConnectionsPerHost())),
      requestTimeout_(configuration.timeoutIntervalForRequest()),
      resourceTimeout_(configuration.timeoutIntervalForResource()) {
  initializeCurlOnce();
  multi_ = curl_multi_init();
  curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, long(maxConnectionsPerHost_));
}

URLSessionEngine::~URLSessionEngine() { curl_multi_cleanup(multi_); }

void URLSessionEngine::post(std::function<void()> command) {
  {
    MutexLock lock(mutex_);
    if (exited_) return;
    commands_.push_back(std::move(command));
    if (!threadStarted_) {
      threadStarted_ = true;
      // Refused once the process exits: the command is dropped with the engine.
      if (!TransferThreads::shared().start(shared_from_this())) exited_ = true;
      return;
    }
    // The poster that found the list empty wakes the thread, after its push; the thread then
    // takes every command queued meanwhile. A burst of tasks started at once costs one wake-up
    // instead of a write to the wake-up socket each.
    if (commands_.size() > 1) return;
  }
  curl_multi_wakeup(multi_);
}

void URLSessionEngine::stop() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    if (!threadStarted_) return;
  }
  curl_multi_wakeup(multi_);
}

void URLSessionEngine::shutDown() {
  std::shared_ptr<ChallengeAnswer> challenge;
  {
    MutexLock lock(mutex_);
    shuttingDown_ = true;
    if (!threadStarted_) return;
    challenge = waitingChallenge_;
  }
  if (challenge) {
    MutexLock lock(challenge->mutex);
    challenge->cancelled = true;
    challenge->changed.notify_all();
  }
  curl_multi_wakeup(multi_);
}

void URLSessionEngine::run() {
  while (true) {
    runCommands();
    bool exited = false;
    bool shuttingDown = false;
    {
      MutexLock lock(mutex_);
      shuttingDown = shuttingDown_;
      exited = exited_ = shuttingDown || (stopping_ && active_.empty() && commands_.empty());
    }
    if (shuttingDown) abandonAll();
    if (exited) break;
    int running = 0;
    curl_multi_perform(multi_, &running);
    drainFinishedTransfers();
    Clock::time_point nextFlush = flushDue();
    int waitMilliseconds = enforceTimeouts();
    if (nextFlush != Clock::time_point::max()) {
      auto untilFlush =
          std::chrono::ceil<std::chrono::milliseconds>(nextFlush - Clock::now()).count();
      waitMilliseconds = std::clamp<int>(static_cast<int>(untilFlush), 0, waitMilliseconds);
    }
    curl_multi_poll(multi_, nullptr, 0, waitMilliseconds, nullptr);
  }
}

void URLSessionEngine::abandonAll() {
  waiting_.clear();
  for (const auto& [identifier, task] : active_) {
    TaskTransfer& transfer = *task->transfer_;
    transfer.completed = true;
    releaseHop(transfer);
    if (transfer.fd >= 0) {
      ::close(transfer.fd);
      transfer.fd = -1;
    }
    if (!transfer.downloadPath.empty()) {
      std::error_code ignored;
      std::filesystem::remove(transfer.downloadPath, ignored);
      transfer.downloadPath.clear();
    }
  }
  unflushed_.clear();
  // The tasks stay in active_ and the queued commands in commands_: the process is exiting, and
  // what they hold (tasks, their sessions, the sessions' delegates) stays in use until it ends.
}

void URLSessionEngine::runCommands() {
  std::vector<std::function<void()>> commands;
  {
    MutexLock lock(mutex_);
    commands.swap(commands_);
  }
  for (auto& command : commands) command();
}

void URLSessionEngine::drainFinishedTransfers() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    Hop* hop = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &hop);
    hopFinished(*hop, message->data.result);
  }
}

int URLSessionEngine::enforceTimeouts() {
  const Clock::time_point now = Clock::now();
  Clock::time_point next = now + std::chrono::seconds(60);
  std::vector<std::shared_ptr<URLSessionTask>> expired;
  auto check = [&](const std::shared_ptr<URLSessionTask>& task, Clock::time_point limit) {
    if (limit <= now) {
      expired.push_back(task);
    } else {
      next = std::min(next, limit);
    }
  };
  for (Hop* hop : running_) {
    Clock::time_point limit = hop->transfer().resourceDeadline;
    if (!hop->paused) {
      auto inactivity = std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(hop->inactivityTimeout));
      limit = std::min(limit, hop->lastActivity + inactivity);
    }
    check(hop->task, limit);
  }
  // Tasks without a connection (queued for one, or waiting for their delegate) can only reach
  // their resource limit; a sweep of every task once a second is enough for that, and keeps a
  // session with a thousand queued tasks from walking them all on every turn.
  if (active_.size() > running_.size()) {
    if (now >= nextSweep_) {
      nextSweep_ = now + std::chrono::seconds(1);
      for (const auto& [identifier, task] : active_) {
        const TaskTransfer& transfer = *task->transfer_;
        if (!transfer.hop || !transfer.hop->inMulti) check(task, transfer.resourceDeadline);
      }
    }
    next = std::min(next, nextSweep_);
  }
  for (const auto& task : expired) {
    complete(task, urlError(kURLErrorTimedOut, task->currentRequest().url()));
  }
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
  return static_cast<int>(std::clamp<int64_t>(wait, 1, 60000));
}

// ---------------------------------------------------------------------------------------------
// Commands

void URLSessionEngine::resumeTask(const std::shared_ptr<URLSessionTask>& task) {
  TaskTransfer& transfer = *task->transfer_;
  if (transfer.completed || task->state() != URLSessionTaskState::Running) return;
  if (!transfer.started) {
    transfer.started = true;
    active_[task->identifier_] = task;
    transfer.delegateSeesData = !transfer.hasCompletionHandler() && task->session_->delegate();
    if (resourceTimeout_ > 0) transfer.resourceDeadline = monotonicDeadline(resourceTimeout_);
    if (transfer.resumeDataError) {
      complete(task, transfer.resumeDataError);
      return;
    }
    std::error_code ignored;
    if (transfer.resumeFrom && !std::filesystem::is_regular_file(std::filesystem::symlink_status(
                                   transfer.resumeFrom->localPath, ignored))) {
      complete(task, urlError(kURLErrorCannotOpenFile, transfer.resumeFrom->url,
                              "The partial download file " +
                                  transfer.resumeFrom->localPath.string() + " is gone."));
      return;
    }
    sendRequest(task, task->currentRequest(), true);
    return;
  }
  pump(task);
}

void URLSessionEngine::suspendTask(const std::shared_ptr<URLSessionTask>& task) {
  TaskTransfer& transfer = *task->transfer_;
  if (transfer.hop) applyPause(*transfer.hop);
}

void URLSessionEngine::cancelTask(const std::shared_ptr<URLSessionTask>& task,
                                  URLSessionDownloadTask::ResumeDataHandler resumeDataHandler) {
  TaskTransfer& transfer = *task->transfer_;
  if (transfer.completed) {
    if (resumeDataHandler) {
      task->session_->delegateQueue_->async(
          [handler = std::move(resumeDataHandler)] { handler(std::nullopt); });
    }
    return;
  }
  transfer.resumeDataHandler = std::move(resumeDataHandler);
  complete(task, urlError(kURLErrorCancelled, task->currentRequest().url()));
}

void URLSessionEngine::pump(const std::shared_ptr<URLSessionTask>& task) {
  TaskTransfer& transfer = *task->transfer_;
  if (transfer.completed) return;
  if (transfer.hop) {
    applyPause(*transfer.hop);
    return;
  }
  if (!transfer.nextRequest || task->state() != URLSessionTaskState::Running) return;
  URLRequest request = std::move(*transfer.nextRequest);
  transfer.nextRequest.reset();
  startHop(task, std::move(request), std::move(transfer.nextBody));
}

void URLSessionEngine::sendRequest(const std::shared_ptr<URLSessionTask>& task, URLRequest request,
                                   bool first) {
  TaskTransfer& transfer = *task->transfer_;
  auto proceed = [this, task](URLRequest request, std::shared_ptr<InputStream> body) {
    TaskTransfer& transfer = *task->transfer_;
    if (transfer.completed) return;
    transfer.nextRequest = std::move(request);
    transfer.nextBody = std::move(body);
    pump(task);
  };
  if (transfer.bodyDropped || transfer.bodySource == BodySource::None) {
    proceed(std::move(request), nullptr);
    return;
  }
  if (transfer.bodySource != BodySource::Stream) {
    // Bytes and files are read again from the start for every transmission.
    proceed(std::move(request), transfer.body->copy());
    return;
  }
  if (first && !transfer.streamedUpload) {
    proceed(std::move(request), transfer.body);
    return;
  }
  // A stream is read once: a new transmission needs a new stream from the delegate, else a
  // copy of the request's stream when it can be copied.
  auto answered = std::make_shared<std::atomic<bool>>(false);
  auto fallback = transfer.body && first ? transfer.body
                  : transfer.body        ? transfer.body->copy()
                                         : nullptr;
  BodyStreamCompletion completion = [task, request, answered,
                                     proceed](std::shared_ptr<InputStream> stream) {
    if (answered->exchange(true)) return;
    task->session_->engine_->post([task, request, stream, proceed] {
      if (!stream) {
        task->session_->engine_->complete(
            task, urlError(kURLErrorRequestBodyStreamExhausted, request.url()));
        return;
      }
      proceed(request, stream);
    });
  };
  if (!task->session_->delegate()) {
    completion(fallback);
    return;
  }
  toDelegate(task, [task, completion, fallback](URLSessionDelegate& delegate) {
    if (!delegate.needNewBodyStream(task->session_, task, completion)) completion(fallback);
  });
}

// ---------------------------------------------------------------------------------------------
// Hops

void URLSessionEngine::startHop(const std::shared_ptr<URLSessionTask>& task, URLRequest request,
                                std::shared_ptr<InputStream> body) {
  TaskTransfer& transfer = *task->transfer_;
  const URL url = request.url();
  if (url.scheme() != "http" && url.scheme() != "https") {
    complete(task, urlError(kURLErrorUnsupportedURL, url));
    return;
  }
  if (url.host().empty()) {
    complete(task, urlError(kURLErrorBadURL, url));
    return;
  }
  // Refused before a connection is made, so that nothing of it reaches the server.
  if (std::optional<std::string> reason = request.unsendableReason()) {
    complete(task, urlError(kURLErrorBadURL, url, *reason));
    return;
  }
  if (url.absoluteString().size() > kMaximumURLLength) {
    complete(task, urlError(kURLErrorBadURL, url, "The URL is longer than 1 MiB."));
    return;
  }
  auto hop = std::make_unique<Hop>(std::move(request));
  hop->task = task;
  hop->taskTransfer = &transfer;
  hop->engine = this;
  hop->body = std::move(body);
  hop->hostKey =
      url.scheme() + "://" + url.host() + ":" + std::to_string(url.effectivePort().value_or(0));
  double timeout = hop->request.timeoutInterval();
  if (requestTimeout_ > 0 && (timeout <= 0 || requestTimeout_ < timeout)) timeout = requestTimeout_;
  hop->inactivityTimeout = timeout > 0 ? timeout : 1e9;
  if (hop->body && !measureBody(*hop)) {
    complete(task, *hop->failure);
    return;
  }
  transfer.hop = std::move(hop);
  admit(transfer.hop);
}

bool URLSessionEngine::measureBody(Hop& hop) {
  TaskTransfer& transfer = hop.transfer();
  if (transfer.bodySource == BodySource::Bytes) {
    hop.bodySize = hop.task->countOfBytesExpectedToSend();
  } else if (transfer.bodySource == BodySource::File) {
    struct stat status;
    if (::stat(transfer.bodyFile.c_str(), &status) != 0) {
      hop.failure = urlError(kURLErrorFileDoesNotExist, hop.request.url(), std::strerror(errno));
      return false;
    }
    hop.bodySize = status.st_size;
  } else if (std::optional<std::string> length =
                 hop.request.valueForHTTPHeaderField("Content-Length")) {
    // A stream of a length the request announces goes out with it rather than in chunks.
    char* end = nullptr;
    long long parsed = std::strtoll(length->c_str(), &end, 10);
    if (end != length->c_str() && *end == '\0' && parsed >= 0) hop.bodySize = parsed;
  }
  return true;
}

bool URLSessionEngine::configureEasy(Hop& hop) {
  const URLRequest& request = hop.request;
  CURL* easy = hop.easy = curl_easy_init();
  if (easy == nullptr) return false;
  curl_easy_setopt(easy, CURLOPT_URL, request.url().absoluteString().c_str());
  curl_easy_setopt(easy, CURLOPT_PRIVATE, &hop);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, hop.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &hop);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &hop);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                   long(std::min(hop.inactivityTimeout, 1e6) * 1000));
  // Trust is decided in onSslContext's verification callback, host name included.
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, onSslContext);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &hop);
  hop.connectTo = connectToList();
  if (hop.connectTo) curl_easy_setopt(easy, CURLOPT_CONNECT_TO, hop.connectTo);

  const std::string& method = request.HTTPMethod().empty() ? "GET" : request.HTTPMethod();
  HTTPHeaders headers = request.allHTTPHeaderFields();
  if (hop.body) {
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, onReadBody);
    curl_easy_setopt(easy, CURLOPT_READDATA, &hop);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, onSeekBody);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, &hop);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(hop.bodySize));
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (method == "POST") {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(0));
  } else {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  if (std::optional<std::string> acceptEncoding = headers.value("Accept-Encoding")) {
    // The header goes out as the request has it; curl decodes only what it asks for.
    if (asksForDecodedContent(*acceptEncoding)) {
      curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    }
  }
  for (const auto& [name, value] : headers.fields()) {
    // "Name;" is how curl sends a header with an empty value.
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    hop.headers = curl_slist_append(hop.headers, line.c_str());
  }
  // curl's own additions that the request did not ask for: a form Content-Type on every body,
  // and an "Expect: 100-continue" wait before larger ones. ("Name:" drops curl's header.)
  for (const char* name : {"Content-Type", "Expect"}) {
    if (!headers.contains(name)) {
      hop.headers = curl_slist_append(hop.headers, (std::string(name) + ":").c_str());
    }
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, hop.headers);
  return true;
}

void URLSessionEngine::admit(std::unique_ptr<Hop>& slot) {
  Hop& hop = *slot;
  int& connections = connectionsPerHost_[hop.hostKey];
  if (connections >= maxConnectionsPerHost_) {
    waiting_.push_back(&hop);
    return;
  }
  // The easy handle (and its buffers) exists only while the hop has a connection.
  if (!configureEasy(hop)) {
    complete(hop.task, urlError(kURLErrorUnknown, hop.request.url(), "curl_easy_init failed"));
    return;
  }
  ++connections;
  hop.inMulti = true;
  running_.push_back(&hop);
  hop.lastActivity = Clock::now();
  curl_multi_add_handle(multi_, hop.easy);
  applyPause(hop);
}

void URLSessionEngine::releaseHop(TaskTransfer& transfer) {
  std::unique_ptr<Hop> hop = std::move(transfer.hop);
  if (!hop) return;
  if (!hop->inMulti) {
    std::erase(waiting_, hop.get());
    return;
  }
  curl_multi_remove_handle(multi_, hop->easy);
  hop->inMulti = false;
  std::erase(running_, hop.get());
  int& connections = connectionsPerHost_[hop->hostKey];
  --connections;
  auto next = std::find_if(waiting_.begin(), waiting_.end(),
                           [&](Hop* waiting) { return waiting->hostKey == hop->hostKey; });
  if (connections == 0 && next == waiting_.end()) connectionsPerHost_.erase(hop->hostKey);
  if (next != waiting_.end()) {
    Hop* admitted = *next;
    waiting_.erase(next);
    admit(admitted->transfer().hop);
  }
}

void URLSessionEngine::applyPause(Hop& hop) {
  if (!hop.inMulti) return;
  TaskTransfer& transfer = hop.transfer();
  bool wanted = hop.task->state() == URLSessionTaskState::Suspended ||
                transfer.awaitingResponseDecision || transfer.backpressured.load();
  if (wanted == hop.paused) return;
  hop.paused = wanted;
  if (!wanted) hop.lastActivity = Clock::now();
  // Unpausing may deliver held-back body bytes through onBody at once.
  curl_easy_pause(hop.easy, wanted ? CURLPAUSE_ALL : CURLPAUSE_CONT);
}

void URLSessionEngine::hopFinished(Hop& finished, CURLcode code) {
  std::shared_ptr<URLSessionTask> task = finished.task;
  TaskTransfer& transfer = *task->transfer_;
  std::optional<Error> failure = std::move(finished.failure);
  if (!failure && code != CURLE_OK) {
    // curl runs out of room for a header line longer than it keeps: a response it cannot parse.
    int64_t urlCode = code == CURLE_OUT_OF_MEMORY && !finished.headersComplete
                          ? kURLErrorCannotParseResponse
                          : urlErrorCodeOf(code);
    failure = urlError(urlCode, finished.request.url(),
                       finished.errorBuffer[0] ? finished.errorBuffer : curl_easy_strerror(code));
  }
  bool wasRedirect = finished.redirect;
  auto response = finished.response;
  Data redirectBody = std::move(finished.redirectBody);
  URLRequest request = finished.request;
  bool answered = finished.headersComplete;
  releaseHop(transfer);  // `finished` is gone from here on

  if (failure) {
    complete(task, std::move(failure));
  } else if (!answered) {
    complete(task, urlError(kURLErrorBadServerResponse, request.url()));
  } else if (wasRedirect) {
    redirect(task, std::move(response), request, std::move(redirectBody));
  } else {
    transferSucceeded(task);
  }
}

// ---------------------------------------------------------------------------------------------
// curl callbacks

size_t URLSessionEngine::onHeader(char* buffer, size_t size, size_t count, void* hopPointer) {
  auto& hop = *static_cast<Hop*>(hopPointer);
  const size_t length = size * count;
  std::string_view line(buffer, length);
  hop.lastActivity = Clock::now();
  hop.headerBytes += length;
  if (!hop.headersComplete && hop.headerBytes > kMaximumHeaderBlockSize) {
    hop.failure = urlError(kURLErrorCannotParseResponse, hop.request.url(),
                           "The response's header block is larger than 256 KiB.");
    return 0;
  }
  if (line.substr(0, 5) == "HTTP/") {
    // A status line starts a new header block: after a 1xx interim response, the real one.
    size_t space = line.find(' ');
    hop.status = space == std::string_view::npos
                     ? 0
                     : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
    hop.responseHeaders = HTTPHeaders();
    hop.headersComplete = false;
    return length;
  }
  if (hop.headersComplete) return length;  // trailers
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.empty()) {
    if (hop.status >= 200) hop.engine->headersComplete(hop);
    return hop.failure ? 0 : length;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return length;
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  hop.responseHeaders.add(line.substr(0, colon), value);
  return length;
}

void URLSessionEngine::headersComplete(Hop& hop) {
  hop.headersComplete = true;
  auto response =
      std::make_shared<const HTTPURLResponse>(hop.request.url(), hop.status, hop.responseHeaders);
  hop.response = response;
  // A declared length past the limit fails before a byte of the body is taken.
  const int64_t declared = response->expectedContentLength();
  if (declared > 0 && passesLimit(*hop.task, static_cast<uint64_t>(declared))) {
    hop.failure = bodyTooLongError(*hop.task, hop.request.url());
    return;
  }
  static constexpr int kRedirectStatuses[] = {301, 302, 303, 307, 308};
  if (std::find(std::begin(kRedirectStatuses), std::end(kRedirectStatuses), hop.status) !=
          std::end(kRedirectStatuses) &&
      response->valueForHTTPHeaderField("Location")) {
    // Decided once the redirect's own body is in, so that the connection can be reused.
    hop.redirect = true;
    return;
  }
  publishResponse(hop.task, response);
}

void URLSessionEngine::publishResponse(const std::shared_ptr<URLSessionTask>& task,
                                       std::shared_ptr<const HTTPURLResponse> response) {
  TaskTransfer& transfer = *task->transfer_;
  {
    MutexLock lock(task->mutex_);
    task->response_ = response;
  }
  task->setCounter(URLSessionTaskCounter::BytesExpectedToReceive,
                   response->expectedContentLength());
  if (task->kind() == URLSessionTask::Kind::Download) {
    if (transfer.fd < 0 && !openDownloadFile(task, *response) && transfer.hop &&
        !transfer.hop->failure) {
      transfer.hop->failure = urlError(kURLErrorCannotCreateFile, response->url());
    }
    return;
  }
  if (transfer.dataCompletion && response->expectedContentLength() > 0) {
    // The whole body is handed over at the end: one buffer of its size, not a growing one
    // copied at each doubling.
    transfer.accumulated.reserve(
        static_cast<size_t>(std::min(response->expectedContentLength(), kMaximumBodyReservation)));
  }
  if (!transfer.delegateSeesData) return;
  transfer.awaitingResponseDecision = true;
  auto answered = std::make_shared<std::atomic<bool>>(false);
  ResponseCompletion completion = [task, answered](URLSessionResponseDisposition disposition) {
    if (answered->exchange(true)) return;
    task->session_->engine_->post(
        [task, disposition] { task->session_->engine_->responseDecided(task, disposition); });
  };
  toDelegate(task, [task, response, completion](URLSessionDelegate& delegate) {
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    if (!delegate.didReceiveResponse(task->session_, dataTask, response, completion)) {
      completion(URLSessionResponseDisposition::Allow);
    }
  });
}

namespace {

// The first byte position of a 206 response's Content-Range ("bytes 100-199/200"); -1 when
// there is none.
int64_t contentRangeStart(const HTTPURLResponse& response) {
  std::optional<std::string> range = response.valueForHTTPHeaderField("Content-Range");
  if (!range || !range->starts_with("bytes ")) return -1;
  char* end = nullptr;
  long long start = std::strtoll(range->c_str() + 6, &end, 10);
  return end != range->c_str() + 6 && *end == '-' ? start : -1;
}

}  // namespace

bool URLSessionEngine::openDownloadFile(const std::shared_ptr<URLSessionTask>& task,
                                        const HTTPURLResponse& response) {
  TaskTransfer& transfer = *task->transfer_;
  auto fail = [&](int64_t code, std::string reason) {
    if (transfer.hop) transfer.hop->failure = urlError(code, response.url(), reason);
    return false;
  };
  if (!transfer.resumeFrom) {
    std::string pattern =
        (URLSession::downloadDirectory() / kURLSessionDownloadFilePrefix).string() + "XXXXXX";
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return fail(kURLErrorCannotCreateFile, std::strerror(errno));
    // Held while the file is being written, so that setDownloadDirectory in another process
    // leaves it alone.
    ::flock(fd, LOCK_EX | LOCK_NB);
    transfer.fd = fd;
    transfer.downloadPath = pattern;
    return true;
  }

  const ResumeData& from = *transfer.resumeFrom;
  int fd = ::open(from.localPath.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return fail(kURLErrorCannotOpenFile,
                "The partial download file " + from.localPath.string() + " is gone.");
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return fail(kURLErrorCannotOpenFile, "Another download writes " + from.localPath.string());
  }
  transfer.fd = fd;
  transfer.downloadPath = from.localPath;
  // A 206 for the range asked for goes on after the bytes kept; any other answer (the
  // validator changed, or the server ignores ranges) is the whole body again.
  int64_t offset = 0;
  if (response.statusCode() == 206) {
    if (contentRangeStart(response) != from.bytesReceived) {
      return fail(kURLErrorBadServerResponse, "The server sent another range than asked for.");
    }
    offset = from.bytesReceived;
  }
  if (::ftruncate(fd, offset) != 0 || ::lseek(fd, offset, SEEK_SET) < 0) {
    return fail(kURLErrorCannotWriteToFile, std::strerror(errno));
  }
  transfer.fileSize = offset;
  const int64_t length = response.expectedContentLength();
  const int64_t total = length < 0 ? kURLSessionTransferSizeUnknown : offset + length;
  task->setCounter(URLSessionTaskCounter::BytesReceived, offset);
  task->setCounter(URLSessionTaskCounter::BytesExpectedToReceive, total);
  toDelegate(task, [task, offset, total](URLSessionDelegate& delegate) {
    task->transfer_->reportedReceived = offset;
    delegate.didResumeAtOffset(
        task->session_, std::static_pointer_cast<URLSessionDownloadTask>(task), offset, total);
  });
  return true;
}

std::optional<Data> URLSessionEngine::resumeDataOf(const std::shared_ptr<URLSessionTask>& task,
                                                   const std::filesystem::path& file) {
  const TaskTransfer& transfer = *task->transfer_;
  auto response = std::dynamic_pointer_cast<const HTTPURLResponse>(task->response());
  URLRequest request = task->currentRequest();
  if (!response || transfer.fileSize <= 0 || request.HTTPMethod() != "GET" ||
      (response->statusCode() != 200 && response->statusCode() != 206)) {
    return std::nullopt;
  }
  ResumeData resumeData{request.url(), transfer.fileSize, std::nullopt, std::nullopt, file};
  // If-Range takes only a strong entity tag.
  std::optional<std::string> tag = response->valueForHTTPHeaderField("ETag");
  if (tag && !tag->starts_with("W/")) resumeData.entityTag = std::move(tag);
  resumeData.lastModified = response->valueForHTTPHeaderField("Last-Modified");
  if (resumeData.validator().empty()) return std::nullopt;
  return encodeResumeData(resumeData);
}

void URLSessionEngine::responseDecided(const std::shared_ptr<URLSessionTask>& task,
                                       URLSessionResponseDisposition disposition) {
  TaskTransfer& transfer = *task->transfer_;
  if (transfer.completed) return;
  transfer.awaitingResponseDecision = false;
  if (disposition != URLSessionResponseDisposition::Allow) {
    complete(task, urlError(kURLErrorCancelled, task->currentRequest().url()));
  } else if (transfer.transferDone) {
    transferSucceeded(task);
  } else if (transfer.hop) {
    applyPause(*transfer.hop);
  }
}

size_t URLSessionEngine::onBody(char* buffer, size_t size, size_t count, void* hopPointer) {
  auto& hop = *static_cast<Hop*>(hopPointer);
  const size_t length = size * count;
  hop.lastActivity = Clock::now();
  if (hop.redirect) {
    if (passesLimit(*hop.task, hop.redirectBody.size() + length)) {
      hop.failure = bodyTooLongError(*hop.task, hop.request.url());
      return 0;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(buffer);
    hop.redirectBody.insert(hop.redirectBody.end(), bytes, bytes + length);
    return length;
  }
  TaskTransfer& transfer = hop.transfer();
  if (transfer.awaitingResponseDecision || transfer.backpressured ||
      hop.task->state() == URLSessionTaskState::Suspended) {
    // curl keeps these bytes and hands them over again once applyPause lets it go on.
    hop.paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  return hop.engine->deliverBody(hop.task, buffer, length) ? length : 0;
}

bool URLSessionEngine::deliverBody(const std::shared_ptr<URLSessionTask>& task, const char* bytes,
                                   size_t count) {
  TaskTransfer& transfer = *task->transfer_;
  if (passesLimit(*task, static_cast<uint64_t>(task->countOfBytesReceived()) + count)) {
    if (transfer.hop) transfer.hop->failure = bodyTooLongError(*task, task->currentRequest().url());
    return false;
  }
  if (task->kind() == URLSessionTask::Kind::Download) {
    if (!bufferDownload(transfer, reinterpret_cast<const uint8_t*>(bytes), count)) {
      if (transfer.hop) {
        transfer.hop->failure = urlError(kURLErrorCannotWriteToFile, task->currentRequest().url(),
                                         std::strerror(errno));
      }
      return false;
    }
  } else if (transfer.dataCompletion) {
    const auto* first = reinterpret_cast<const uint8_t*>(bytes);
    transfer.accumulated.insert(transfer.accumulated.end(), first, first + count);
  } else if (transfer.delegateSeesData) {
    queueData(task, reinterpret_cast<const uint8_t*>(bytes), count);
  }
  task->setCounter(URLSessionTaskCounter::BytesReceived,
                   task->countOfBytesReceived() + static_cast<int64_t>(count));
  if (task->kind() == URLSessionTask::Kind::Download && !transfer.downloadCompletion) {
    reportReceived(task, static_cast<int64_t>(count));
  }
  return true;
}

bool URLSessionEngine::writeToFile(TaskTransfer& transfer, const uint8_t* bytes, size_t count) {
  for (size_t written = 0; written < count;) {
    ssize_t result = ::write(transfer.fd, bytes + written, count - written);
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) return false;
    written += static_cast<size_t>(result);
  }
  transfer.fileSize += static_cast<int64_t>(count);
  return true;
}

bool URLSessionEngine::bufferDownload(TaskTransfer& transfer, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    if (transfer.unwritten.empty() && count >= kWriteBlockSize) {
      return writeToFile(transfer, bytes, count);
    }
    if (transfer.unwritten.capacity() < kWriteBlockSize)
      transfer.unwritten.reserve(kWriteBlockSize);
    const size_t taken = std::min(count, kWriteBlockSize - transfer.unwritten.size());
    transfer.unwritten.insert(transfer.unwritten.end(), bytes, bytes + taken);
    bytes += taken;
    count -= taken;
    if (transfer.unwritten.size() == kWriteBlockSize && !writeOut(transfer)) return false;
  }
  return true;
}

bool URLSessionEngine::writeOut(TaskTransfer& transfer) {
  if (transfer.unwritten.empty() || transfer.fd < 0) return true;
  bool written = writeToFile(transfer, transfer.unwritten.data(), transfer.unwritten.size());
  transfer.unwritten.clear();
  return written;
}

// Body bytes and progress reach the delegate in batches: bytes are appended to one pending
// piece and counts to pending totals, and one queued call hands over what has gathered. A batch
// goes when a piece is large, else within kDeliveryDelay, and always before the completion; a
// delegate that falls behind gets fewer, larger pieces and reports, and the transfer pauses
// while too many body bytes wait. Waking the delegate queue for every socket read would cost
// more than the bytes themselves.
void URLSessionEngine::queueData(const std::shared_ptr<URLSessionTask>& task, const uint8_t* bytes,
                                 size_t count) {
  TaskTransfer& transfer = *task->transfer_;
  size_t pending;
  {
    MutexLock lock(transfer.pendingMutex);
    if (transfer.pendingData.capacity() == 0) transfer.pendingData.swap(transfer.spareData);
    // Room for all that may gather before the transfer pauses, so that the buffer is never
    // copied into a larger one; only the pages that get filled cost memory.
    if (transfer.pendingData.capacity() == 0) {
      transfer.pendingData.reserve(kDataInFlightHighWater + kReceiveBufferSize);
    }
    transfer.pendingData.insert(transfer.pendingData.end(), bytes, bytes + count);
    pending = transfer.pendingData.size();
  }
  const auto size = static_cast<int64_t>(count);
  if (transfer.dataInFlight.fetch_add(size) + size > kDataInFlightHighWater) {
    transfer.backpressured = true;
    // The delegate may have drained the bytes below the low water between the two steps above
    // and found no pause to lift; nothing would lift it later, and a paused transfer has no
    // inactivity timeout: the task would hang. Then the pause does not start.
    if (transfer.dataInFlight.load() <= kDataInFlightLowWater) transfer.backpressured = false;
  }
  if (pending >= kDeliveryPieceSize) {
    postData(task);
  } else {
    scheduleFlush(task);
  }
}

void URLSessionEngine::reportReceived(const std::shared_ptr<URLSessionTask>& task, int64_t count) {
  task->transfer_->unreportedReceived += count;
  scheduleFlush(task);
}

void URLSessionEngine::reportSent(const std::shared_ptr<URLSessionTask>& task, int64_t count) {
  task->transfer_->unreportedSent += count;
  scheduleFlush(task);
}

void URLSessionEngine::scheduleFlush(const std::shared_ptr<URLSessionTask>& task) {
  TaskTransfer& transfer = *task->transfer_;
  if (transfer.flushScheduled || transfer.completed) return;
  transfer.flushScheduled = true;
  transfer.flushDeadline = Clock::now() + kDeliveryDelay;
  unflushed_.push_back(task);
}

Clock::time_point URLSessionEngine::flushDue() {
  const Clock::time_point now = Clock::now();
  Clock::time_point next = Clock::time_point::max();
  std::erase_if(unflushed_, [&](const std::shared_ptr<URLSessionTask>& task) {
    TaskTransfer& transfer = *task->transfer_;
    if (!transfer.flushScheduled) return true;
    if (transfer.flushDeadline > now) {
      next = std::min(next, transfer.flushDeadline);
      return false;
    }
    flush(task);
    return true;
  });
  return next;
}

void URLSessionEngine::flush(const std::shared_ptr<URLSessionTask>& task) {
  TaskTransfer& transfer = *task->transfer_;
  transfer.flushScheduled = false;
  postData(task);
  if (transfer.unreportedReceived > 0 && !transfer.receiveReportQueued.exchange(true)) {
    toDelegate(task, [task](URLSessionDelegate& delegate) {
      TaskTransfer& transfer = *task->transfer_;
      transfer.receiveReportQueued = false;
      int64_t bytes = transfer.unreportedReceived.exchange(0);
      if (bytes == 0) return;
      transfer.reportedReceived += bytes;
      delegate.didWriteData(task->session_, std::static_pointer_cast<URLSessionDownloadTask>(task),
                            bytes, transfer.reportedReceived,
                            task->countOfBytesExpectedToReceive());
    });
  }
  if (transfer.unreportedSent > 0 && !transfer.sendReportQueued.exchange(true)) {
    toDelegate(task, [task](URLSessionDelegate& delegate) {
      TaskTransfer& transfer = *task->transfer_;
      transfer.sendReportQueued = false;
      int64_t bytes = transfer.unreportedSent.exchange(0);
      if (bytes == 0) return;
      transfer.reportedSent += bytes;
      delegate.didSendBodyData(task->session_, task, bytes, transfer.reportedSent,
                               task->countOfBytesExpectedToSend());
    });
  }
}

void URLSessionEngine::postData(const std::shared_ptr<URLSessionTask>& task) {
  TaskTransfer& transfer = *task->transfer_;
  {
    MutexLock lock(transfer.pendingMutex);
    if (transfer.pendingData.empty() || transfer.deliveryQueued) return;
    transfer.deliveryQueued = true;
  }
  task->session_->delegateQueue_->async([task] {
    TaskTransfer& transfer = *task->transfer_;
    Data piece;
    {
      MutexLock lock(transfer.pendingMutex);
      piece.swap(transfer.pendingData);
      transfer.deliveryQueued = false;
    }
    if (auto delegate = task->session_->delegate()) {
      delegate->didReceiveData(task->session_, std::static_pointer_cast<URLSessionDataTask>(task),
                               piece);
    }
    const auto size = static_cast<int64_t>(piece.size());
    piece.clear();
    {
      MutexLock lock(transfer.pendingMutex);
      if (transfer.spareData.capacity() < piece.capacity()) transfer.spareData.swap(piece);
    }
    if (transfer.dataInFlight.fetch_sub(size) - size <= kDataInFlightLowWater &&
        transfer.backpressured.exchange(false)) {
      task->session_->engine_->post([task] { task->session_->engine_->pump(task); });
    }
  });
}

size_t URLSessionEngine::onReadBody(char* buffer, size_t size, size_t count, void* hopPointer) {
  auto& hop = *static_cast<Hop*>(hopPointer);
  hop.lastActivity = Clock::now();
  Error error;
  int64_t read = hop.body->read(reinterpret_cast<uint8_t*>(buffer), size * count, &error);
  if (read < 0) {
    hop.failure = urlError(kURLErrorRequestBodyStreamExhausted, hop.request.url(),
                           error.localizedDescription());
    return CURL_READFUNC_ABORT;
  }
  if (read > 0) {
    hop.task->setCounter(URLSessionTaskCounter::BytesSent, hop.task->countOfBytesSent() + read);
    hop.engine->reportSent(hop.task, read);
  }
  return static_cast<size_t>(read);
}

int URLSessionEngine::onSeekBody(void* hopPointer, curl_off_t offset, int origin) {
  // curl rewinds when it sends the body again (a reused connection that had closed).
  auto& hop = *static_cast<Hop*>(hopPointer);
  TaskTransfer& transfer = hop.transfer();
  if (offset != 0 || origin != SEEK_SET || transfer.bodySource == BodySource::Stream) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
  hop.body = transfer.body->copy();
  return CURL_SEEKFUNC_OK;
}

// ---------------------------------------------------------------------------------------------
// Redirects and completion

void URLSessionEngine::redirect(const std::shared_ptr<URLSessionTask>& task,
                                std::shared_ptr<const HTTPURLResponse> response,
                                const URLRequest& request, Data body) {
  TaskTransfer& transfer = *task->transfer_;
  std::optional<URL> target =
      URL::resolve(*response->valueForHTTPHeaderField("Location"), request.url());
  if (!target) {
    // A Location that is no URL: the response stands as the answer.
    redirectDecided(task, std::nullopt, std::move(response), std::move(body));
    return;
  }
  if (++transfer.redirectCount > kMaximumRedirects) {
    complete(task, urlError(kURLErrorHTTPTooManyRedirects, request.url()));
    return;
  }
  if (leavesSecureTransport(*task, *target)) {
    complete(task, insecureRedirectError(*target));
    return;
  }
  URLRequest next = request;
  next.setURL(*target);
  const int status = response->statusCode();
  const std::string& method = request.HTTPMethod();
  if ((status == 303 && method != "HEAD") ||
      ((status == 301 || status == 302) && method == "POST")) {
    next.setHTTPMethod("GET");
    next.setHTTPBody(std::nullopt);
    next.setHTTPBodyStream(nullptr);
    next.setValue(std::nullopt, "Content-Type");
    next.setValue(std::nullopt, "Content-Length");
  }
  if (!task->session_->delegate()) {
    redirectDecided(task, std::move(next), std::move(response), std::move(body));
    return;
  }
  auto answered = std::make_shared<std::atomic<bool>>(false);
  auto shared = std::make_shared<Data>(std::move(body));
  RedirectCompletion completion = [task, response, shared,
                                   answered](std::optional<URLRequest> chosen) {
    if (answered->exchange(true)) return;
    task->session_->engine_->post([task, chosen = std::move(chosen), response, shared] {
      task->session_->engine_->redirectDecided(task, chosen, response, std::move(*shared));
    });
  };
  toDelegate(task, [task, response, next, completion](URLSessionDelegate& delegate) {
    if (!delegate.willPerformHTTPRedirection(task->session_, task, response, next, completion)) {
      completion(next);
    }
  });
}

void URLSessionEngine::redirectDecided(const std::shared_ptr<URLSessionTask>& task,
                                       std::optional<URLRequest> chosen,
                                       std::shared_ptr<const HTTPURLResponse> response, Data body) {
  TaskTransfer& transfer = *task->transfer_;
  if (transfer.completed) return;
  if (!chosen) {
    transfer.pendingBody = std::move(body);
    publishResponse(task, std::move(response));
    transferSucceeded(task);
    return;
  }
  if (leavesSecureTransport(*task, chosen->url())) {
    complete(task, insecureRedirectError(chosen->url()));
    return;
  }
  if (chosen->HTTPMethod() == "GET" && !chosen->HTTPBody() && !chosen->HTTPBodyStream()) {
    transfer.bodyDropped = true;
  }
  {
    MutexLock lock(task->mutex_);
    task->currentRequest_ = *chosen;
  }
  sendRequest(task, std::move(*chosen), false);
}

void URLSessionEngine::transferSucceeded(const std::shared_ptr<URLSessionTask>& task) {
  TaskTransfer& transfer = *task->transfer_;
  if (transfer.awaitingResponseDecision) {
    transfer.transferDone = true;
    return;
  }
  if (!transfer.pendingBody.empty()) {
    Data body = std::move(transfer.pendingBody);
    transfer.pendingBody.clear();
    if (!deliverBody(task, reinterpret_cast<const char*>(body.data()), body.size())) {
      complete(task, urlError(kURLErrorCannotWriteToFile, task->currentRequest().url()));
      return;
    }
  }
  if (!writeOut(transfer)) {
    complete(task, urlError(kURLErrorCannotWriteToFile, task->currentRequest().url(),
                            std::strerror(errno)));
    return;
  }
  complete(task, std::nullopt);
}

void URLSessionEngine::complete(std::shared_ptr<URLSessionTask> task, std::optional<Error> error) {
  TaskTransfer& transfer = *task->transfer_;
  if (transfer.completed) return;
  transfer.completed = true;
  // What the delegate has not been handed yet comes before the end.
  if (transfer.flushScheduled) std::erase(unflushed_, task);
  flush(task);
  releaseHop(transfer);
  transfer.nextRequest.reset();
  transfer.nextBody = nullptr;
  // What arrived before a failure belongs in the partial file, for its resume data.
  if (error) writeOut(transfer);
  Data().swap(transfer.unwritten);
  if (transfer.fd >= 0) {
    ::close(transfer.fd);
    transfer.fd = -1;
  }
  {
    MutexLock lock(task->mutex_);
    // A cancel that raced with the end of the transfer wins.
    if (!error && task->state_ == URLSessionTaskState::Canceling) {
      error = urlError(kURLErrorCancelled, task->currentRequest_.url());
    }
  }
  std::filesystem::path file = std::move(transfer.downloadPath);
  std::optional<Data> resumeData;
  if (error && !file.empty()) {
    // A plain cancel() wants the file gone; a failure, or a cancel that asks for resume data,
    // keeps it for a later task when the download can go on.
    // A body that passed its limit is not worth going on with.
    if ((error->code != kURLErrorCancelled || transfer.resumeDataHandler) &&
        error->code != kURLErrorDataLengthExceedsMaximum) {
      resumeData = resumeDataOf(task, file);
    }
    if (resumeData) {
      if (Dictionary* userInfo = error->userInfo.asDictionary()) {
        (*userInfo)[kURLSessionDownloadTaskResumeData] = *resumeData;
      }
    } else {
      std::error_code ignored;
      std::filesystem::remove(file, ignored);
    }
    file.clear();
  }
  {
    MutexLock lock(task->mutex_);
    task->state_ = URLSessionTaskState::Completed;
    task->error_ = error;
  }
  if (transfer.resumeDataHandler) {
    task->session_->delegateQueue_->async(
        [handler = std::move(transfer.resumeDataHandler), resumeData] { handler(resumeData); });
    transfer.resumeDataHandler = nullptr;
  }
  active_.erase(task->identifier_);

  task->session_->delegateQueue_->async([task, error, file] {
    TaskTransfer& transfer = *task->transfer_;
    const std::shared_ptr<URLSession>& session = task->session_;
    std::shared_ptr<URLSessionDelegate> delegate = session->delegate();
    std::shared_ptr<const URLResponse> response = task->response();
    if (task->kind() == URLSessionTask::Kind::Download) {
      auto downloadTask = std::static_pointer_cast<URLSessionDownloadTask>(task);
      std::optional<URL> location;
      if (!file.empty()) location = URL::fileURLWithPath(file);
      if (transfer.downloadCompletion) {
        transfer.downloadCompletion(location, response, error);
      } else if (delegate) {
        if (location) delegate->didFinishDownloading(session, downloadTask, *location);
      }
      if (!file.empty()) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
      }
      if (!transfer.downloadCompletion && delegate) {
        delegate->didCompleteWithError(session, task, error);
      }
      return;
    }
    if (transfer.dataCompletion) {
      std::optional<Data> data;
      if (!error) data = std::move(transfer.accumulated);
      transfer.dataCompletion(data, response, error);
    } else if (delegate) {
      delegate->didCompleteWithError(session, task, error);
    }
  });
  task->session_->finishInvalidationIfIdle();
}

}  // namespace os::internal
