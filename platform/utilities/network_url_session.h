// VDUNetworkURLSession: one HTTP request of VDUNetwork, from its start to one call-back.
//
//   auto fetcher = VDUNetworkURLSession::create(loggerDelegate);
//   std::optional<std::string> id = fetcher->sessionIDFromAsyncPOSTRequest(
//       request, [](auto response, auto data, const std::string& sessionID, auto error) {...});
//
// A POST is an upload task, a GET a download task, each in a URL session of its own whose events
// arrive on the fetcher's private serial queue "VDUNetworkURLSessionQueue". With background
// uploads enabled, a POST body first goes to a temporary file,
// <Application Support>/VDU/Network/VDUNetworkTemporaryDirectory/VDUUpload_temp_<session ID>,
// and the upload reads it from there (a background session with the session ID as identifier);
// the file is removed when the task completes, and every request prunes the folder of files
// older (or newer) than an hour.
//
// Rules the caller relies on:
//  - the call-back runs once, asynchronously on the main queue, with the response, the body
//    received and the error; a response drops a transport error (a 500 is the caller's business)
//    unless the body ended short of the response's Content-Length, which is always a failure;
//    neither response nor error is error 5 ("Network Error: Empty network response");
//  - a POST never follows a redirect (a followed 303 would turn the upload into a GET); other
//    requests follow 303 and 308 but not 300, 301, 302 or 307, whose response ends the task;
//  - a server-trust challenge is answered by evaluating the chain against the host (on a
//    global queue, one evaluation at a time), trusting it or cancelling;
//  - a live fetcher is listed in a process-wide map by session ID from its start until it
//    completes, so that a background session can be found again
//    (handleEventsForBackgroundURLSessionID).
//
// Diagnostics go to the weak logger delegate (the facade) with codes 901000 to 901019; without a
// delegate they go nowhere.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/dispatch/dispatch.h"
#include "os/net/urlsession.h"
#include "os/sync/mutex.h"
#include "platform/utilities/network_logger.h"

inline constexpr const char* kVDUNetworkBackgroundSessionPrefix =
    "com.vdu.network.background-upload";

using VDUNetworkURLSessionCompletionHandler = std::function<void(
    std::shared_ptr<const os::HTTPURLResponse> response, std::optional<os::Data> data,
    const std::string& sessionID, std::optional<os::Error> error)>;
using VDUNetworkSystemCompletionHandler = std::function<void()>;

class VDUNetworkURLSession : public os::URLSessionDelegate,
                             public std::enable_shared_from_this<VDUNetworkURLSession> {
  struct Private {};

 public:
  // A fetcher with a fresh session ID ("com.vdu.network.background-upload-<UUID>").
  static std::shared_ptr<VDUNetworkURLSession> create(
      std::weak_ptr<VDUNetworkLoggerDelegate> loggerDelegate);

  VDUNetworkURLSession(Private, std::weak_ptr<VDUNetworkLoggerDelegate> loggerDelegate,
                       std::string sessionID);

  // Starts the upload of `request`'s body; the session ID, or nullopt after calling back with
  // error 2 when no session or task could be made.
  std::optional<std::string> sessionIDFromAsyncPOSTRequest(
      const os::URLRequest& request, VDUNetworkURLSessionCompletionHandler completionHandler);
  // Starts the download of `request`; the same results.
  std::optional<std::string> sessionIDFromAsyncGETRequest(
      const os::URLRequest& request, VDUNetworkURLSessionCompletionHandler completionHandler);

  // For an ID of ours: finds or makes its fetcher and keeps `systemCompletionHandler` for it;
  // logs "I-NET900003" when none can be had. Other IDs are ignored.
  static void handleEventsForBackgroundURLSessionID(
      const std::string& sessionID, VDUNetworkSystemCompletionHandler systemCompletionHandler);
  // The live fetcher of `sessionID`; else, for an ID of ours, a new fetcher without logger
  // delegate, entered in the map; else nullptr.
  static std::shared_ptr<VDUNetworkURLSession> fetcherWithSessionIdentifier(
      const std::string& sessionID);

  // Keeps `handler` for `sessionID` (901009 for an empty handler, 901010 for an empty ID, 901011
  // before replacing one).
  void addSystemCompletionHandler(VDUNetworkSystemCompletionHandler handler,
                                  const std::string& sessionID);
  // Takes the handler kept for `sessionID` and runs it asynchronously on the main queue.
  void callSystemCompletionHandler(const std::string& sessionID);

  // Enters `fetcher` under `sessionID`, or removes the entry for a null fetcher. A live fetcher
  // already there is discarded (901019) and its session finished and invalidated.
  static void setSessionInFetcherMap(const std::shared_ptr<VDUNetworkURLSession>& fetcher,
                                     const std::string& sessionID);
  static std::shared_ptr<VDUNetworkURLSession> sessionFromFetcherMapForSessionID(
      const std::string& sessionID);

  const std::string& sessionID() const { return sessionID_; }
  bool backgroundNetworkEnabled() const { return backgroundNetworkEnabled_; }
  void setBackgroundNetworkEnabled(bool enabled) { backgroundNetworkEnabled_ = enabled; }
  // The folder of the temporary body files.
  static std::filesystem::path networkDirectoryURL();
  // The temporary body file of this fetcher.
  std::filesystem::path uploadingFileURL() const;

  // --- os::URLSessionDelegate, on the fetcher's queue ---
  bool didReceiveChallenge(const std::shared_ptr<os::URLSession>& session,
                           const os::URLAuthenticationChallenge& challenge,
                           os::ChallengeCompletion completion) override;
  bool willPerformHTTPRedirection(const std::shared_ptr<os::URLSession>& session,
                                  const std::shared_ptr<os::URLSessionTask>& task,
                                  const std::shared_ptr<const os::HTTPURLResponse>& response,
                                  const os::URLRequest& newRequest,
                                  os::RedirectCompletion completion) override;
  void didReceiveData(const std::shared_ptr<os::URLSession>& session,
                      const std::shared_ptr<os::URLSessionDataTask>& task,
                      const os::Data& data) override;
  void didFinishDownloading(const std::shared_ptr<os::URLSession>& session,
                            const std::shared_ptr<os::URLSessionDownloadTask>& task,
                            const os::URL& location) override;
  void didCompleteWithError(const std::shared_ptr<os::URLSession>& session,
                            const std::shared_ptr<os::URLSessionTask>& task,
                            const std::optional<os::Error>& error) override;

 private:
  // Starts `task` of `session`: the common end of both roads.
  std::optional<std::string> start(const std::shared_ptr<os::URLSession>& session,
                                   const std::shared_ptr<os::URLSessionTask>& task,
                                   VDUNetworkURLSessionCompletionHandler completionHandler);
  std::shared_ptr<os::URLSession> makeSession(os::URLSessionConfiguration configuration,
                                              const os::URLRequest& request);
  void callCompletionHandler(VDUNetworkURLSessionCompletionHandler handler,
                             std::shared_ptr<const os::HTTPURLResponse> response,
                             std::optional<os::Data> data, std::optional<os::Error> error);
  void maybeRemoveTempFiles(const std::filesystem::path& folder, double expiringTime);
  void removeTempItem(const std::filesystem::path& path);
  bool ensureTemporaryDirectoryExists();
  void log(VDUNetworkLogLevel level, VDUNetworkMessageCode code, const std::string& message,
           std::vector<os::Value> contexts = {});

  const std::string sessionID_;
  const std::weak_ptr<VDUNetworkLoggerDelegate> loggerDelegate_;
  const std::shared_ptr<os::DispatchQueue> queue_;
  bool backgroundNetworkEnabled_ = false;

  os::Mutex mutex_;
  VDUNetworkURLSessionCompletionHandler completionHandler_ OS_GUARDED_BY(mutex_);
  std::optional<os::Data> downloadedData_ OS_GUARDED_BY(mutex_);
  std::weak_ptr<os::URLSession> URLSession_ OS_GUARDED_BY(mutex_);
};
