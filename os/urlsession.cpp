#include "os/urlsession.h"

namespace os {

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() { return {}; }
URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
  URLSessionConfiguration c;
  c.ephemeral_ = true;
  return c;
}
URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfiguration(
    std::string identifier) {
  URLSessionConfiguration c;
  c.identifier_ = std::move(identifier);
  return c;
}

ServerTrust::ServerTrust(std::vector<Data> chain, std::string host)
    : chain_(std::move(chain)), host_(std::move(host)) {}
ServerTrust::~ServerTrust() = default;
void ServerTrust::setAnchorCertificates(std::vector<Data>) {}
bool ServerTrust::evaluate(const std::optional<std::string>&, Error*) const { return false; }

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

URLSessionTask::URLSessionTask(Kind kind, std::shared_ptr<URLSession> session, uint64_t identifier,
                               URLRequest request)
    : kind_(kind),
      session_(std::move(session)),
      identifier_(identifier),
      originalRequest_(request),
      currentRequest_(std::move(request)) {}
URLSessionTask::~URLSessionTask() = default;
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
void URLSessionTask::resume() {}
void URLSessionTask::suspend() {}
void URLSessionTask::cancel() {}
uint64_t URLSessionTask::addResumeSuspendObserver(ResumeSuspendObserver) { return 0; }
void URLSessionTask::removeResumeSuspendObserver(uint64_t) {}
uint64_t URLSessionTask::addCounterObserver(CounterObserver) { return 0; }
void URLSessionTask::removeCounterObserver(uint64_t) {}
void URLSessionTask::setCounter(URLSessionTaskCounter, int64_t) {}

class URLSession::Engine {};

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(
    URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
    std::shared_ptr<DispatchQueue> delegateQueue) {
  return std::make_shared<URLSession>(Private{}, std::move(configuration), std::move(delegate),
                                      std::move(delegateQueue));
}
const std::shared_ptr<URLSession>& URLSession::sharedSession() {
  static const std::shared_ptr<URLSession> session =
      sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
  return session;
}
URLSession::URLSession(Private, URLSessionConfiguration configuration,
                       std::shared_ptr<URLSessionDelegate> delegate,
                       std::shared_ptr<DispatchQueue> delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(delegateQueue ? std::move(delegateQueue)
                                   : DispatchQueue::serial("os.urlsession.delegate")),
      delegate_(std::move(delegate)) {}
URLSession::~URLSession() = default;
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
std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest&) {
  return nullptr;
}
std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest&,
                                                                    DataTaskCompletion) {
  return nullptr;
}
std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(const URL&) { return nullptr; }
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest&,
                                                                        const URL&) {
  return nullptr;
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest&,
                                                                        const URL&,
                                                                        DataTaskCompletion) {
  return nullptr;
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest&,
                                                                        const Data&) {
  return nullptr;
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest&,
                                                                        const Data&,
                                                                        DataTaskCompletion) {
  return nullptr;
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(const URLRequest&) {
  return nullptr;
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(const URLRequest&) {
  return nullptr;
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(
    const URLRequest&, DownloadTaskCompletion) {
  return nullptr;
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithURL(const URL&) {
  return nullptr;
}
void URLSession::getTasksWithCompletionHandler(
    std::function<void(std::vector<std::shared_ptr<URLSessionDataTask>>,
                       std::vector<std::shared_ptr<URLSessionUploadTask>>,
                       std::vector<std::shared_ptr<URLSessionDownloadTask>>)>) {}
void URLSession::finishTasksAndInvalidate() {}
void URLSession::invalidateAndCancel() {}

}  // namespace os
