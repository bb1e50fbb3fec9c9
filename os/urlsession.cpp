#include "os/urlsession.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <unordered_map>

#include "os/internal/server_trust.h"
#include "os/log.h"
#include "os/paths.h"

namespace os {

// ---------------------------------------------------------------------------------------------
// Configuration and delegate defaults

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() { return {}; }

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
  URLSessionConfiguration configuration;
  configuration.ephemeral_ = true;
  return configuration;
}

URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfiguration(
    std::string identifier) {
  URLSessionConfiguration configuration;
  configuration.identifier_ = std::move(identifier);
  return configuration;
}

void URLSessionDelegate::didBecomeInvalid(const std::shared_ptr<URLSession>&,
                                          const std::optional<Error>&) {}
bool URLSessionDelegate::didReceiveChallenge(const std::shared_ptr<URLSession>&,
                                             const URLAuthenticationChallenge&,
                                             ChallengeCompletion) {
  return false;
}
bool URLSessionDelegate::taskDidReceiveChallenge(const std::shared_ptr<URLSession>&,
                                                 const std::shared_ptr<URLSessionTask>&,
                                                 const URLAuthenticationChallenge&,
                                                 ChallengeCompletion) {
  return false;
}
bool URLSessionDelegate::willPerformHTTPRedirection(const std::shared_ptr<URLSession>&,
                                                    const std::shared_ptr<URLSessionTask>&,
                                                    const std::shared_ptr<const HTTPURLResponse>&,
                                                    const URLRequest&, RedirectCompletion) {
  return false;
}
bool URLSessionDelegate::needNewBodyStream(const std::shared_ptr<URLSession>&,
                                           const std::shared_ptr<URLSessionTask>&,
                                           BodyStreamCompletion) {
  return false;
}
void URLSessionDelegate::didSendBodyData(const std::shared_ptr<URLSession>&,
                                         const std::shared_ptr<URLSessionTask>&, int64_t, int64_t,
                                         int64_t) {}
void URLSessionDelegate::didCompleteWithError(const std::shared_ptr<URLSession>&,
                                              const std::shared_ptr<URLSessionTask>&,
                                              const std::optional<Error>&) {}
bool URLSessionDelegate::didReceiveResponse(const std::shared_ptr<URLSession>&,
                                            const std::shared_ptr<URLSessionDataTask>&,
                                            const std::shared_ptr<const URLResponse>&,
                                            ResponseCompletion) {
  return false;
}
void URLSessionDelegate::didReceiveData(const std::shared_ptr<URLSession>&,
                                        const std::shared_ptr<URLSessionDataTask>&, const Data&) {}
void URLSessionDelegate::didWriteData(const std::shared_ptr<URLSession>&,
                                      const std::shared_ptr<URLSessionDownloadTask>&, int64_t,
                                      int64_t, int64_t) {}
void URLSessionDelegate::didFinishDownloading(const std::shared_ptr<URLSession>&,
                                              const std::shared_ptr<URLSessionDownloadTask>&,
                                              const URL&) {}

namespace internal {
namespace {

using Clock = MonotonicClock;

// Redirects followed for one task before it fails, as the platform limits them.
constexpr int kMaximumRedirects = 16;
// Body bytes of a data task that may wait on the delegate queue before the transfer pauses, and
// the level at which it goes on again: a slow delegate must not fill the memory.
constexpr int64_t kDataInFlightHighWater = 2 << 20;
constexpr int64_t kDataInFlightLowWater = 512 << 10;
// Batches of body bytes and progress for the delegate (see queueData).
constexpr size_t kDeliveryPieceSize = 1 << 20;
constexpr auto kDeliveryDelay = std::chrono::milliseconds(5);
// curl's receive buffer: large pieces mean fewer callbacks and fewer delegate blocks.
constexpr long kReceiveBufferSize = 512 << 10;
constexpr long kUploadBufferSize = 256 << 10;

std::string descriptionOfURLError(int64_t code, const URL& url) {
  switch (code) {
    case kURLErrorCancelled:
      return "cancelled";
    case kURLErrorBadURL:
      return "bad URL";
    case kURLErrorTimedOut:
      return "The request timed out.";
    case kURLErrorUnsupportedURL:
      return "unsupported URL";
    case kURLErrorCannotFindHost:
      return "A server with the specified hostname could not be found.";
    case kURLErrorCannotConnectToHost:
      return "Could not connect to the server.";
    case kURLErrorNetworkConnectionLost:
      return "The network connection was lost.";
    case kURLErrorHTTPTooManyRedirects:
      return "too many HTTP redirects";
    case kURLErrorBadServerResponse:
      return "bad server response";
    case kURLErrorCannotDecodeContentData:
      return "cannot decode raw data";
    case kURLErrorCannotParseResponse:
      return "cannot parse response";
    case kURLErrorRequestBodyStreamExhausted:
      return "request body stream exhausted";
    case kURLErrorFileDoesNotExist:
      return "The requested URL was not found on this server.";
    case kURLErrorSecureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case kURLErrorServerCertificateUntrusted:
      return "The certificate for this server is invalid. You might be connecting to a server "
             "that is pretending to be \u201c" +
             url.host() + "\u201d which could put your confidential information at risk.";
    case kURLErrorCannotCreateFile:
      return "cannot create file";
    case kURLErrorCannotWriteToFile:
      return "cannot write file";
    default:
      return "unknown error";
  }
}

// An error of kURLErrorDomain for a request to `url`; `reason` (curl's or OpenSSL's words) goes
// to the user info for logs.
Error urlError(int64_t code, const URL& url, std::string_view reason = {}) {
  std::string description = descriptionOfURLError(code, url);
  Dictionary userInfo{{kURLErrorFailingURLStringKey, url.absoluteString()},
                      {"NSLocalizedDescription", description}};
  if (!reason.empty()) userInfo["NSDebugDescription"] = std::string(reason);
  return Error(kURLErrorDomain, code, std::move(description), std::move(userInfo));
}

int64_t urlErrorCodeOf(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kURLErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT:
      return kURLErrorBadURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return kURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return kURLErrorTimedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return kURLErrorSecureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return kURLErrorServerCertificateUntrusted;
    case CURLE_BAD_CONTENT_ENCODING:
      return kURLErrorCannotDecodeContentData;
    case CURLE_WEIRD_SERVER_REPLY:
      return kURLErrorBadServerResponse;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return kURLErrorNetworkConnectionLost;
    case CURLE_READ_ERROR:
      return kURLErrorRequestBodyStreamExhausted;
    case CURLE_WRITE_ERROR:
      return kURLErrorCannotWriteToFile;
    default:
      return kURLErrorUnknown;
  }
}

void initializeCurlOnce() {
  static DispatchOnce once;
  once([] { curl_global_init(CURL_GLOBAL_DEFAULT); });
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

// A challenge the transfer thread waits on while the delegate decides.
struct ChallengeAnswer {
  std::mutex mutex;
  std::condition_variable changed;
  bool answered = false;   // guarded by mutex
  bool cancelled = false;  // guarded by mutex; the task was cancelled meanwhile
  URLSessionAuthChallengeDisposition disposition =
      URLSessionAuthChallengeDisposition::PerformDefaultHandling;  // guarded by mutex
  std::optional<URLCredential> credential;                         // guarded by mutex
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
  std::mutex challengeMutex;
  bool cancelRequested = false;                       // guarded by challengeMutex
  std::shared_ptr<ChallengeAnswer> pendingChallenge;  // guarded by challengeMutex

  // Shared by the transfer thread and the delegate queue.
  std::mutex pendingMutex;
  Data pendingData;             // guarded by pendingMutex; body bytes not yet handed over
  Data spareData;               // guarded by pendingMutex; an emptied buffer to fill next
  bool deliveryQueued = false;  // guarded by pendingMutex
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
  explicit URLSessionEngine(const URLSessionConfiguration& configuration)
      : maxConnectionsPerHost_(std::max(1, configuration.HTTPMaximumConnectionsPerHost())),
        requestTimeout_(configuration.timeoutIntervalForRequest()),
        resourceTimeout_(configuration.timeoutIntervalForResource()) {
    initializeCurlOnce();
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, long(maxConnectionsPerHost_));
  }

  ~URLSessionEngine() { curl_multi_cleanup(multi_); }

  // Runs `command` on the transfer thread, starting the thread on first use. Thread-safe.
  void post(std::function<void()> command) {
    {
      std::lock_guard lock(mutex_);
      if (exited_) return;
      commands_.push_back(std::move(command));
      if (!threadStarted_) {
        threadStarted_ = true;
        std::thread([self = shared_from_this()] { self->run(); }).detach();
        return;
      }
    }
    curl_multi_wakeup(multi_);
  }

  // Lets the thread end once no task is active. Thread-safe.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      if (!threadStarted_) return;
    }
    curl_multi_wakeup(multi_);
  }

  // Commands, on the transfer thread.
  void resumeTask(const std::shared_ptr<URLSessionTask>& task);
  void suspendTask(const std::shared_ptr<URLSessionTask>& task);
  void cancelTask(const std::shared_ptr<URLSessionTask>& task);

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
  void run();
  void runCommands();
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
  void responseDecided(const std::shared_ptr<URLSessionTask>& task,
                       URLSessionResponseDisposition disposition);
  bool deliverBody(const std::shared_ptr<URLSessionTask>& task, const char* bytes, size_t count);
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
  void complete(const std::shared_ptr<URLSessionTask>& task, std::optional<Error> error);

  // Runs `call` on the task's delegate queue with the session's delegate, when there is one.
  static void toDelegate(const std::shared_ptr<URLSessionTask>& task,
                         std::function<void(URLSessionDelegate&)> call);

  const int maxConnectionsPerHost_;
  const double requestTimeout_;
  const double resourceTimeout_;
  CURLM* multi_ = nullptr;

  std::mutex mutex_;
  std::vector<std::function<void()>> commands_;  // guarded by mutex_
  bool threadStarted_ = false;                   // guarded by mutex_
  bool stopping_ = false;                        // guarded by mutex_
  bool exited_ = false;                          // guarded by mutex_

  // Transfer thread.
  std::map<uint64_t, std::shared_ptr<URLSessionTask>> active_;
  std::map<std::string, int> connectionsPerHost_;
  std::vector<Hop*> running_;  // the hops in multi_
  Clock::time_point nextSweep_;
  std::vector<std::shared_ptr<URLSessionTask>> unflushed_;
  std::deque<Hop*> waiting_;
};

namespace {

// The server trust of one TLS handshake needs the task that started the connection; the link
// lives with the connection's SSL context and is freed with it.
struct HandshakeLink {
  std::weak_ptr<URLSessionTask> task;
  URLSessionEngine* engine;
  std::string host;
  int port;
};

void freeHandshakeLink(void*, void* link, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<HandshakeLink*>(link);
}

int handshakeLinkIndex() {
  static const int index =
      SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeHandshakeLink);
  return index;
}

// OpenSSL's verification of the peer's chain, replaced by ours: decided while the handshake
// runs, so a refused server never sees a byte of the request.
int verifyPeerChain(X509_STORE_CTX* context, void* argument) {
  auto* link = static_cast<HandshakeLink*>(argument);
  auto trust = std::make_shared<ServerTrust>(peerChainOf(context), link->host);
  bool accepted;
  if (std::shared_ptr<URLSessionTask> task = link->task.lock()) {
    accepted = link->engine->decideTrust(task, trust, link->port);
  } else {
    // A renegotiation on a connection whose task is gone: no delegate to ask.
    accepted = trust->evaluate(link->host);
  }
  X509_STORE_CTX_set_error(context, accepted ? X509_V_OK : X509_V_ERR_APPLICATION_VERIFICATION);
  return accepted ? 1 : 0;
}

}  // namespace

CURLcode URLSessionEngine::onSslContext(CURL*, void* context, void* hopPointer) {
  auto& hop = *static_cast<Hop*>(hopPointer);
  auto* sslContext = static_cast<SSL_CTX*>(context);
  auto* link = new HandshakeLink{hop.task, hop.engine, hop.request.url().host(),
                                 hop.request.url().effectivePort().value_or(443)};
  delete static_cast<HandshakeLink*>(SSL_CTX_get_ex_data(sslContext, handshakeLinkIndex()));
  SSL_CTX_set_ex_data(sslContext, handshakeLinkIndex(), link);
  // curl's own verification is off (it would check a chain that the delegate may accept);
  // this callback is the verification, and it must be able to stop the handshake.
  SSL_CTX_set_verify(sslContext, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_cert_verify_callback(sslContext, verifyPeerChain, link);
  return CURLE_OK;
}

bool URLSessionEngine::decideTrust(const std::shared_ptr<URLSessionTask>& task,
                                   const std::shared_ptr<ServerTrust>& trust, int port) {
  TaskTransfer& transfer = *task->transfer_;
  const URL url = task->currentRequest().url();
  auto refuse = [&](Error error) {
    if (transfer.hop && !transfer.hop->failure) transfer.hop->failure = std::move(error);
    return false;
  };

  URLAuthenticationChallenge challenge{
      URLProtectionSpace{trust->host(), port, "https", kURLAuthenticationMethodServerTrust}, trust,
      0};
  auto disposition = URLSessionAuthChallengeDisposition::PerformDefaultHandling;
  std::optional<URLCredential> credential;
  if (task->session_->delegate()) {
    auto answer = std::make_shared<ChallengeAnswer>();
    {
      std::lock_guard lock(transfer.challengeMutex);
      if (transfer.cancelRequested) return refuse(urlError(kURLErrorCancelled, url));
      transfer.pendingChallenge = answer;
    }
    toDelegate(task, [task, challenge, answer](URLSessionDelegate& delegate) {
      auto answered = std::make_shared<std::atomic<bool>>(false);
      ChallengeCompletion completion = [answer, answered](
                                           URLSessionAuthChallengeDisposition disposition,
                                           std::optional<URLCredential> credential) {
        if (answered->exchange(true)) return;
        std::lock_guard lock(answer->mutex);
        answer->answered = true;
        answer->disposition = disposition;
        answer->credential = std::move(credential);
        answer->changed.notify_all();
      };
      const auto& session = task->session_;
      if (delegate.didReceiveChallenge(session, challenge, completion)) return;
      if (delegate.taskDidReceiveChallenge(session, task, challenge, completion)) return;
      completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    });
    std::unique_lock lock(answer->mutex);
    answer->changed.wait(lock, [&] { return answer->answered || answer->cancelled; });
    {
      std::lock_guard transferLock(transfer.challengeMutex);
      transfer.pendingChallenge = nullptr;
    }
    if (answer->cancelled) return refuse(urlError(kURLErrorCancelled, url));
    disposition = answer->disposition;
    credential = answer->credential;
    // The time spent deciding is not the server's inactivity.
    if (transfer.hop) transfer.hop->lastActivity = Clock::now();
  }

  switch (disposition) {
    case URLSessionAuthChallengeDisposition::UseCredential:
      if (credential && credential->serverTrust) return true;
      break;
    case URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge:
      return refuse(urlError(kURLErrorCancelled, url));
    case URLSessionAuthChallengeDisposition::PerformDefaultHandling:
    case URLSessionAuthChallengeDisposition::RejectProtectionSpace:
      break;
  }
  Error reason;
  if (trust->evaluate(trust->host(), &reason)) return true;
  return refuse(urlError(kURLErrorServerCertificateUntrusted, url, reason.description));
}

void URLSessionEngine::toDelegate(const std::shared_ptr<URLSessionTask>& task,
                                  std::function<void(URLSessionDelegate&)> call) {
  task->session_->delegateQueue_->async([task, call = std::move(call)] {
    if (std::shared_ptr<URLSessionDelegate> delegate = task->session_->delegate()) call(*delegate);
  });
}

// ---------------------------------------------------------------------------------------------
// The loop

void URLSessionEngine::run() {
  while (true) {
    runCommands();
    {
      std::lock_guard lock(mutex_);
      if (stopping_ && active_.empty() && commands_.empty()) {
        exited_ = true;
        break;
      }
    }
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

void URLSessionEngine::runCommands() {
  std::vector<std::function<void()>> commands;
  {
    std::lock_guard lock(mutex_);
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
    sendRequest(task, task->currentRequest(), true);
    return;
  }
  pump(task);
}

void URLSessionEngine::suspendTask(const std::shared_ptr<URLSessionTask>& task) {
  TaskTransfer& transfer = *task->transfer_;
  if (transfer.hop) applyPause(*transfer.hop);
}

void URLSessionEngine::cancelTask(const std::shared_ptr<URLSessionTask>& task) {
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
    failure = urlError(urlErrorCodeOf(code), finished.request.url(),
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
    std::lock_guard lock(task->mutex_);
    task->response_ = response;
  }
  task->setCounter(URLSessionTaskCounter::BytesExpectedToReceive,
                   response->expectedContentLength());
  if (task->kind() == URLSessionTask::Kind::Download) {
    if (transfer.fd < 0) {
      std::string pattern = (paths::temporary() / "URLSessionDownload-XXXXXX").string();
      transfer.fd = ::mkostemp(pattern.data(), O_CLOEXEC);
      if (transfer.fd < 0) {
        if (transfer.hop) {
          transfer.hop->failure =
              urlError(kURLErrorCannotCreateFile, response->url(), std::strerror(errno));
        }
        return;
      }
      transfer.downloadPath = pattern;
    }
    return;
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
  if (task->kind() == URLSessionTask::Kind::Download) {
    for (size_t written = 0; written < count;) {
      ssize_t result = ::write(transfer.fd, bytes + written, count - written);
      if (result < 0 && errno == EINTR) continue;
      if (result < 0) {
        if (transfer.hop) {
          transfer.hop->failure = urlError(kURLErrorCannotWriteToFile, task->currentRequest().url(),
                                           std::strerror(errno));
        }
        return false;
      }
      written += static_cast<size_t>(result);
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
    std::lock_guard lock(transfer.pendingMutex);
    if (transfer.pendingData.capacity() == 0) transfer.pendingData.swap(transfer.spareData);
    transfer.pendingData.insert(transfer.pendingData.end(), bytes, bytes + count);
    pending = transfer.pendingData.size();
  }
  const auto size = static_cast<int64_t>(count);
  if (transfer.dataInFlight.fetch_add(size) + size > kDataInFlightHighWater) {
    transfer.backpressured = true;
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
  if (transfer.flushScheduled) return;
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
    std::lock_guard lock(transfer.pendingMutex);
    if (transfer.pendingData.empty() || transfer.deliveryQueued) return;
    transfer.deliveryQueued = true;
  }
  task->session_->delegateQueue_->async([task] {
    TaskTransfer& transfer = *task->transfer_;
    Data piece;
    {
      std::lock_guard lock(transfer.pendingMutex);
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
      std::lock_guard lock(transfer.pendingMutex);
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
  if (chosen->HTTPMethod() == "GET" && !chosen->HTTPBody() && !chosen->HTTPBodyStream()) {
    transfer.bodyDropped = true;
  }
  {
    std::lock_guard lock(task->mutex_);
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
  complete(task, std::nullopt);
}

void URLSessionEngine::complete(const std::shared_ptr<URLSessionTask>& task,
                                std::optional<Error> error) {
  TaskTransfer& transfer = *task->transfer_;
  if (transfer.completed) return;
  transfer.completed = true;
  // What the delegate has not been handed yet comes before the end.
  flush(task);
  releaseHop(transfer);
  transfer.nextRequest.reset();
  transfer.nextBody = nullptr;
  if (transfer.fd >= 0) {
    ::close(transfer.fd);
    transfer.fd = -1;
  }
  {
    std::lock_guard lock(task->mutex_);
    // A cancel that raced with the end of the transfer wins.
    if (!error && task->state_ == URLSessionTaskState::Canceling) {
      error = urlError(kURLErrorCancelled, task->currentRequest_.url());
    }
    task->state_ = URLSessionTaskState::Completed;
    task->error_ = error;
  }
  std::filesystem::path file = std::move(transfer.downloadPath);
  if (error && !file.empty()) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    file.clear();
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

}  // namespace internal

// ---------------------------------------------------------------------------------------------
// Tasks

namespace {

struct ResumeSuspendObservers {
  std::mutex mutex;
  uint64_t lastToken = 0;
  std::shared_ptr<const std::vector<std::pair<uint64_t, URLSessionTask::ResumeSuspendObserver>>>
      list = std::make_shared<
          const std::vector<std::pair<uint64_t, URLSessionTask::ResumeSuspendObserver>>>();
};

ResumeSuspendObservers& resumeSuspendObservers() {
  static auto* observers = new ResumeSuspendObservers();
  return *observers;
}

}  // namespace

URLSessionTask::URLSessionTask(Kind kind, std::shared_ptr<URLSession> session, uint64_t identifier,
                               URLRequest request)
    : kind_(kind),
      session_(std::move(session)),
      identifier_(identifier),
      originalRequest_(request),
      currentRequest_(std::move(request)),
      transfer_(std::make_shared<internal::TaskTransfer>()),
      counterObservers_(
          std::make_shared<const std::vector<std::pair<uint64_t, CounterObserver>>>()) {}

URLSessionTask::~URLSessionTask() {
  if (transfer_->fd >= 0) ::close(transfer_->fd);
  session_->finishInvalidationIfIdle();
}

URLRequest URLSessionTask::currentRequest() const {
  std::lock_guard lock(mutex_);
  return currentRequest_;
}

std::shared_ptr<const URLResponse> URLSessionTask::response() const {
  std::lock_guard lock(mutex_);
  return response_;
}

std::optional<Error> URLSessionTask::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

URLSessionTaskState URLSessionTask::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::string URLSessionTask::taskDescription() const {
  std::lock_guard lock(mutex_);
  return description_;
}

void URLSessionTask::setTaskDescription(std::string description) {
  std::lock_guard lock(mutex_);
  description_ = std::move(description);
}

void URLSessionTask::resume() {
  URLSessionTaskState previous;
  {
    std::lock_guard lock(mutex_);
    previous = state_;
    if (state_ == URLSessionTaskState::Suspended) state_ = URLSessionTaskState::Running;
  }
  if (previous == URLSessionTaskState::Suspended) {
    session_->engine_->post(
        [task = shared_from_this()] { task->session_->engine_->resumeTask(task); });
  }
  notifyResumeSuspendObservers(*this, Operation::Resume, previous);
}

void URLSessionTask::suspend() {
  URLSessionTaskState previous;
  {
    std::lock_guard lock(mutex_);
    previous = state_;
    if (state_ == URLSessionTaskState::Running) state_ = URLSessionTaskState::Suspended;
  }
  if (previous == URLSessionTaskState::Running) {
    session_->engine_->post(
        [task = shared_from_this()] { task->session_->engine_->suspendTask(task); });
  }
  notifyResumeSuspendObservers(*this, Operation::Suspend, previous);
}

void URLSessionTask::cancel() {
  {
    std::lock_guard lock(mutex_);
    if (state_ == URLSessionTaskState::Completed || state_ == URLSessionTaskState::Canceling)
      return;
    state_ = URLSessionTaskState::Canceling;
  }
  std::shared_ptr<internal::ChallengeAnswer> challenge;
  {
    std::lock_guard lock(transfer_->challengeMutex);
    transfer_->cancelRequested = true;
    challenge = transfer_->pendingChallenge;
  }
  if (challenge) {
    std::lock_guard lock(challenge->mutex);
    challenge->cancelled = true;
    challenge->changed.notify_all();
  }
  session_->engine_->post(
      [task = shared_from_this()] { task->session_->engine_->cancelTask(task); });
}

uint64_t URLSessionTask::addResumeSuspendObserver(ResumeSuspendObserver observer) {
  auto& observers = resumeSuspendObservers();
  std::lock_guard lock(observers.mutex);
  auto list =
      std::make_shared<std::vector<std::pair<uint64_t, ResumeSuspendObserver>>>(*observers.list);
  list->emplace_back(++observers.lastToken, std::move(observer));
  observers.list = std::move(list);
  return observers.lastToken;
}

void URLSessionTask::removeResumeSuspendObserver(uint64_t token) {
  auto& observers = resumeSuspendObservers();
  std::lock_guard lock(observers.mutex);
  auto list =
      std::make_shared<std::vector<std::pair<uint64_t, ResumeSuspendObserver>>>(*observers.list);
  std::erase_if(*list, [&](const auto& entry) { return entry.first == token; });
  observers.list = std::move(list);
}

void URLSessionTask::notifyResumeSuspendObservers(URLSessionTask& task, Operation operation,
                                                  URLSessionTaskState previousState) {
  auto& observers = resumeSuspendObservers();
  std::shared_ptr<const std::vector<std::pair<uint64_t, ResumeSuspendObserver>>> list;
  {
    std::lock_guard lock(observers.mutex);
    list = observers.list;
  }
  for (const auto& [token, observer] : *list) observer(task, operation, previousState);
}

uint64_t URLSessionTask::addCounterObserver(CounterObserver observer) {
  std::lock_guard lock(observersMutex_);
  auto list =
      std::make_shared<std::vector<std::pair<uint64_t, CounterObserver>>>(*counterObservers_);
  list->emplace_back(++lastObserverToken_, std::move(observer));
  counterObservers_ = std::move(list);
  return lastObserverToken_;
}

void URLSessionTask::removeCounterObserver(uint64_t token) {
  std::lock_guard lock(observersMutex_);
  auto list =
      std::make_shared<std::vector<std::pair<uint64_t, CounterObserver>>>(*counterObservers_);
  std::erase_if(*list, [&](const auto& entry) { return entry.first == token; });
  counterObservers_ = std::move(list);
}

void URLSessionTask::setCounter(URLSessionTaskCounter counter, int64_t value) {
  std::atomic<int64_t>* field = nullptr;
  switch (counter) {
    case URLSessionTaskCounter::BytesReceived:
      field = &bytesReceived_;
      break;
    case URLSessionTaskCounter::BytesExpectedToReceive:
      field = &bytesExpectedToReceive_;
      break;
    case URLSessionTaskCounter::BytesSent:
      field = &bytesSent_;
      break;
    case URLSessionTaskCounter::BytesExpectedToSend:
      field = &bytesExpectedToSend_;
      break;
  }
  if (field->exchange(value) == value) return;
  std::shared_ptr<const std::vector<std::pair<uint64_t, CounterObserver>>> observers;
  {
    std::lock_guard lock(observersMutex_);
    observers = counterObservers_;
  }
  for (const auto& [token, observer] : *observers) observer(*this, counter, value);
}

// ---------------------------------------------------------------------------------------------
// Sessions

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(
    URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
    std::shared_ptr<DispatchQueue> delegateQueue) {
  return std::make_shared<URLSession>(Private{}, std::move(configuration), std::move(delegate),
                                      std::move(delegateQueue));
}

const std::shared_ptr<URLSession>& URLSession::sharedSession() {
  // Never destroyed: its transfer thread may still run while the process exits.
  static const auto* session = [] {
    auto* shared = new std::shared_ptr<URLSession>(
        sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration()));
    (*shared)->isShared_ = true;
    return shared;
  }();
  return *session;
}

URLSession::URLSession(Private, URLSessionConfiguration configuration,
                       std::shared_ptr<URLSessionDelegate> delegate,
                       std::shared_ptr<DispatchQueue> delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(delegateQueue ? std::move(delegateQueue)
                                   : DispatchQueue::serial("os.urlsession.delegate")),
      engine_(std::make_shared<internal::URLSessionEngine>(configuration_)),
      delegate_(std::move(delegate)) {}

URLSession::~URLSession() { engine_->stop(); }

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

std::string URLSession::sessionDescription() const {
  std::lock_guard lock(mutex_);
  return description_;
}

void URLSession::setSessionDescription(std::string description) {
  std::lock_guard lock(mutex_);
  description_ = std::move(description);
}

template <typename TaskType>
std::shared_ptr<TaskType> URLSession::makeTask(URLSessionTask::Kind kind,
                                               const URLRequest& request) {
  URLRequest prepared = request;
  for (const auto& [name, value] : configuration_.HTTPAdditionalHeaders().fields()) {
    if (!prepared.allHTTPHeaderFields().contains(name)) prepared.setValue(value, name);
  }
  std::lock_guard lock(mutex_);
  if (invalidating_) {
    log::write(log::Level::Error,
               "A task was created in a URL session that has been invalidated: " +
                   request.url().absoluteString());
    return nullptr;
  }
  std::shared_ptr<TaskType> task(
      new TaskType(kind, shared_from_this(), ++lastTaskIdentifier_, request));
  task->currentRequest_ = std::move(prepared);
  std::erase_if(tasks_, [](const std::weak_ptr<URLSessionTask>& entry) { return entry.expired(); });
  tasks_.push_back(task);
  // The request's own body: bytes, or a stream read once.
  internal::TaskTransfer& transfer = *task->transfer_;
  if (request.HTTPBody()) {
    transfer.bodySource = internal::BodySource::Bytes;
    transfer.body = InputStream::withData(*request.HTTPBody());
    task->bytesExpectedToSend_ = static_cast<int64_t>(request.HTTPBody()->size());
  } else if (request.HTTPBodyStream()) {
    transfer.bodySource = internal::BodySource::Stream;
    transfer.body = request.HTTPBodyStream();
    task->bytesExpectedToSend_ = kURLSessionTransferSizeUnknown;
  }
  return task;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request) {
  return makeTask<URLSessionDataTask>(URLSessionTask::Kind::Data, request);
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request,
                                                                    DataTaskCompletion completion) {
  auto task = dataTaskWithRequest(request);
  if (task) task->transfer_->dataCompletion = std::move(completion);
  return task;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(const URL& url) {
  return dataTaskWithRequest(URLRequest(url));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request,
                                                                        const URL& fileURL) {
  URLRequest withoutBody = request;
  withoutBody.setHTTPBody(std::nullopt);
  withoutBody.setHTTPBodyStream(nullptr);
  auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, withoutBody);
  if (!task) return nullptr;
  internal::TaskTransfer& transfer = *task->transfer_;
  transfer.bodySource = internal::BodySource::File;
  transfer.bodyFile = fileURL.filePath();
  transfer.body = InputStream::withFile(transfer.bodyFile);
  std::error_code error;
  auto size = std::filesystem::file_size(transfer.bodyFile, error);
  task->bytesExpectedToSend_ = error ? 0 : static_cast<int64_t>(size);
  return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(
    const URLRequest& request, const URL& fileURL, DataTaskCompletion completion) {
  auto task = uploadTaskWithRequest(request, fileURL);
  if (task) task->transfer_->dataCompletion = std::move(completion);
  return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request,
                                                                        const Data& body) {
  URLRequest withBody = request;
  withBody.setHTTPBody(body);
  return makeTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, withBody);
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(
    const URLRequest& request, const Data& body, DataTaskCompletion completion) {
  auto task = uploadTaskWithRequest(request, body);
  if (task) task->transfer_->dataCompletion = std::move(completion);
  return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(
    const URLRequest& request) {
  auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, request);
  if (!task) return nullptr;
  internal::TaskTransfer& transfer = *task->transfer_;
  transfer.bodySource = internal::BodySource::Stream;
  transfer.body = request.HTTPBodyStream();
  transfer.streamedUpload = true;
  task->bytesExpectedToSend_ = kURLSessionTransferSizeUnknown;
  return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(
    const URLRequest& request) {
  return makeTask<URLSessionDownloadTask>(URLSessionTask::Kind::Download, request);
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(
    const URLRequest& request, DownloadTaskCompletion completion) {
  auto task = downloadTaskWithRequest(request);
  if (task) task->transfer_->downloadCompletion = std::move(completion);
  return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithURL(const URL& url) {
  return downloadTaskWithRequest(URLRequest(url));
}

void URLSession::getTasksWithCompletionHandler(
    std::function<void(std::vector<std::shared_ptr<URLSessionDataTask>>,
                       std::vector<std::shared_ptr<URLSessionUploadTask>>,
                       std::vector<std::shared_ptr<URLSessionDownloadTask>>)>
        completion) {
  std::vector<std::shared_ptr<URLSessionDataTask>> dataTasks;
  std::vector<std::shared_ptr<URLSessionUploadTask>> uploadTasks;
  std::vector<std::shared_ptr<URLSessionDownloadTask>> downloadTasks;
  std::vector<std::shared_ptr<URLSessionTask>> keepAlive;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : tasks_) {
      // Kept until the lock is released: a task whose last reference went here would reenter
      // it from its destructor.
      std::shared_ptr<URLSessionTask> task = entry.lock();
      if (!task) continue;
      if (task->state() == URLSessionTaskState::Completed) {
        keepAlive.push_back(std::move(task));
        continue;
      }
      switch (task->kind()) {
        case URLSessionTask::Kind::Data:
          dataTasks.push_back(std::static_pointer_cast<URLSessionDataTask>(task));
          break;
        case URLSessionTask::Kind::Upload:
          uploadTasks.push_back(std::static_pointer_cast<URLSessionUploadTask>(task));
          break;
        case URLSessionTask::Kind::Download:
          downloadTasks.push_back(std::static_pointer_cast<URLSessionDownloadTask>(task));
          break;
      }
    }
  }
  delegateQueue_->async([completion = std::move(completion), dataTasks = std::move(dataTasks),
                         uploadTasks = std::move(uploadTasks),
                         downloadTasks = std::move(downloadTasks)]() mutable {
    completion(std::move(dataTasks), std::move(uploadTasks), std::move(downloadTasks));
  });
}

void URLSession::finishTasksAndInvalidate() { invalidate(false); }

void URLSession::invalidateAndCancel() { invalidate(true); }

void URLSession::invalidate(bool cancelTasks) {
  if (isShared_) return;
  std::vector<std::shared_ptr<URLSessionTask>> toCancel;
  {
    std::lock_guard lock(mutex_);
    if (invalidating_) return;
    invalidating_ = true;
    if (cancelTasks) {
      for (const auto& entry : tasks_) {
        if (auto task = entry.lock()) toCancel.push_back(std::move(task));
      }
    }
  }
  for (const auto& task : toCancel) task->cancel();
  finishInvalidationIfIdle();
}

void URLSession::finishInvalidationIfIdle() {
  // Released after the lock: the last reference to a task reenters here from its destructor.
  std::vector<std::shared_ptr<URLSessionTask>> tasks;
  {
    std::lock_guard lock(mutex_);
    if (!invalidating_ || invalidated_) return;
    for (const auto& entry : tasks_) {
      if (auto task = entry.lock()) tasks.push_back(std::move(task));
    }
    for (const auto& task : tasks) {
      if (task->state() != URLSessionTaskState::Completed) return;
    }
    invalidated_ = true;
    tasks_.clear();
  }
  engine_->stop();
  // After every completion already queued; then the session lets its delegate go.
  delegateQueue_->async([session = shared_from_this()] {
    if (auto delegate = session->delegate()) delegate->didBecomeInvalid(session, std::nullopt);
    std::lock_guard lock(session->mutex_);
    session->delegate_ = nullptr;
  });
}

}  // namespace os
