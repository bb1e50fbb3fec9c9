// URL sessions: HTTP(S) data, upload and download tasks over the libcurl multi interface.
//
//   auto session = os::URLSession::sessionWithConfiguration(
//       os::URLSessionConfiguration::defaultSessionConfiguration());
//   auto task = session->dataTaskWithRequest(
//       os::URLRequest(*os::URL::parse("https://example.test/config.json")),
//       [](const std::optional<os::Data>& data, const std::shared_ptr<const os::URLResponse>&,
//          const std::optional<os::Error>& error) { ... });   // on the delegate queue
//   task->resume();                                            // tasks start suspended
//
// A session with a delegate reports each task through it instead (see URLSessionDelegate):
//
//   class Downloader : public os::URLSessionDelegate {
//     void didWriteData(...) override { ... }          // progress
//     void didFinishDownloading(...) override { ... }  // move the file away before returning
//     void didCompleteWithError(...) override { ... }  // last, exactly once
//   };
//   auto session = os::URLSession::sessionWithConfiguration(config, downloader, queue);
//   session->downloadTaskWithRequest(request)->resume();
//
// Threads. Each session runs one transfer thread that drives all its transfers with curl's multi
// interface. Byte counters change on that thread, and counter observers (addCounterObserver) are
// called there. Every delegate callback and completion handler runs on the session's delegate
// queue, one at a time, in this order for a task: server-trust challenge (during the TLS
// handshake, before any byte of the request is sent), redirects, then the response and its data
// (data tasks) or the download's progress and its file (download tasks), then the completion,
// always last and exactly once. A task's operations (resume, suspend, cancel, the accessors) may
// be called from any thread, the delegate queue included; none of them waits for the transfer
// thread. A server-trust challenge, though, holds the transfer thread (and so the session's other
// transfers) until the delegate answers: answer promptly.
//
// Lifetime. The transfer thread starts with the first resumed task and ends once the session
// has been invalidated and its tasks have completed, or once the session is destroyed. A running
// task keeps its session alive, and a session keeps its delegate until it has been invalidated.
//
// Outcomes. A transfer that received a response completes without error whatever its status: a
// 404 or 500 is the caller's business. Transport failures complete with an error in
// kURLErrorDomain (codes below) whose user info holds the request's URL under
// kURLErrorFailingURLStringKey. A task whose original request is https follows no redirect to
// another scheme (the delegate's own choice of request included): it fails with
// kURLErrorAppTransportSecurityRequiresSecureConnection instead; https to https, another host
// included, is followed as any redirect.
// A download that fails after part of a resumable body was written keeps its partial file and
// puts resume data in the error's user info (kURLSessionDownloadTaskResumeData); the caller
// resumes with downloadTaskWithResumeData or drops the file with discardResumeData. Every other
// failed or cancelled download leaves no file, and neither does a process that exits (or is
// killed, once setDownloadDirectory runs at the next launch) during a download.
//
// Timeouts. A request fails with kURLErrorTimedOut when no byte is received or sent for its
// timeout interval (the smaller of the request's timeoutInterval and the configuration's
// timeoutIntervalForRequest): a slow but steady body never times out, a stalled one does. A
// suspended task does not time out. The configuration's timeoutIntervalForResource limits a
// task's whole life once resumed.
//
// Trust. An https server's chain is evaluated against the system's trusted roots plus the
// certificates of the PEM file named by the environment variable TESSARO_CA_FILE, and its name
// is checked against the request's host, unless a challenge delegate decides otherwise (see
// URLSessionDelegate::didReceiveChallenge). The environment variable TESSARO_CONNECT_TO
// ("host:port:address:port" entries separated by commas or blanks, as curl's --connect-to) sends
// the connections for a named host and port to another address, so that production code builds
// its real URLs while tests and the demo talk to local servers; the name is still the one
// checked against the certificate.
//
// Headers. A request goes out with its own headers (and the configuration's additional ones)
// and nothing that curl would add on its own account: no form Content-Type for a body, no
// "Expect: 100-continue". The request's own Accept-Encoding header is sent as given and nothing
// is added. The body is decoded only when that header names gzip or deflate (or another encoding
// curl decodes: br, zstd); otherwise it is delivered as the server sent it. Proxies come from
// the usual environment variables (https_proxy, no_proxy, ...), as curl reads them.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/dispatch/dispatch.h"
#include "os/net/url.h"
#include "os/sync/mutex.h"
#include "os/value/error.h"

namespace os {

// The platform's URL error domain and the codes that sessions here report.
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
// User-info key of the failing request's URL, as text.
inline constexpr const char* kURLErrorFailingURLStringKey = "NSErrorFailingURLStringKey";

inline constexpr int64_t kURLErrorUnknown = -1;
inline constexpr int64_t kURLErrorCancelled = -999;
inline constexpr int64_t kURLErrorBadURL = -1000;
inline constexpr int64_t kURLErrorTimedOut = -1001;
inline constexpr int64_t kURLErrorUnsupportedURL = -1002;
inline constexpr int64_t kURLErrorCannotFindHost = -1003;
inline constexpr int64_t kURLErrorCannotConnectToHost = -1004;
inline constexpr int64_t kURLErrorNetworkConnectionLost = -1005;
inline constexpr int64_t kURLErrorHTTPTooManyRedirects = -1007;
inline constexpr int64_t kURLErrorBadServerResponse = -1011;
inline constexpr int64_t kURLErrorCannotDecodeContentData = -1016;
inline constexpr int64_t kURLErrorCannotParseResponse = -1017;
inline constexpr int64_t kURLErrorRequestBodyStreamExhausted = -1021;
// A redirect from an https address to another scheme, which would drop the transport security
// the request started with: refused.
inline constexpr int64_t kURLErrorAppTransportSecurityRequiresSecureConnection = -1022;
inline constexpr int64_t kURLErrorFileDoesNotExist = -1100;
// The body passed the task's countOfBytesReceivedLimit().
inline constexpr int64_t kURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr int64_t kURLErrorSecureConnectionFailed = -1200;
inline constexpr int64_t kURLErrorServerCertificateUntrusted = -1202;
inline constexpr int64_t kURLErrorCannotCreateFile = -3000;
inline constexpr int64_t kURLErrorCannotOpenFile = -3001;
inline constexpr int64_t kURLErrorCannotWriteToFile = -3003;

// User-info key of the resume data (Data) that a failed or cancelled download hands out; see
// URLSession::downloadTaskWithResumeData.
inline constexpr const char* kURLSessionDownloadTaskResumeData =
    "NSURLSessionDownloadTaskResumeData";

// The name of every partial download file starts with this, in downloadDirectory().
inline constexpr const char* kURLSessionDownloadFilePrefix = "URLSessionDownload-";

// The platform's "size unknown" for a task's expected byte counts.
inline constexpr int64_t kURLSessionTransferSizeUnknown = -1;

class URLSession;
class URLSessionTask;
namespace internal {
class URLSessionEngine;
struct TaskTransfer;
}  // namespace internal
class URLSessionDataTask;
class URLSessionUploadTask;
class URLSessionDownloadTask;

// What a session is set up with. A value: the session keeps its own copy.
class URLSessionConfiguration {
 public:
  // Default sessions. There is no shared cookie store or URL cache on this host, so default
  // and ephemeral sessions behave alike.
  static URLSessionConfiguration defaultSessionConfiguration();
  static URLSessionConfiguration ephemeralSessionConfiguration();
  // A background session runs in this process like a default one and keeps `identifier`.
  static URLSessionConfiguration backgroundSessionConfiguration(std::string identifier);

  // The background session's identifier; nullopt for default and ephemeral sessions.
  const std::optional<std::string>& identifier() const { return identifier_; }
  bool isEphemeral() const { return ephemeral_; }

  // Inactivity limit of each request, combined with the request's own (the smaller counts).
  // Default 60 seconds.
  double timeoutIntervalForRequest() const { return timeoutForRequest_; }
  void setTimeoutIntervalForRequest(double seconds) { timeoutForRequest_ = seconds; }
  // Limit of a task's whole life from its first resume. Default 7 days.
  double timeoutIntervalForResource() const { return timeoutForResource_; }
  void setTimeoutIntervalForResource(double seconds) { timeoutForResource_ = seconds; }
  // Headers added to every request that does not set the same field itself.
  const HTTPHeaders& HTTPAdditionalHeaders() const { return additionalHeaders_; }
  void setHTTPAdditionalHeaders(HTTPHeaders headers) { additionalHeaders_ = std::move(headers); }
  // Connections open at once to one host and port; further tasks for it wait their turn (and
  // their timeout does not run meanwhile). Default 6.
  int HTTPMaximumConnectionsPerHost() const { return maxConnectionsPerHost_; }
  void setHTTPMaximumConnectionsPerHost(int count) { maxConnectionsPerHost_ = count; }

  friend bool operator==(const URLSessionConfiguration&, const URLSessionConfiguration&) = default;

 private:
  URLSessionConfiguration() = default;

  std::optional<std::string> identifier_;
  bool ephemeral_ = false;
  double timeoutForRequest_ = 60.0;
  double timeoutForResource_ = 7 * 24 * 3600.0;
  HTTPHeaders additionalHeaders_;
  int maxConnectionsPerHost_ = 6;
};

// The server-trust object of a TLS handshake: the chain the server presented, and its
// evaluation. Thread-safe; it stays usable after the handshake is over.
class ServerTrust {
 public:
  // `chain` is the peer's certificates as DER, leaf first; `host` the name the client asked for.
  ServerTrust(std::vector<Data> chain, std::string host);
  ~ServerTrust();
  ServerTrust(const ServerTrust&) = delete;
  ServerTrust& operator=(const ServerTrust&) = delete;

  // The certificates as the server sent them, DER, leaf first.
  const std::vector<Data>& certificates() const { return chain_; }
  // The host name the request was made for.
  const std::string& host() const { return host_; }

  // Trusts exactly these certificates (DER) as roots from now on, instead of the system's roots
  // and TESSARO_CA_FILE; certificates that cannot be read are skipped. An empty list goes back
  // to the default roots.
  void setAnchorCertificates(std::vector<Data> anchors);

  // Evaluates the chain: it must lead to a trusted root, every certificate be within its
  // validity dates, and, when `hostName` is given, the leaf must be valid for that name (the
  // platform's SSL server policy; without it, the basic X.509 policy). False, with the reason
  // in `*error` (kURLErrorDomain, kURLErrorServerCertificateUntrusted), when it is not trusted.
  bool evaluate(const std::optional<std::string>& hostName, Error* error = nullptr) const;

  // Reads the system's roots and TESSARO_CA_FILE on a global queue now, so that the first
  // evaluation finds them ready instead of parsing the system's bundle while a request waits
  // (an evaluation that comes first waits for this read rather than doing its own). For
  // launch; returns at once.
  static void loadDefaultAnchorsInBackground();

 private:
  std::vector<Data> chain_;
  std::string host_;
  mutable Mutex mutex_;
  std::vector<Data> anchors_ OS_GUARDED_BY(mutex_);
};

// The platform's authentication method name of server-trust challenges.
inline constexpr const char* kURLAuthenticationMethodServerTrust =
    "NSURLAuthenticationMethodServerTrust";

// Where a challenge comes from.
struct URLProtectionSpace {
  std::string host;
  int port = 0;
  // "https".
  std::string protocol;
  // kURLAuthenticationMethodServerTrust for the challenges of this host.
  std::string authenticationMethod;
};

// A server-trust challenge: the only challenge that sessions here raise.
struct URLAuthenticationChallenge {
  URLProtectionSpace protectionSpace;
  std::shared_ptr<ServerTrust> serverTrust;
  int64_t previousFailureCount = 0;
};

// An answer to a challenge: here, trust in a server's chain.
struct URLCredential {
  // The platform's credentialForTrust:.
  static URLCredential forTrust(std::shared_ptr<ServerTrust> trust) {
    return URLCredential{std::move(trust)};
  }
  std::shared_ptr<ServerTrust> serverTrust;
};

// The platform's challenge dispositions, with their values.
enum class URLSessionAuthChallengeDisposition {
  // Accept the server's chain (the credential must be one for the challenge's trust; without a
  // credential the default handling applies).
  UseCredential = 0,
  // Evaluate as if no delegate were there (system roots, TESSARO_CA_FILE, host name).
  PerformDefaultHandling = 1,
  // Stop the handshake: the task completes with kURLErrorCancelled.
  CancelAuthenticationChallenge = 2,
  // The same as PerformDefaultHandling, since there is no other protection space to try.
  RejectProtectionSpace = 3,
};

// The platform's response dispositions that sessions here support, with their values.
enum class URLSessionResponseDisposition {
  // Stop the task: it completes with kURLErrorCancelled.
  Cancel = 0,
  // Go on receiving the body.
  Allow = 1,
};

using ChallengeCompletion =
    std::function<void(URLSessionAuthChallengeDisposition, std::optional<URLCredential>)>;
using RedirectCompletion = std::function<void(std::optional<URLRequest>)>;
using ResponseCompletion = std::function<void(URLSessionResponseDisposition)>;
using BodyStreamCompletion = std::function<void(std::shared_ptr<InputStream>)>;

// What a session tells its delegate. Every method runs on the session's delegate queue. The
// defaults do nothing; the methods that return bool say "not implemented" by returning false
// (then they must not call their completion), and the session then does what the platform does
// for a delegate without that method. A method that returns true must call its completion
// exactly once, on any thread, now or later; the task waits for it.
class URLSessionDelegate {
 public:
  virtual ~URLSessionDelegate() = default;

  // --- session ---

  // The session has been invalidated (finishTasksAndInvalidate or invalidateAndCancel, once its
  // tasks have completed): the last call the delegate gets. `error` is always nullopt here.
  virtual void didBecomeInvalid(const std::shared_ptr<URLSession>& session,
                                const std::optional<Error>& error);

  // A server-trust challenge of the TLS handshake (the handshake waits for the answer). When
  // this returns false the task-level method below is asked; when that returns false too, the
  // default handling applies.
  virtual bool didReceiveChallenge(const std::shared_ptr<URLSession>& session,
                                   const URLAuthenticationChallenge& challenge,
                                   ChallengeCompletion completion);

  // --- tasks ---

  virtual bool taskDidReceiveChallenge(const std::shared_ptr<URLSession>& session,
                                       const std::shared_ptr<URLSessionTask>& task,
                                       const URLAuthenticationChallenge& challenge,
                                       ChallengeCompletion completion);

  // The server answered `response` (301, 302, 303, 307 or 308 with a Location) and the session
  // would follow with `newRequest`. Complete with the request to send (newRequest, changed, or
  // another), or with nullopt to stop: then the redirect response itself and its body complete
  // the task. Not implemented: the redirect is followed.
  virtual bool willPerformHTTPRedirection(const std::shared_ptr<URLSession>& session,
                                          const std::shared_ptr<URLSessionTask>& task,
                                          const std::shared_ptr<const HTTPURLResponse>& response,
                                          const URLRequest& newRequest,
                                          RedirectCompletion completion);

  // The task needs its body again from the start (a streamed upload starting, or a 307/308
  // redirect of a streamed body). Not implemented: the request's own body stream is used.
  virtual bool needNewBodyStream(const std::shared_ptr<URLSession>& session,
                                 const std::shared_ptr<URLSessionTask>& task,
                                 BodyStreamCompletion completion);

  // Body bytes went out: `bytesSent` since the last call, `totalBytesSent` so far, out of
  // `totalBytesExpectedToSend` (kURLSessionTransferSizeUnknown for a stream).
  virtual void didSendBodyData(const std::shared_ptr<URLSession>& session,
                               const std::shared_ptr<URLSessionTask>& task, int64_t bytesSent,
                               int64_t totalBytesSent, int64_t totalBytesExpectedToSend);

  // The task is over: always the task's last call, exactly once. `error` is nullopt for any
  // HTTP response, also an error status.
  virtual void didCompleteWithError(const std::shared_ptr<URLSession>& session,
                                    const std::shared_ptr<URLSessionTask>& task,
                                    const std::optional<Error>& error);

  // --- data and upload tasks ---

  // The response has arrived; its body waits until the completion allows it. Not implemented:
  // allowed.
  virtual bool didReceiveResponse(const std::shared_ptr<URLSession>& session,
                                  const std::shared_ptr<URLSessionDataTask>& task,
                                  const std::shared_ptr<const URLResponse>& response,
                                  ResponseCompletion completion);

  // The next piece of the body, in order. Bytes that arrive while the delegate is busy are
  // joined into one piece.
  virtual void didReceiveData(const std::shared_ptr<URLSession>& session,
                              const std::shared_ptr<URLSessionDataTask>& task, const Data& data);

  // --- download tasks ---

  // Progress of a download: `bytesWritten` since the last call, `totalBytesWritten` so far, out
  // of `totalBytesExpectedToWrite` (kURLSessionTransferSizeUnknown without a Content-Length).
  // The written totals never decrease, and the last call before didFinishDownloading reports
  // the whole body.
  virtual void didWriteData(const std::shared_ptr<URLSession>& session,
                            const std::shared_ptr<URLSessionDownloadTask>& task,
                            int64_t bytesWritten, int64_t totalBytesWritten,
                            int64_t totalBytesExpectedToWrite);

  // The body is complete in the temporary file at `location` (a file URL). The file is removed
  // when this returns: move or copy it before.
  virtual void didFinishDownloading(const std::shared_ptr<URLSession>& session,
                                    const std::shared_ptr<URLSessionDownloadTask>& task,
                                    const URL& location);

  // A download made from resume data has its response, before its first didWriteData: it goes
  // on after `fileOffset` bytes of the partial file (0 when the server sent the whole body
  // again), of `expectedTotalBytes` (kURLSessionTransferSizeUnknown when not announced).
  virtual void didResumeAtOffset(const std::shared_ptr<URLSession>& session,
                                 const std::shared_ptr<URLSessionDownloadTask>& task,
                                 int64_t fileOffset, int64_t expectedTotalBytes);
};

// The four byte counters of a task, for counter observers.
enum class URLSessionTaskCounter {
  BytesReceived,
  BytesExpectedToReceive,
  BytesSent,
  BytesExpectedToSend,
};

// The platform's task states, with their values.
enum class URLSessionTaskState { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

// One transfer of a session. Created suspended by the session; resume() starts it. Owned
// through std::shared_ptr: the session keeps a task alive while it runs, so a caller may drop
// its reference after resume().
class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
 public:
  enum class Kind { Data, Upload, Download };

  // resume() or suspend() of some task in the process. `previousState` is the task's state
  // before the call.
  enum class Operation { Resume, Suspend };
  using ResumeSuspendObserver = std::function<void(URLSessionTask& task, Operation operation,
                                                   URLSessionTaskState previousState)>;
  // Called on the transfer thread after a counter changed, with its new value.
  using CounterObserver =
      std::function<void(URLSessionTask& task, URLSessionTaskCounter counter, int64_t value)>;

  virtual ~URLSessionTask();
  URLSessionTask(const URLSessionTask&) = delete;
  URLSessionTask& operator=(const URLSessionTask&) = delete;

  Kind kind() const { return kind_; }
  // Unique among the tasks of one session; the first task gets 1.
  uint64_t taskIdentifier() const { return identifier_; }
  // The session that made the task.
  const std::shared_ptr<URLSession>& session() const { return session_; }

  // The request as created.
  const URLRequest& originalRequest() const { return originalRequest_; }
  // The request being sent now: differs from the original after a redirect, and has the
  // configuration's additional headers merged in.
  URLRequest currentRequest() const;
  // The response once its headers have arrived; nullptr before.
  std::shared_ptr<const URLResponse> response() const;
  // The error the task completed with; nullopt while it runs and after success.
  std::optional<Error> error() const;
  URLSessionTaskState state() const;

  // A text the caller attaches to the task (the session does not read it).
  std::string taskDescription() const;
  void setTaskDescription(std::string description);

  // Byte counters. Received counts body bytes as delivered (after content decoding); expected
  // to receive is the response's Content-Length, kURLSessionTransferSizeUnknown without one;
  // sent counts request body bytes handed to the connection; expected to send is the body's
  // size, kURLSessionTransferSizeUnknown for a stream (0 without a body).
  int64_t countOfBytesReceived() const { return bytesReceived_.load(); }
  int64_t countOfBytesExpectedToReceive() const { return bytesExpectedToReceive_.load(); }
  int64_t countOfBytesSent() const { return bytesSent_.load(); }
  int64_t countOfBytesExpectedToSend() const { return bytesExpectedToSend_.load(); }

  // The most body bytes the task takes, each hop's (a redirect's own body included); a response
  // that declares or sends more fails the task with kURLErrorDataLengthExceedsMaximum as soon as
  // that is known, and a download keeps no partial file or resume data then. A negative limit
  // (the default) means none. Set it before resume(), for a body whose sender is not trusted to
  // end it.
  int64_t countOfBytesReceivedLimit() const { return bytesReceivedLimit_.load(); }
  void setCountOfBytesReceivedLimit(int64_t limit) { bytesReceivedLimit_.store(limit); }

  // Starts a suspended task, or continues a suspended transfer where it stopped. Does nothing
  // to a running, canceling or completed task (the observers are still told).
  void resume();
  // Pauses a running transfer: no more bytes are read from the connection or the body until
  // resume(); the timeout does not run meanwhile. Does nothing to a task that is not running.
  void suspend();
  // Stops the task: it completes with kURLErrorCancelled (the partial download file removed),
  // unless it has already completed. Works on a suspended task too.
  void cancel();

  // Registers `observer` for every resume() and suspend() of every task in the process; called
  // on the calling thread, after the state change. Returns a token for removal. Thread-safe.
  static uint64_t addResumeSuspendObserver(ResumeSuspendObserver observer);
  static void removeResumeSuspendObserver(uint64_t token);

  // Registers `observer` for this task's counter changes. Returns a token for removal.
  // Thread-safe. Once removeCounterObserver has returned no new call starts, but a call already
  // under way on the transfer thread may still be running, so an observer that captures an
  // object which may die meanwhile captures a weak_ptr.
  uint64_t addCounterObserver(CounterObserver observer);
  void removeCounterObserver(uint64_t token);

 protected:
  URLSessionTask(Kind kind, std::shared_ptr<URLSession> session, uint64_t identifier,
                 URLRequest request);
  // cancel(), handing resume data to `resumeDataHandler` when it is set (see
  // URLSessionDownloadTask::cancelByProducingResumeData).
  void cancel(std::function<void(const std::optional<Data>&)> resumeDataHandler);

 private:
  friend class URLSession;
  friend class internal::URLSessionEngine;

  // Sets a counter and tells the observers when it changed. Transfer thread.
  void setCounter(URLSessionTaskCounter counter, int64_t value);
  static void notifyResumeSuspendObservers(URLSessionTask& task, Operation operation,
                                           URLSessionTaskState previousState);

  const Kind kind_;
  const std::shared_ptr<URLSession> session_;
  const uint64_t identifier_;
  const URLRequest originalRequest_;

  std::atomic<int64_t> bytesReceived_{0};
  std::atomic<int64_t> bytesExpectedToReceive_{kURLSessionTransferSizeUnknown};
  std::atomic<int64_t> bytesSent_{0};
  std::atomic<int64_t> bytesExpectedToSend_{0};
  std::atomic<int64_t> bytesReceivedLimit_{-1};

  mutable Mutex mutex_;
  URLSessionTaskState state_ OS_GUARDED_BY(mutex_) = URLSessionTaskState::Suspended;
  URLRequest currentRequest_ OS_GUARDED_BY(mutex_);
  std::shared_ptr<const URLResponse> response_ OS_GUARDED_BY(mutex_);
  std::optional<Error> error_ OS_GUARDED_BY(mutex_);
  std::string description_ OS_GUARDED_BY(mutex_);
  // What the transfer thread keeps of the task; set by the session at creation.
  std::shared_ptr<internal::TaskTransfer> transfer_;

  Mutex observersMutex_;
  uint64_t lastObserverToken_ OS_GUARDED_BY(observersMutex_) = 0;
  // Replaced, never changed in place, so that the transfer thread calls a snapshot.
  std::shared_ptr<const std::vector<std::pair<uint64_t, CounterObserver>>> counterObservers_
      OS_GUARDED_BY(observersMutex_);
};

class URLSessionDataTask : public URLSessionTask {
 protected:
  using URLSessionTask::URLSessionTask;
  friend class URLSession;
};

class URLSessionUploadTask : public URLSessionDataTask {
 protected:
  using URLSessionDataTask::URLSessionDataTask;
  friend class URLSession;
};

class URLSessionDownloadTask : public URLSessionTask {
 public:
  using ResumeDataHandler = std::function<void(const std::optional<Data>& resumeData)>;

  // Cancels as cancel() does, but when the download can go on later (a GET whose response
  // named an ETag or Last-Modified, with some of its body written) keeps the partial file and
  // hands out resume data: to `handler` on the delegate queue before the task's completion, and
  // in the completion error's user info (kURLSessionDownloadTaskResumeData). `handler` gets
  // nullopt, and the file goes, when the download cannot go on or has already completed.
  void cancelByProducingResumeData(ResumeDataHandler handler);

 protected:
  using URLSessionTask::URLSessionTask;
  friend class URLSession;
};

// Completion handlers of the convenience task forms; they run on the delegate queue instead of
// the delegate's data, response and download methods (challenges and redirects still go to the
// delegate). `data` is the whole body (nullopt on error); `location` is the downloaded file,
// removed when the handler returns (nullopt on error).
using DataTaskCompletion = std::function<void(const std::optional<Data>& data,
                                              const std::shared_ptr<const URLResponse>& response,
                                              const std::optional<Error>& error)>;
using DownloadTaskCompletion = std::function<void(
    const std::optional<URL>& location, const std::shared_ptr<const URLResponse>& response,
    const std::optional<Error>& error)>;

class URLSession : public std::enable_shared_from_this<URLSession> {
  struct Private {};

 public:
  // A new session. It keeps `delegate` (may be null) until it has been invalidated and told the
  // delegate so. `delegateQueue` must be a serial queue; nullptr gives the session a new one.
  static std::shared_ptr<URLSession> sessionWithConfiguration(
      URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate = nullptr,
      std::shared_ptr<DispatchQueue> delegateQueue = nullptr);
  // A process-wide session with the default configuration and no delegate; it cannot be
  // invalidated.
  static const std::shared_ptr<URLSession>& sharedSession();

  // Partial downloads of every session go to `directory` from now on, instead of the temporary
  // folder (os::paths::temporary()). The folder is created when missing, and the partial files
  // in it that no running process is writing (those of an earlier run that was killed) are
  // removed. An empty path goes back to the temporary folder. False, with the reason in
  // `*error`, when the folder cannot be made.
  static bool setDownloadDirectory(const std::filesystem::path& directory, Error* error = nullptr);
  // Where partial downloads go: the folder set above, else the temporary folder.
  static std::filesystem::path downloadDirectory();

  URLSession(Private, URLSessionConfiguration configuration,
             std::shared_ptr<URLSessionDelegate> delegate,
             std::shared_ptr<DispatchQueue> delegateQueue);
  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  const URLSessionConfiguration& configuration() const { return configuration_; }
  // nullptr once the session has been invalidated.
  std::shared_ptr<URLSessionDelegate> delegate() const;
  const std::shared_ptr<DispatchQueue>& delegateQueue() const { return delegateQueue_; }
  std::string sessionDescription() const;
  void setSessionDescription(std::string description);

  // Task creation. Each returns a new suspended task, or nullptr (and logs) once the session
  // has been invalidated.
  std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request);
  std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request,
                                                          DataTaskCompletion completion);
  std::shared_ptr<URLSessionDataTask> dataTaskWithURL(const URL& url);
  // Uploads the file at `fileURL` as the body (its size is the expected count); a file that
  // cannot be read completes the task with kURLErrorFileDoesNotExist.
  std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request,
                                                              const URL& fileURL);
  std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request,
                                                              const URL& fileURL,
                                                              DataTaskCompletion completion);
  std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request,
                                                              const Data& body);
  std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request,
                                                              const Data& body,
                                                              DataTaskCompletion completion);
  // The body comes from the delegate's needNewBodyStream (else the request's body stream) and is
  // sent with chunked transfer encoding unless the request sets a Content-Length.
  std::shared_ptr<URLSessionUploadTask> uploadTaskWithStreamedRequest(const URLRequest& request);
  // The body goes to a temporary file in the temporary folder (os::paths::temporary()), never
  // into memory.
  std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(const URLRequest& request);
  std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(
      const URLRequest& request, DownloadTaskCompletion completion);
  std::shared_ptr<URLSessionDownloadTask> downloadTaskWithURL(const URL& url);
  // A download that goes on where the one that produced `resumeData` stopped: it asks for the
  // rest with Range and If-Range, appends a 206's body to the partial file, and starts over when
  // the server sends the whole body (the validator changed). Resume data that cannot be read
  // completes the task with kURLErrorBadURL, a partial file that is gone with
  // kURLErrorCannotOpenFile, both before anything is sent.
  std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(const Data& resumeData);
  std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(
      const Data& resumeData, DownloadTaskCompletion completion);
  // Removes the partial file that the resume data in `error`'s user info keeps, for a caller
  // that will not resume; does nothing for an error without resume data.
  static void discardResumeData(const Error& error);

  // Calls `completion` on the delegate queue with the session's tasks that have not completed
  // (suspended ones included), each list in creation order.
  void getTasksWithCompletionHandler(
      std::function<void(std::vector<std::shared_ptr<URLSessionDataTask>> dataTasks,
                         std::vector<std::shared_ptr<URLSessionUploadTask>> uploadTasks,
                         std::vector<std::shared_ptr<URLSessionDownloadTask>> downloadTasks)>
          completion);

  // No new tasks from now on; the running ones go on. When the last one has completed, the
  // delegate gets didBecomeInvalid and is released. Later calls do nothing.
  void finishTasksAndInvalidate();
  // As finishTasksAndInvalidate, and cancels every task that has not completed.
  void invalidateAndCancel();

 private:
  friend class URLSessionTask;
  friend class internal::URLSessionEngine;

  template <typename TaskType>
  std::shared_ptr<TaskType> makeTask(URLSessionTask::Kind kind, const URLRequest& request);
  // Once invalidation was asked for and no task is left to complete: queues didBecomeInvalid
  // on the delegate queue and stops the transfer thread.
  void finishInvalidationIfIdle();
  void invalidate(bool cancelTasks);

  const URLSessionConfiguration configuration_;
  const std::shared_ptr<DispatchQueue> delegateQueue_;
  const std::shared_ptr<internal::URLSessionEngine> engine_;
  bool isShared_ = false;  // sharedSession(), which is never invalidated

  mutable Mutex mutex_;
  std::shared_ptr<URLSessionDelegate> delegate_ OS_GUARDED_BY(mutex_);
  std::string description_ OS_GUARDED_BY(mutex_);
  uint64_t lastTaskIdentifier_ OS_GUARDED_BY(mutex_) = 0;
  // Tasks that may not have completed yet, in creation order.
  std::vector<std::weak_ptr<URLSessionTask>> tasks_ OS_GUARDED_BY(mutex_);
  bool invalidating_ OS_GUARDED_BY(mutex_) = false;
  // didBecomeInvalid has been queued.
  bool invalidated_ OS_GUARDED_BY(mutex_) = false;
};

}  // namespace os
