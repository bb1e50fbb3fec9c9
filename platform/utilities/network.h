// VDUNetwork: the HTTP client of the analytics stack. It sends gzip-compressed POSTs and plain
// GETs, each through its own VDUNetworkURLSession, watches the reachability of one host, and
// reports through a logger delegate or else the logger.
//
//   auto network = VDUNetwork::initWithReachabilityHost("measurement.tessaro.example");
//   network->setReachabilityDelegate(engine);                 // told reachabilityDidChange
//   network->postURL(os::URL::parse("https://measurement.tessaro.example/a"), bundle, worker,
//                    /*usingBackgroundSession=*/true,
//                    [](auto response, auto data, auto error) { ... });   // on `worker`
//
// POST: the payload is gzipped (window bits 31); the request ignores cached data, times out
// after timeoutInterval() (60 s when 0) of inactivity, and carries the caller's headers with
// "Content-Length" (the compressed length), "Content-Type" "application/x-www-form-urlencoded"
// and "Content-Encoding" "gzip" set over them. An empty payload is an empty body. GET: the
// caller's headers only. Each answers the session ID of the request, or nullopt after the
// refusal has been handed to the handler (asynchronously, with no response or data): error 1 for
// a missing URL, 3 when the payload cannot be gzipped, 4 when no request could be made, 2 when no
// session could (see network_logger.h for the domain and codes).
//
// The handler runs once, on `queue` (the main queue when null), unless this object is gone by
// then. hasUploadInProgress() is true from the moment a request returns its session ID until
// its handler has been called.
//
// Logging: with a logger delegate every line goes to it unchanged; else lines of levels 3, 4
// and 6 (and 7 in debug mode) become "<Vedodo/Utilities/Network/LEVEL> message: contexts" on the
// console and in the logger under "[VDUNetwork]" with the code "I-NET%06ld".
//
// Threads: every member may be called from any thread; reachability changes arrive on the main
// thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/dispatch/dispatch.h"
#include "os/net/url.h"
#include "os/sync/mutex.h"
#include "platform/utilities/mutable_dictionary.h"
#include "platform/utilities/network_logger.h"
#include "platform/utilities/network_url_session.h"
#include "platform/utilities/reachability_checker.h"

// The host whose reachability a VDUNetwork made with create() watches.
inline constexpr const char* kVDUNetworkDefaultReachabilityHost = "measurement.tessaro.example";

class VDUNetworkReachabilityDelegate {
 public:
  virtual ~VDUNetworkReachabilityDelegate() = default;
  virtual void reachabilityDidChange() = 0;
};

using VDUNetworkCompletionHandler =
    std::function<void(std::shared_ptr<const os::HTTPURLResponse> response,
                       std::optional<os::Data> data, std::optional<os::Error> error)>;

class VDUNetwork : public VDUReachabilityDelegate,
                   public VDUNetworkLoggerDelegate,
                   public std::enable_shared_from_this<VDUNetwork> {
  struct Private {};

 public:
  // initWithReachabilityHost with kVDUNetworkDefaultReachabilityHost.
  static std::shared_ptr<VDUNetwork> create();
  // A client that watches `host`; nullptr when reachability cannot be started for it (an empty
  // host, among others).
  static std::shared_ptr<VDUNetwork> initWithReachabilityHost(const std::string& host);

  explicit VDUNetwork(Private);
  // Stops watching reachability.
  ~VDUNetwork() override;

  static void handleEventsForBackgroundURLSessionID(
      const std::string& sessionID, VDUNetworkSystemCompletionHandler completionHandler) {
    VDUNetworkURLSession::handleEventsForBackgroundURLSessionID(sessionID,
                                                                std::move(completionHandler));
  }

  std::optional<std::string> postURL(const std::optional<os::URL>& url, const os::Data& payload,
                                     std::shared_ptr<os::DispatchQueue> queue,
                                     bool usingBackgroundSession,
                                     VDUNetworkCompletionHandler handler) {
    return postURL(url, os::HTTPHeaders(), payload, std::move(queue), usingBackgroundSession,
                   std::move(handler));
  }
  std::optional<std::string> postURL(const std::optional<os::URL>& url,
                                     const os::HTTPHeaders& headers, const os::Data& payload,
                                     std::shared_ptr<os::DispatchQueue> queue,
                                     bool usingBackgroundSession,
                                     VDUNetworkCompletionHandler handler);
  std::optional<std::string> getURL(const std::optional<os::URL>& url,
                                    const os::HTTPHeaders& headers,
                                    std::shared_ptr<os::DispatchQueue> queue,
                                    bool usingBackgroundSession,
                                    VDUNetworkCompletionHandler handler);

  bool hasUploadInProgress() const { return requests_.count() > 0; }
  bool isNetworkConnected() const { return isNetworkConnected_.load(); }

  void setReachabilityDelegate(std::weak_ptr<VDUNetworkReachabilityDelegate> delegate);
  // Accepts a live delegate; a null one is refused with an error line (900002) and the old one
  // kept.
  void setLoggerDelegate(const std::shared_ptr<VDUNetworkLoggerDelegate>& delegate);
  bool isDebugModeEnabled() const { return isDebugModeEnabled_.load(); }
  void setIsDebugModeEnabled(bool enabled) { isDebugModeEnabled_.store(enabled); }
  // Seconds; 0 means 60.
  double timeoutInterval() const { return timeoutInterval_.load(); }
  void setTimeoutInterval(double seconds) { timeoutInterval_.store(seconds); }

  // VDUReachabilityDelegate (main thread).
  void reachability(VDUReachabilityChecker& checker, VDUReachabilityStatus status) override;

  // VDUNetworkLoggerDelegate: the network log line (see above).
  void VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                               const std::string& message,
                               const std::vector<os::Value>& contexts) override;
  void VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                               const std::string& message, const os::Value& context) override;
  void VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                               const std::string& message) override;

 private:
  // Hands the fetcher `request`'s road and files it under its session ID.
  std::optional<std::string> send(const os::URLRequest& request, bool isPost,
                                  std::shared_ptr<os::DispatchQueue> queue, bool background,
                                  VDUNetworkCompletionHandler handler);
  std::optional<std::string> handleErrorWithCode(int64_t code,
                                                 std::shared_ptr<os::DispatchQueue> queue,
                                                 VDUNetworkCompletionHandler handler);
  std::shared_ptr<VDUNetworkLoggerDelegate> loggerDelegate() const;
  // A request for `url` with the caller's headers, the timeout and no cached data; nullopt
  // without a URL.
  std::optional<os::URLRequest> makeRequest(const std::optional<os::URL>& url,
                                            const os::HTTPHeaders& headers) const;

  std::shared_ptr<VDUReachabilityChecker> reachability_;
  VDUMutableDictionary<std::shared_ptr<VDUNetworkURLSession>> requests_;
  std::atomic<bool> isNetworkConnected_{false};
  std::atomic<bool> isDebugModeEnabled_{false};
  std::atomic<double> timeoutInterval_{60.0};

  mutable os::Mutex mutex_;
  std::weak_ptr<VDUNetworkReachabilityDelegate> reachabilityDelegate_ OS_GUARDED_BY(mutex_);
  std::weak_ptr<VDUNetworkLoggerDelegate> loggerDelegate_ OS_GUARDED_BY(mutex_);
};
