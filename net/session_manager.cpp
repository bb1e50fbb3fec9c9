#include "net/session_manager.h"

#include <fmt/format.h>

#include <utility>

#include "net/coding.h"
#include "net/json_response_serializer.h"
#include "net/notification_names.h"
#include "net/session_task_delegate.h"
#include "net/task_state_notifications.h"
#include "os/log/log.h"
#include "os/sync/mutex.h"

// The session's delegate. It holds the manager by address only, so that the session (which
// keeps its delegate until it is invalidated) does not keep the manager alive; each event
// borrows a strong reference for its duration, and events after the manager's end are dropped.
class NKURLSessionManager::SessionEvents : public os::URLSessionDelegate {
 public:
  explicit SessionEvents(NKURLSessionManager* manager) : manager_(manager) {}

  // Called by the manager's destructor: no event reaches it afterwards.
  void detach() {
    os::MutexLock lock(mutex_);
    manager_ = nullptr;
  }

  void didBecomeInvalid(const std::shared_ptr<os::URLSession>& session,
                        const std::optional<os::Error>& error) override {
    if (auto manager = lock()) manager->didBecomeInvalid(session, error);
  }
  bool didReceiveChallenge(const std::shared_ptr<os::URLSession>& session,
                           const os::URLAuthenticationChallenge& challenge,
                           os::ChallengeCompletion completion) override {
    auto manager = lock();
    if (!manager) return false;
    manager->didReceiveChallenge(session, challenge, completion);
    return true;
  }
  bool willPerformHTTPRedirection(const std::shared_ptr<os::URLSession>& session,
                                  const std::shared_ptr<os::URLSessionTask>& task,
                                  const std::shared_ptr<const os::HTTPURLResponse>& response,
                                  const os::URLRequest& newRequest,
                                  os::RedirectCompletion completion) override {
    auto manager = lock();
    return manager &&
           manager->willPerformHTTPRedirection(session, task, response, newRequest, completion);
  }
  bool needNewBodyStream(const std::shared_ptr<os::URLSession>& session,
                         const std::shared_ptr<os::URLSessionTask>& task,
                         os::BodyStreamCompletion completion) override {
    auto manager = lock();
    if (!manager) return false;
    manager->needNewBodyStream(session, task, completion);
    return true;
  }
  void didSendBodyData(const std::shared_ptr<os::URLSession>& session,
                       const std::shared_ptr<os::URLSessionTask>& task, int64_t bytesSent,
                       int64_t totalBytesSent, int64_t totalBytesExpectedToSend) override {
    if (auto manager = lock()) {
      manager->didSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
    }
  }
  void didCompleteWithError(const std::shared_ptr<os::URLSession>& session,
                            const std::shared_ptr<os::URLSessionTask>& task,
                            const std::optional<os::Error>& error) override {
    if (auto manager = lock()) manager->didCompleteWithError(session, task, error);
  }
  bool didReceiveResponse(const std::shared_ptr<os::URLSession>& session,
                          const std::shared_ptr<os::URLSessionDataTask>& task,
                          const std::shared_ptr<const os::URLResponse>& response,
                          os::ResponseCompletion completion) override {
    auto manager = lock();
    return manager && manager->didReceiveResponse(session, task, response, completion);
  }
  void didReceiveData(const std::shared_ptr<os::URLSession>& session,
                      const std::shared_ptr<os::URLSessionDataTask>& task,
                      const os::Data& data) override {
    if (auto manager = lock()) manager->didReceiveData(session, task, data);
  }
  void didWriteData(const std::shared_ptr<os::URLSession>& session,
                    const std::shared_ptr<os::URLSessionDownloadTask>& task, int64_t bytesWritten,
                    int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override {
    if (auto manager = lock()) {
      manager->didWriteData(session, task, bytesWritten, totalBytesWritten,
                            totalBytesExpectedToWrite);
    }
  }
  void didFinishDownloading(const std::shared_ptr<os::URLSession>& session,
                            const std::shared_ptr<os::URLSessionDownloadTask>& task,
                            const os::URL& location) override {
    if (auto manager = lock()) manager->didFinishDownloading(session, task, location);
  }
  void didResumeAtOffset(const std::shared_ptr<os::URLSession>& session,
                         const std::shared_ptr<os::URLSessionDownloadTask>& task,
                         int64_t fileOffset, int64_t expectedTotalBytes) override {
    if (auto manager = lock()) {
      manager->didResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
    }
  }

  // A strong reference to the manager, or null once it is gone or going. While mutex_ is held
  // the destructor cannot get past detach(), so the object is still there to ask.
  std::shared_ptr<NKURLSessionManager> lock() {
    os::MutexLock lock(mutex_);
    return manager_ ? manager_->weak_from_this().lock() : nullptr;
  }

 private:
  os::Mutex mutex_;
  NKURLSessionManager* manager_ OS_GUARDED_BY(mutex_);
};

NKURLSessionManager::NKURLSessionManager(std::optional<os::URLSessionConfiguration> configuration)
    : taskDescription_(fmt::format("{}", static_cast<const void*>(this))),
      operationQueue_(
          os::DispatchQueue::serial("com.netkit.networking.session.manager.operations")),
      events_(std::make_shared<SessionEvents>(this)),
      session_(os::URLSession::sessionWithConfiguration(
          configuration ? std::move(*configuration)
                        : os::URLSessionConfiguration::defaultSessionConfiguration(),
          events_, operationQueue_)),
      responseSerializer_(NKJSONResponseSerializer::serializer()),
      securityPolicy_(NKSecurityPolicy::defaultPolicy()),
      reachabilityManager_(NKNetworkReachabilityManager::sharedManager()) {
  NKURLSessionTaskNotifications::install();
  // Tasks the session already has get a delegate without blocks, so that they too are counted,
  // announced and completed through the manager. The lists are taken now and answered on the
  // operation queue; a task the caller has registered meanwhile keeps its own delegate. The
  // answer may come before make_shared has finished setting up the manager's weak reference,
  // so an empty answer (always, for the new session made above) must not ask for it.
  session_->getTasksWithCompletionHandler(
      [events = events_](std::vector<std::shared_ptr<os::URLSessionDataTask>> data,
                         std::vector<std::shared_ptr<os::URLSessionUploadTask>> upload,
                         std::vector<std::shared_ptr<os::URLSessionDownloadTask>> download) {
        if (data.empty() && upload.empty() && download.empty()) return;
        auto manager = events->lock();
        if (!manager) return;
        std::vector<std::shared_ptr<os::URLSessionTask>> all(data.begin(), data.end());
        all.insert(all.end(), upload.begin(), upload.end());
        all.insert(all.end(), download.begin(), download.end());
        manager->adoptExistingTasks(all);
      });
}

std::string NKURLSessionManager::description() const { return describe("NKURLSessionManager", ""); }

std::string NKURLSessionManager::describe(std::string_view className,
                                          std::string_view fields) const {
  return fmt::format(
      "<{}: {}, {}session: {}, operationQueue: {}{{name = '{}'}}>", className,
      static_cast<const void*>(this), fields, NKObjectDescription("NSURLSession", session_.get()),
      NKObjectDescription("NSOperationQueue", operationQueue_.get()), operationQueue_->label());
}

std::shared_ptr<NKURLSessionManager> NKURLSessionManager::copy() const {
  return std::make_shared<NKURLSessionManager>(sessionConfiguration());
}

os::Value NKURLSessionManager::encode() const {
  return os::Dictionary{
      {kNKCodedClassKey, "NKURLSessionManager"},
      {kNKSessionConfigurationKey, NKEncodeSessionConfiguration(sessionConfiguration())}};
}

std::shared_ptr<NKURLSessionManager> NKURLSessionManager::decode(const os::Value& coded,
                                                                 os::Error* error) {
  const os::Dictionary* entries = NKCodedObject(coded, "NKURLSessionManager");
  if (!entries) {
    os::fail(error, NKCoderReadCorruptError("Not a coded URL session manager."));
    return nullptr;
  }
  std::optional<os::URLSessionConfiguration> configuration;
  if (!NKDecodeManagerConfiguration(*entries, &configuration, error)) return nullptr;
  return std::make_shared<NKURLSessionManager>(std::move(configuration));
}

NKURLSessionManager::~NKURLSessionManager() {
  events_->detach();
  session_->finishTasksAndInvalidate();
}

std::shared_ptr<NKURLResponseSerialization> NKURLSessionManager::responseSerializer() const {
  os::MutexLock lock(settingsMutex_);
  return responseSerializer_;
}

void NKURLSessionManager::setResponseSerializer(
    std::shared_ptr<NKURLResponseSerialization> serializer) {
  os::MutexLock lock(settingsMutex_);
  responseSerializer_ = std::move(serializer);
}

std::shared_ptr<NKSecurityPolicy> NKURLSessionManager::securityPolicy() const {
  os::MutexLock lock(settingsMutex_);
  return securityPolicy_;
}

void NKURLSessionManager::setSecurityPolicy(std::shared_ptr<NKSecurityPolicy> policy) {
  os::MutexLock lock(settingsMutex_);
  securityPolicy_ = std::move(policy);
}

std::shared_ptr<NKNetworkReachabilityManager> NKURLSessionManager::reachabilityManager() const {
  os::MutexLock lock(settingsMutex_);
  return reachabilityManager_;
}

void NKURLSessionManager::setReachabilityManager(
    std::shared_ptr<NKNetworkReachabilityManager> manager) {
  os::MutexLock lock(settingsMutex_);
  reachabilityManager_ = std::move(manager);
}

std::shared_ptr<os::DispatchQueue> NKURLSessionManager::completionQueue() const {
  os::MutexLock lock(settingsMutex_);
  return completionQueue_;
}

void NKURLSessionManager::setCompletionQueue(std::shared_ptr<os::DispatchQueue> queue) {
  os::MutexLock lock(settingsMutex_);
  completionQueue_ = std::move(queue);
}

std::optional<os::DispatchGroup> NKURLSessionManager::completionGroup() const {
  os::MutexLock lock(settingsMutex_);
  return completionGroup_;
}

void NKURLSessionManager::setCompletionGroup(std::optional<os::DispatchGroup> group) {
  os::MutexLock lock(settingsMutex_);
  completionGroup_ = std::move(group);
}

bool NKURLSessionManager::attemptsToRecreateUploadTasksForBackgroundSessions() const {
  os::MutexLock lock(settingsMutex_);
  return attemptsToRecreateUploadTasks_;
}

void NKURLSessionManager::setAttemptsToRecreateUploadTasksForBackgroundSessions(bool attempts) {
  os::MutexLock lock(settingsMutex_);
  attemptsToRecreateUploadTasks_ = attempts;
}

// --- hooks ---

void NKURLSessionManager::setSessionDidBecomeInvalidBlock(SessionDidBecomeInvalidBlock block) {
  setHook(&Hooks::sessionDidBecomeInvalid, std::move(block));
}

void NKURLSessionManager::setSessionDidReceiveAuthenticationChallengeBlock(
    SessionDidReceiveAuthenticationChallengeBlock block) {
  setHook(&Hooks::sessionDidReceiveAuthenticationChallenge, std::move(block));
}

void NKURLSessionManager::setTaskNeedNewBodyStreamBlock(TaskNeedNewBodyStreamBlock block) {
  setHook(&Hooks::taskNeedNewBodyStream, std::move(block));
}

void NKURLSessionManager::setTaskWillPerformHTTPRedirectionBlock(
    TaskWillPerformHTTPRedirectionBlock block) {
  setHook(&Hooks::taskWillPerformHTTPRedirection, std::move(block));
}

void NKURLSessionManager::setTaskDidSendBodyDataBlock(TaskDidSendBodyDataBlock block) {
  setHook(&Hooks::taskDidSendBodyData, std::move(block));
}

void NKURLSessionManager::setTaskDidCompleteBlock(TaskDidCompleteBlock block) {
  setHook(&Hooks::taskDidComplete, std::move(block));
}

void NKURLSessionManager::setDataTaskDidReceiveResponseBlock(
    DataTaskDidReceiveResponseBlock block) {
  setHook(&Hooks::dataTaskDidReceiveResponse, std::move(block));
}

void NKURLSessionManager::setDataTaskDidReceiveDataBlock(DataTaskDidReceiveDataBlock block) {
  setHook(&Hooks::dataTaskDidReceiveData, std::move(block));
}

void NKURLSessionManager::setDownloadTaskDidFinishDownloadingBlock(
    DownloadTaskDidFinishDownloadingBlock block) {
  setHook(&Hooks::downloadTaskDidFinishDownloading, std::move(block));
}

void NKURLSessionManager::setDownloadTaskDidWriteDataBlock(DownloadTaskDidWriteDataBlock block) {
  setHook(&Hooks::downloadTaskDidWriteData, std::move(block));
}

void NKURLSessionManager::setTaskDidReceiveAuthenticationChallengeBlock(
    TaskDidReceiveAuthenticationChallengeBlock block) {
  setHook(&Hooks::taskDidReceiveAuthenticationChallenge, std::move(block));
}

void NKURLSessionManager::setDownloadTaskDidResumeBlock(DownloadTaskDidResumeBlock block) {
  setHook(&Hooks::downloadTaskDidResume, std::move(block));
}

void NKURLSessionManager::setDidFinishEventsForBackgroundURLSessionBlock(
    DidFinishEventsForBackgroundURLSessionBlock block) {
  setHook(&Hooks::didFinishEventsForBackgroundURLSession, std::move(block));
}

void NKURLSessionManager::setDataTaskDidBecomeDownloadTaskBlock(
    DataTaskDidBecomeDownloadTaskBlock block) {
  setHook(&Hooks::dataTaskDidBecomeDownloadTask, std::move(block));
}

void NKURLSessionManager::setDataTaskWillCacheResponseBlock(DataTaskWillCacheResponseBlock block) {
  setHook(&Hooks::dataTaskWillCacheResponse, std::move(block));
}

// --- task creation and registration ---

std::shared_ptr<NKURLSessionManagerTaskDelegate> NKURLSessionManager::makeDelegate(
    CompletionHandler completion) {
  return std::make_shared<NKURLSessionManagerTaskDelegate>(weak_from_this(), std::move(completion));
}

template <typename Task>
std::shared_ptr<Task> NKURLSessionManager::adopt(
    std::shared_ptr<Task> task, std::shared_ptr<NKURLSessionManagerTaskDelegate> delegate) {
  if (task) {
    task->setTaskDescription(taskDescription_);
    setDelegateForTask(delegate, task);
    return task;
  }
  // Nothing to register; the caller still hears that its task never came to be.
  os::Error error(os::kURLErrorDomain, os::kURLErrorUnknown,
                  "The session made no task: it has been invalidated.");
  os::log::write(os::log::Level::Warning, error.description);
  delegate->didCompleteWithError(nullptr, error);
  return nullptr;
}

std::shared_ptr<os::URLSessionDataTask> NKURLSessionManager::dataTaskWithRequest(
    const os::URLRequest& request, CompletionHandler completion) {
  return dataTaskWithRequest(request, nullptr, nullptr, std::move(completion));
}

std::shared_ptr<os::URLSessionDataTask> NKURLSessionManager::dataTaskWithRequest(
    const os::URLRequest& request, ProgressBlock uploadProgress, ProgressBlock downloadProgress,
    CompletionHandler completion) {
  auto delegate = makeDelegate(std::move(completion));
  auto task = adopt(session_->dataTaskWithRequest(request), delegate);
  delegate->setUploadProgressBlock(std::move(uploadProgress));
  delegate->setDownloadProgressBlock(std::move(downloadProgress));
  return task;
}

std::shared_ptr<os::URLSessionUploadTask> NKURLSessionManager::uploadTaskWithRequest(
    const os::URLRequest& request, const os::URL& fileURL, ProgressBlock progress,
    CompletionHandler completion) {
  auto made = session_->uploadTaskWithRequest(request, fileURL);
  if (!made && attemptsToRecreateUploadTasksForBackgroundSessions() &&
      session_->configuration().identifier()) {
    for (int attempt = 0; attempt < 3 && !made; ++attempt) {
      made = session_->uploadTaskWithRequest(request, fileURL);
    }
  }
  auto delegate = makeDelegate(std::move(completion));
  auto task = adopt(std::move(made), delegate);
  delegate->setUploadProgressBlock(std::move(progress));
  return task;
}

std::shared_ptr<os::URLSessionUploadTask> NKURLSessionManager::uploadTaskWithRequest(
    const os::URLRequest& request, const os::Data& body, ProgressBlock progress,
    CompletionHandler completion) {
  auto delegate = makeDelegate(std::move(completion));
  auto task = adopt(session_->uploadTaskWithRequest(request, body), delegate);
  delegate->setUploadProgressBlock(std::move(progress));
  return task;
}

std::shared_ptr<os::URLSessionUploadTask> NKURLSessionManager::uploadTaskWithStreamedRequest(
    const os::URLRequest& request, ProgressBlock progress, CompletionHandler completion) {
  auto delegate = makeDelegate(std::move(completion));
  auto task = adopt(session_->uploadTaskWithStreamedRequest(request), delegate);
  delegate->setUploadProgressBlock(std::move(progress));
  return task;
}

std::shared_ptr<os::URLSessionDownloadTask> NKURLSessionManager::downloadTaskWithRequest(
    const os::URLRequest& request, ProgressBlock progress, DestinationBlock destination,
    DownloadCompletionHandler completion) {
  return adoptDownload(session_->downloadTaskWithRequest(request), std::move(progress),
                       std::move(destination), std::move(completion));
}

std::shared_ptr<os::URLSessionDownloadTask> NKURLSessionManager::downloadTaskWithResumeData(
    const os::Data& resumeData, ProgressBlock progress, DestinationBlock destination,
    DownloadCompletionHandler completion) {
  return adoptDownload(session_->downloadTaskWithResumeData(resumeData), std::move(progress),
                       std::move(destination), std::move(completion));
}

std::shared_ptr<os::URLSessionDownloadTask> NKURLSessionManager::adoptDownload(
    std::shared_ptr<os::URLSessionDownloadTask> task, ProgressBlock progress,
    DestinationBlock destination, DownloadCompletionHandler completion) {
  CompletionHandler general;
  if (completion) {
    general = [completion = std::move(completion)](const Response& response,
                                                   const NKResponseObject& object,
                                                   const std::optional<os::Error>& error) {
      const os::URL* file = object.fileURL();
      completion(response, file ? std::optional<os::URL>(*file) : std::nullopt, error);
    };
  }
  auto delegate = makeDelegate(std::move(general));
  if (destination) {
    delegate->setDownloadTaskDidFinishDownloading(
        [destination = std::move(destination)](
            const std::shared_ptr<os::URLSessionDownloadTask>& task, const os::URL& location) {
          return destination(location, task->response());
        });
  }
  auto adopted = adopt(std::move(task), delegate);
  delegate->setDownloadProgressBlock(std::move(progress));
  return adopted;
}

void NKURLSessionManager::adoptExistingTasks(
    const std::vector<std::shared_ptr<os::URLSessionTask>>& tasks) {
  for (const auto& task : tasks) {
    if (!delegateForTask(*task)) adopt(task, makeDelegate(nullptr));
  }
}

NKURLSessionManager::TaskLists NKURLSessionManager::taskLists() const {
  os::DispatchSemaphore answered;
  TaskLists lists;
  session_->getTasksWithCompletionHandler(
      [&](std::vector<std::shared_ptr<os::URLSessionDataTask>> data,
          std::vector<std::shared_ptr<os::URLSessionUploadTask>> upload,
          std::vector<std::shared_ptr<os::URLSessionDownloadTask>> download) {
        lists = {std::move(data), std::move(upload), std::move(download)};
        answered.signal();
      });
  answered.wait();
  return lists;
}

std::vector<std::shared_ptr<os::URLSessionTask>> NKURLSessionManager::tasks() const {
  TaskLists lists = taskLists();
  std::vector<std::shared_ptr<os::URLSessionTask>> all(lists.data.begin(), lists.data.end());
  all.insert(all.end(), lists.upload.begin(), lists.upload.end());
  all.insert(all.end(), lists.download.begin(), lists.download.end());
  return all;
}

std::vector<std::shared_ptr<os::URLSessionDataTask>> NKURLSessionManager::dataTasks() const {
  return taskLists().data;
}

std::vector<std::shared_ptr<os::URLSessionUploadTask>> NKURLSessionManager::uploadTasks() const {
  return taskLists().upload;
}

std::vector<std::shared_ptr<os::URLSessionDownloadTask>> NKURLSessionManager::downloadTasks()
    const {
  return taskLists().download;
}

void NKURLSessionManager::setDelegateForTask(
    const std::shared_ptr<NKURLSessionManagerTaskDelegate>& delegate,
    const std::shared_ptr<os::URLSessionTask>& task) {
  os::MutexLock lock(lock_);
  Registration registration = observeResumeAndSuspend(task);
  registration.delegate = delegate;
  registrations_[task->taskIdentifier()] = std::move(registration);
  delegate->setupProgressForTask(task);
  if (!selfWhileBusy_) selfWhileBusy_ = weak_from_this().lock();
}

std::shared_ptr<NKURLSessionManagerTaskDelegate> NKURLSessionManager::delegateForTask(
    const os::URLSessionTask& task) const {
  os::MutexLock lock(lock_);
  auto found = registrations_.find(task.taskIdentifier());
  return found == registrations_.end() ? nullptr : found->second.delegate;
}

void NKURLSessionManager::removeDelegateForTask(os::URLSessionTask& task) {
  // Declared first so that it is released last: it may hold the manager's last reference.
  std::shared_ptr<NKURLSessionManager> self;
  Registration removed;
  {
    os::MutexLock lock(lock_);
    auto found = registrations_.find(task.taskIdentifier());
    if (found == registrations_.end()) return;
    removed = std::move(found->second);
    registrations_.erase(found);
    if (registrations_.empty()) self = std::move(selfWhileBusy_);
  }
  // Outside the lock: ending the counter observation may wait for a progress block that is
  // running on the transfer thread, and that block may ask this manager for a progress object.
  removed.delegate->cleanUpProgressForTask(task);
}

NKURLSessionManager::Registration NKURLSessionManager::observeResumeAndSuspend(
    const std::shared_ptr<os::URLSessionTask>& task) {
  auto& center = os::NotificationCenter::defaultCenter();
  const void* object = static_cast<const os::URLSessionTask*>(task.get());
  // Observes `heard` for the task and posts `reposted` when the task carries this manager's
  // description.
  auto repost = [&center, object, weakTask = std::weak_ptr<os::URLSessionTask>(task),
                 description = taskDescription_](const char* heard, const char* reposted) {
    return os::ObserverRegistration(
        center,
        center.addObserver(
            heard, object, [&center, weakTask, description, reposted](const os::Notification&) {
              auto task = weakTask.lock();
              if (!task || task->taskDescription() != description) return;
              os::DispatchQueue::main()->async([&center, task, reposted] {
                center.post(reposted, static_cast<const os::URLSessionTask*>(task.get()));
              });
            }));
  };
  Registration registration;
  registration.resumeObservation =
      repost(NKNotifications::kSessionTaskResume, NKNotifications::kTaskResume);
  registration.suspendObservation =
      repost(NKNotifications::kSessionTaskSuspend, NKNotifications::kTaskSuspend);
  return registration;
}

std::shared_ptr<Progress> NKURLSessionManager::uploadProgressForTask(
    const os::URLSessionTask* task) const {
  if (!task) return nullptr;
  auto delegate = delegateForTask(*task);
  return delegate ? delegate->uploadProgress() : nullptr;
}

std::shared_ptr<Progress> NKURLSessionManager::downloadProgressForTask(
    const os::URLSessionTask* task) const {
  if (!task) return nullptr;
  auto delegate = delegateForTask(*task);
  return delegate ? delegate->downloadProgress() : nullptr;
}

void NKURLSessionManager::invalidateSessionCancelingTasks(bool cancelTasks) {
  os::DispatchQueue::main()->async([session = session_, cancelTasks] {
    if (cancelTasks) {
      session->invalidateAndCancel();
    } else {
      session->finishTasksAndInvalidate();
    }
  });
}

// --- session events ---

void NKURLSessionManager::didBecomeInvalid(const std::shared_ptr<os::URLSession>& session,
                                           const std::optional<os::Error>& error) {
  if (auto block = hook(&Hooks::sessionDidBecomeInvalid)) block(session, error);
  os::NotificationCenter::defaultCenter().post(NKNotifications::kSessionInvalidate, session.get());
}

void NKURLSessionManager::didReceiveChallenge(const std::shared_ptr<os::URLSession>& session,
                                              const os::URLAuthenticationChallenge& challenge,
                                              const os::ChallengeCompletion& completion) {
  using Disposition = os::URLSessionAuthChallengeDisposition;
  if (auto block = hook(&Hooks::sessionDidReceiveAuthenticationChallenge)) {
    std::optional<os::URLCredential> credential;
    Disposition disposition = block(session, challenge, &credential);
    completion(disposition, std::move(credential));
    return;
  }
  if (challenge.protectionSpace.authenticationMethod != os::kURLAuthenticationMethodServerTrust ||
      !challenge.serverTrust) {
    completion(Disposition::PerformDefaultHandling, std::nullopt);
    return;
  }
  std::shared_ptr<NKSecurityPolicy> policy = securityPolicy();
  if (policy &&
      policy->evaluateServerTrust(*challenge.serverTrust, challenge.protectionSpace.host)) {
    completion(Disposition::UseCredential, os::URLCredential::forTrust(challenge.serverTrust));
  } else {
    completion(Disposition::CancelAuthenticationChallenge, std::nullopt);
  }
}

bool NKURLSessionManager::willPerformHTTPRedirection(
    const std::shared_ptr<os::URLSession>& session, const std::shared_ptr<os::URLSessionTask>& task,
    const std::shared_ptr<const os::HTTPURLResponse>& response, const os::URLRequest& newRequest,
    const os::RedirectCompletion& completion) {
  auto block = hook(&Hooks::taskWillPerformHTTPRedirection);
  // Without a hook the session follows the redirect on its own.
  if (!block) return false;
  completion(block(session, task, response, newRequest));
  return true;
}

void NKURLSessionManager::needNewBodyStream(const std::shared_ptr<os::URLSession>& session,
                                            const std::shared_ptr<os::URLSessionTask>& task,
                                            const os::BodyStreamCompletion& completion) {
  if (auto block = hook(&Hooks::taskNeedNewBodyStream)) {
    completion(block(session, task));
    return;
  }
  const std::shared_ptr<os::InputStream>& stream = task->originalRequest().HTTPBodyStream();
  completion(stream ? stream->copy() : nullptr);
}

void NKURLSessionManager::didSendBodyData(const std::shared_ptr<os::URLSession>& session,
                                          const std::shared_ptr<os::URLSessionTask>& task,
                                          int64_t bytesSent, int64_t totalBytesSent,
                                          int64_t totalBytesExpectedToSend) {
  auto block = hook(&Hooks::taskDidSendBodyData);
  if (!block) return;
  if (totalBytesExpectedToSend == os::kURLSessionTransferSizeUnknown) {
    if (auto length = task->originalRequest().valueForHTTPHeaderField("Content-Length")) {
      totalBytesExpectedToSend = os::Value(*length).integerValue();
    }
  }
  block(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
}

void NKURLSessionManager::didCompleteWithError(const std::shared_ptr<os::URLSession>& session,
                                               const std::shared_ptr<os::URLSessionTask>& task,
                                               const std::optional<os::Error>& error) {
  if (auto delegate = delegateForTask(*task)) {
    delegate->didCompleteWithError(task, error);
    removeDelegateForTask(*task);
  }
  if (auto block = hook(&Hooks::taskDidComplete)) block(session, task, error);
}

bool NKURLSessionManager::didReceiveResponse(const std::shared_ptr<os::URLSession>& session,
                                             const std::shared_ptr<os::URLSessionDataTask>& task,
                                             const Response& response,
                                             const os::ResponseCompletion& completion) {
  auto block = hook(&Hooks::dataTaskDidReceiveResponse);
  if (!block) return false;
  completion(block(session, task, response));
  return true;
}

void NKURLSessionManager::didReceiveData(const std::shared_ptr<os::URLSession>& session,
                                         const std::shared_ptr<os::URLSessionDataTask>& task,
                                         const os::Data& data) {
  if (auto delegate = delegateForTask(*task)) delegate->didReceiveData(data);
  if (auto block = hook(&Hooks::dataTaskDidReceiveData)) block(session, task, data);
}

void NKURLSessionManager::didWriteData(const std::shared_ptr<os::URLSession>& session,
                                       const std::shared_ptr<os::URLSessionDownloadTask>& task,
                                       int64_t bytesWritten, int64_t totalBytesWritten,
                                       int64_t totalBytesExpectedToWrite) {
  if (auto block = hook(&Hooks::downloadTaskDidWriteData)) {
    block(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
  }
}

void NKURLSessionManager::didResumeAtOffset(const std::shared_ptr<os::URLSession>& session,
                                            const std::shared_ptr<os::URLSessionDownloadTask>& task,
                                            int64_t fileOffset, int64_t expectedTotalBytes) {
  if (auto block = hook(&Hooks::downloadTaskDidResume)) {
    block(session, task, fileOffset, expectedTotalBytes);
  }
}

void NKURLSessionManager::didFinishDownloading(
    const std::shared_ptr<os::URLSession>& session,
    const std::shared_ptr<os::URLSessionDownloadTask>& task, const os::URL& location) {
  auto delegate = delegateForTask(*task);
  if (auto block = hook(&Hooks::downloadTaskDidFinishDownloading)) {
    if (std::optional<os::URL> destination = block(session, task, location)) {
      if (delegate) {
        delegate->moveDownload(task, location, *destination);
      } else {
        NKURLSessionManagerTaskDelegate::moveDownloadedFile(*task, location, *destination);
      }
      return;
    }
  }
  if (delegate) delegate->didFinishDownloading(task, location);
}
