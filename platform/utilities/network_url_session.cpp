#include "platform/utilities/network_url_session.h"

#include <fmt/format.h>

#include <cerrno>
#include <cmath>
#include <map>

#include "os/crypto/crypto.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/process/clock.h"
#include "os/text/format.h"
#include "platform/utilities/logger.h"
#include "platform/utilities/mutable_dictionary.h"

namespace {

constexpr double kTemporaryFileExpiry = 3600;

// Live fetchers by session ID, held weakly.
os::Mutex gFetcherMapMutex;
std::map<std::string, std::weak_ptr<VDUNetworkURLSession>>& fetcherMap()
    OS_REQUIRES(gFetcherMapMutex) {
  static auto* map = new std::map<std::string, std::weak_ptr<VDUNetworkURLSession>>;
  return *map;
}

VDUMutableDictionary<VDUNetworkSystemCompletionHandler>& systemCompletionHandlers() {
  static auto* handlers = new VDUMutableDictionary<VDUNetworkSystemCompletionHandler>;
  return *handlers;
}

// Trust evaluations run one at a time in the process.
os::Mutex gTrustMutex;

bool hasPrefix(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The request's settings as a session configuration's: headers, timeouts.
void applyRequestSettings(os::URLSessionConfiguration& configuration,
                          const os::URLRequest& request) {
  configuration.setHTTPAdditionalHeaders(request.allHTTPHeaderFields());
  configuration.setTimeoutIntervalForRequest(request.timeoutInterval());
  configuration.setTimeoutIntervalForResource(request.timeoutInterval());
}

// Whether the body ended before the length the response announced. A body whose encoding the
// session undid cannot be compared with its announced length.
bool endedShort(const os::HTTPURLResponse& response, const std::optional<os::Data>& data) {
  int64_t expected = response.expectedContentLength();
  if (expected < 0 || response.valueForHTTPHeaderField("Content-Encoding")) return false;
  return static_cast<int64_t>(data ? data->size() : 0) < expected;
}

}  // namespace

std::shared_ptr<VDUNetworkURLSession> VDUNetworkURLSession::create(
    std::weak_ptr<VDUNetworkLoggerDelegate> loggerDelegate) {
  return std::make_shared<VDUNetworkURLSession>(
      Private{}, std::move(loggerDelegate),
      fmt::format("{}-{}", kVDUNetworkBackgroundSessionPrefix, os::crypto::uuidString()));
}

VDUNetworkURLSession::VDUNetworkURLSession(Private,
                                           std::weak_ptr<VDUNetworkLoggerDelegate> loggerDelegate,
                                           std::string sessionID)
    : sessionID_(std::move(sessionID)),
      loggerDelegate_(std::move(loggerDelegate)),
      queue_(os::DispatchQueue::serial("VDUNetworkURLSessionQueue")) {}

std::filesystem::path VDUNetworkURLSession::networkDirectoryURL() {
  return os::paths::applicationSupport() / "VDU/Network" / "VDUNetworkTemporaryDirectory";
}

std::filesystem::path VDUNetworkURLSession::uploadingFileURL() const {
  return networkDirectoryURL() / fmt::format("VDUUpload_temp_{}", sessionID_);
}

void VDUNetworkURLSession::log(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                               const std::string& message, std::vector<os::Value> contexts) {
  if (auto delegate = loggerDelegate_.lock()) {
    delegate->VDUNetwork_logWithLevel(level, code, message, contexts);
  }
}

std::shared_ptr<os::URLSession> VDUNetworkURLSession::makeSession(
    os::URLSessionConfiguration configuration, const os::URLRequest& request) {
  applyRequestSettings(configuration, request);
  return os::URLSession::sessionWithConfiguration(std::move(configuration), shared_from_this(),
                                                  queue_);
}

std::optional<std::string> VDUNetworkURLSession::sessionIDFromAsyncPOSTRequest(
    const os::URLRequest& request, VDUNetworkURLSessionCompletionHandler completionHandler) {
  maybeRemoveTempFiles(networkDirectoryURL(), kTemporaryFileExpiry);
  std::shared_ptr<os::URLSession> session;
  std::shared_ptr<os::URLSessionTask> task;
  if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
    const os::Data& body = request.HTTPBody() ? *request.HTTPBody() : os::Data();
    os::Error error;
    if (os::files::writeAtomically(
            uploadingFileURL(),
            std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), &error,
            0600)) {
      session = makeSession(os::URLSessionConfiguration::backgroundSessionConfiguration(sessionID_),
                            request);
      task = session->uploadTaskWithRequest(request, os::URL::fileURLWithPath(uploadingFileURL()));
    } else {
      log(VDUNetworkLogLevel::Error, 901000, "Failed to write request data to file",
          {error.localizedDescription()});
    }
  }
  if (!task) {
    session = makeSession(os::URLSessionConfiguration::defaultSessionConfiguration(), request);
    os::URLRequest withoutBody = request;
    withoutBody.setHTTPBody(std::nullopt);
    task = session->uploadTaskWithRequest(withoutBody, request.HTTPBody().value_or(os::Data()));
  }
  return start(session, task, std::move(completionHandler));
}

std::optional<std::string> VDUNetworkURLSession::sessionIDFromAsyncGETRequest(
    const os::URLRequest& request, VDUNetworkURLSessionCompletionHandler completionHandler) {
  auto configuration = backgroundNetworkEnabled_
                           ? os::URLSessionConfiguration::backgroundSessionConfiguration(sessionID_)
                           : os::URLSessionConfiguration::defaultSessionConfiguration();
  std::shared_ptr<os::URLSession> session = makeSession(std::move(configuration), request);
  return start(session, session->downloadTaskWithRequest(request), std::move(completionHandler));
}

std::optional<std::string> VDUNetworkURLSession::start(
    const std::shared_ptr<os::URLSession>& session, const std::shared_ptr<os::URLSessionTask>& task,
    VDUNetworkURLSessionCompletionHandler completionHandler) {
  if (!session || !task) {
    callCompletionHandler(
        std::move(completionHandler), nullptr, std::nullopt,
        VDUNetworkError(kVDUErrorCodeNetworkSessionTaskCreation, "Cannot create network session"));
    return std::nullopt;
  }
  {
    os::MutexLock lock(mutex_);
    URLSession_ = session;
    completionHandler_ = std::move(completionHandler);
  }
  setSessionInFetcherMap(shared_from_this(), sessionID_);
  task->resume();
  return sessionID_;
}

void VDUNetworkURLSession::callCompletionHandler(
    VDUNetworkURLSessionCompletionHandler handler,
    std::shared_ptr<const os::HTTPURLResponse> response, std::optional<os::Data> data,
    std::optional<os::Error> error) {
  if (error) {
    log(VDUNetworkLogLevel::Error, 901017, "Encounter network error. Code, error",
        {error->code, error->localizedDescription()});
  }
  if (!handler) return;
  os::DispatchQueue::main()->async(
      [handler = std::move(handler), response = std::move(response), data = std::move(data),
       sessionID = sessionID_,
       error = std::move(error)] { handler(response, data, sessionID, error); });
}

// --- session events ---

bool VDUNetworkURLSession::didReceiveChallenge(const std::shared_ptr<os::URLSession>&,
                                               const os::URLAuthenticationChallenge& challenge,
                                               os::ChallengeCompletion completion) {
  OS_CHECK_ON(queue_);
  const std::string& host = challenge.protectionSpace.host;
  if (challenge.protectionSpace.authenticationMethod != os::kURLAuthenticationMethodServerTrust) {
    return false;
  }
  std::shared_ptr<os::ServerTrust> trust = challenge.serverTrust;
  if (!trust) {
    log(VDUNetworkLogLevel::Debug, 901004, "Received empty server trust for host. Host", {host});
    return false;
  }
  log(VDUNetworkLogLevel::Debug, 901006, "Received SSL challenge for host. Host", {host});
  std::weak_ptr<VDUNetworkURLSession> weakSelf = weak_from_this();
  os::DispatchQueue::global()->async([weakSelf, trust, host, completion = std::move(completion)] {
    os::Error error;
    bool trusted;
    {
      os::MutexLock lock(gTrustMutex);
      trusted = trust->evaluate(host, &error);
    }
    auto self = weakSelf.lock();
    if (!trusted && self) {
      self->log(VDUNetworkLogLevel::Error, 901008, "Cannot evaluate server trust. Error, host",
                {error.localizedDescription(), host});
      self->log(VDUNetworkLogLevel::Debug, 901007,
                "Cancelling authentication challenge for host. Host", {host});
    }
    if (trusted) {
      completion(os::URLSessionAuthChallengeDisposition::UseCredential,
                 os::URLCredential::forTrust(trust));
    } else {
      completion(os::URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge,
                 std::nullopt);
    }
  });
  return true;
}

bool VDUNetworkURLSession::willPerformHTTPRedirection(
    const std::shared_ptr<os::URLSession>&, const std::shared_ptr<os::URLSessionTask>& task,
    const std::shared_ptr<const os::HTTPURLResponse>& response, const os::URLRequest& newRequest,
    os::RedirectCompletion completion) {
  OS_CHECK_ON(queue_);
  int status = response ? response->statusCode() : 0;
  bool refused = task->originalRequest().HTTPMethod() == "POST" ||
                 (response && (status == 302 || status == 301 || status == 307 || status == 300));
  completion(refused ? std::nullopt : std::optional<os::URLRequest>(newRequest));
  return true;
}

void VDUNetworkURLSession::didReceiveData(const std::shared_ptr<os::URLSession>&,
                                          const std::shared_ptr<os::URLSessionDataTask>&,
                                          const os::Data& data) {
  OS_CHECK_ON(queue_);
  os::MutexLock lock(mutex_);
  if (!downloadedData_) downloadedData_.emplace();
  downloadedData_->insert(downloadedData_->end(), data.begin(), data.end());
}

void VDUNetworkURLSession::didFinishDownloading(const std::shared_ptr<os::URLSession>&,
                                                const std::shared_ptr<os::URLSessionDownloadTask>&,
                                                const os::URL& location) {
  OS_CHECK_ON(queue_);
  os::Error error;
  std::optional<std::string> contents = os::files::readFile(location.path(), &error);
  if (!contents) {
    log(VDUNetworkLogLevel::Error, 901002, "Cannot read the content of downloaded data",
        {error.localizedDescription()});
  }
  os::MutexLock lock(mutex_);
  downloadedData_ = contents ? std::optional<os::Data>(os::Data(contents->begin(), contents->end()))
                             : std::nullopt;
}

void VDUNetworkURLSession::didCompleteWithError(const std::shared_ptr<os::URLSession>& session,
                                                const std::shared_ptr<os::URLSessionTask>& task,
                                                const std::optional<os::Error>& transportError) {
  OS_CHECK_ON(queue_);
  VDUNetworkURLSessionCompletionHandler handler;
  std::optional<os::Data> data;
  {
    os::MutexLock lock(mutex_);
    handler = std::move(completionHandler_);
    completionHandler_ = nullptr;
    data = downloadedData_;
  }
  auto response = std::dynamic_pointer_cast<const os::HTTPURLResponse>(task->response());
  std::optional<os::Error> error = transportError;
  if (response && !endedShort(*response, data)) {
    error.reset();
  } else if (response && !error) {
    error = os::Error(os::kURLErrorDomain, os::kURLErrorNetworkConnectionLost,
                      "The response ended before its announced Content-Length");
  } else if (!response && !error) {
    error = VDUNetworkError(kVDUErrorCodeNetworkInvalidResponse,
                            "Network Error: Empty network response");
  }
  // Cleaned up before the call-back is queued, so that its handler finds the file gone and the
  // map without this fetcher.
  removeTempItem(uploadingFileURL());
  maybeRemoveTempFiles(networkDirectoryURL(), kTemporaryFileExpiry);
  session->finishTasksAndInvalidate();
  {
    // Whatever kind of session ran, the fetcher is done and leaves the map.
    os::MutexLock lock(gFetcherMapMutex);
    auto entry = fetcherMap().find(sessionID_);
    if (entry != fetcherMap().end() && entry->second.lock().get() == this) {
      fetcherMap().erase(entry);
    }
  }
  callCompletionHandler(std::move(handler), response, std::move(data), std::move(error));
}

// --- the process-wide map and background sessions ---

void VDUNetworkURLSession::setSessionInFetcherMap(
    const std::shared_ptr<VDUNetworkURLSession>& fetcher, const std::string& sessionID) {
  std::shared_ptr<VDUNetworkURLSession> discarded;
  {
    os::MutexLock lock(gFetcherMapMutex);
    auto entry = fetcherMap().find(sessionID);
    if (entry != fetcherMap().end()) {
      discarded = entry->second.lock();
      fetcherMap().erase(entry);
    }
    if (discarded == fetcher) discarded = nullptr;
    if (fetcher) fetcherMap()[sessionID] = fetcher;
  }
  if (!discarded) return;
  if (fetcher) {
    fetcher->log(VDUNetworkLogLevel::Info, 901019,
                 os::formatPrintf("Discarding session: %@", {discarded->sessionID()}));
  }
  std::shared_ptr<os::URLSession> session;
  {
    os::MutexLock lock(discarded->mutex_);
    session = discarded->URLSession_.lock();
  }
  if (session) session->finishTasksAndInvalidate();
}

std::shared_ptr<VDUNetworkURLSession> VDUNetworkURLSession::sessionFromFetcherMapForSessionID(
    const std::string& sessionID) {
  os::MutexLock lock(gFetcherMapMutex);
  auto entry = fetcherMap().find(sessionID);
  return entry == fetcherMap().end() ? nullptr : entry->second.lock();
}

std::shared_ptr<VDUNetworkURLSession> VDUNetworkURLSession::fetcherWithSessionIdentifier(
    const std::string& sessionID) {
  if (auto live = sessionFromFetcherMapForSessionID(sessionID)) return live;
  if (!hasPrefix(sessionID, kVDUNetworkBackgroundSessionPrefix)) return nullptr;
  auto fetcher = std::make_shared<VDUNetworkURLSession>(
      Private{}, std::weak_ptr<VDUNetworkLoggerDelegate>(), sessionID);
  setSessionInFetcherMap(fetcher, sessionID);
  return fetcher;
}

void VDUNetworkURLSession::handleEventsForBackgroundURLSessionID(
    const std::string& sessionID, VDUNetworkSystemCompletionHandler systemCompletionHandler) {
  if (!hasPrefix(sessionID, kVDUNetworkBackgroundSessionPrefix)) return;
  std::shared_ptr<VDUNetworkURLSession> fetcher = fetcherWithSessionIdentifier(sessionID);
  if (!fetcher) {
    VDULogAtError("[VDUNetwork]", false, fmt::format("I-NET{:06d}", 900003),
                  "Failed to retrieve background session with ID %@ after app is relaunched.",
                  sessionID);
    return;
  }
  fetcher->addSystemCompletionHandler(std::move(systemCompletionHandler), sessionID);
}

void VDUNetworkURLSession::addSystemCompletionHandler(VDUNetworkSystemCompletionHandler handler,
                                                      const std::string& sessionID) {
  if (!handler) {
    log(VDUNetworkLogLevel::Error, 901009, "Cannot store nil system completion handler in network");
    return;
  }
  if (sessionID.empty()) {
    log(VDUNetworkLogLevel::Error, 901010,
        "Cannot store system completion handler with empty network session identifier");
    return;
  }
  if (systemCompletionHandlers().objectForKey(sessionID)) {
    log(VDUNetworkLogLevel::Warning, 901011,
        "Got multiple system handlers for a single session ID");
  }
  systemCompletionHandlers().setObject(std::move(handler), sessionID);
}

void VDUNetworkURLSession::callSystemCompletionHandler(const std::string& sessionID) {
  std::optional<VDUNetworkSystemCompletionHandler> handler =
      systemCompletionHandlers().objectForKey(sessionID);
  systemCompletionHandlers().removeObjectForKey(sessionID);
  if (handler && *handler) os::DispatchQueue::main()->async(*handler);
}

// --- temporary files ---

void VDUNetworkURLSession::maybeRemoveTempFiles(const std::filesystem::path& folder,
                                                double expiringTime) {
  if (folder.empty()) return;
  os::Error error;
  std::optional<std::vector<std::string>> names = os::files::contentsOfDirectory(folder, &error);
  if (!names) {
    if (error.code != ENOENT) {
      log(VDUNetworkLogLevel::Debug, 901012,
          "Cannot get files from the temporary network folder. Error",
          {error.localizedDescription()});
    }
    return;
  }
  double now = os::clock::now();
  for (const std::string& name : *names) {
    std::optional<os::files::Attributes> attributes = os::files::attributes(folder / name, nullptr);
    if (attributes && std::fabs(now - attributes->modificationDate) > expiringTime) {
      removeTempItem(folder / name);
    }
  }
}

void VDUNetworkURLSession::removeTempItem(const std::filesystem::path& path) {
  if (path.empty()) return;
  os::Error error;
  if (!os::files::removeItem(path, &error) && error.code != ENOENT) {
    log(VDUNetworkLogLevel::Error, 901013, "Failed to remove temporary uploading data file. Error",
        {error.localizedDescription()});
  }
}

bool VDUNetworkURLSession::ensureTemporaryDirectoryExists() {
  if (os::files::isDirectory(networkDirectoryURL())) return true;
  os::Error error;
  if (!os::files::createDirectory(networkDirectoryURL(), true, &error)) {
    log(VDUNetworkLogLevel::Error, 901015, "Cannot create temporary directory. Error",
        {error.localizedDescription()});
    return false;
  }
  return true;
}
