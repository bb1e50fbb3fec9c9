#include "os/net/urlsession.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "os/files/paths.h"
#include "os/log/log.h"
#include "os/net/internal/urlsession_engine.h"
#include "os/net/internal/urlsession_resume.h"

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
void URLSessionDelegate::didResumeAtOffset(const std::shared_ptr<URLSession>&,
                                           const std::shared_ptr<URLSessionDownloadTask>&, int64_t,
                                           int64_t) {}
void URLSessionDelegate::didFinishDownloading(const std::shared_ptr<URLSession>&,
                                              const std::shared_ptr<URLSessionDownloadTask>&,
                                              const URL&) {}
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

namespace {

struct DownloadDirectory {
  Mutex mutex;
  std::filesystem::path path OS_GUARDED_BY(mutex);
};

DownloadDirectory& downloadDirectorySetting() {
  static auto* setting = new DownloadDirectory();
  return *setting;
}

// A partial download file is locked by the process that writes it (see the engine), so a file
// that can be locked here belongs to no running transfer.
void removeAbandonedDownloads(const std::filesystem::path& directory) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    if (!entry.path().filename().string().starts_with(kURLSessionDownloadFilePrefix)) continue;
    int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      std::error_code ignored;
      std::filesystem::remove(entry.path(), ignored);
    }
    ::close(fd);
  }
}

}  // namespace

bool URLSession::setDownloadDirectory(const std::filesystem::path& directory, Error* error) {
  if (!directory.empty()) {
    std::error_code failure;
    std::filesystem::create_directories(directory, failure);
    if (failure) {
      if (error) *error = posixError(failure.value(), directory.string());
      return false;
    }
    removeAbandonedDownloads(directory);
  }
  DownloadDirectory& setting = downloadDirectorySetting();
  MutexLock lock(setting.mutex);
  setting.path = directory;
  return true;
}

std::filesystem::path URLSession::downloadDirectory() {
  DownloadDirectory& setting = downloadDirectorySetting();
  MutexLock lock(setting.mutex);
  return setting.path.empty() ? paths::temporary() : setting.path;
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
  MutexLock lock(mutex_);
  return delegate_;
}

std::string URLSession::sessionDescription() const {
  MutexLock lock(mutex_);
  return description_;
}

void URLSession::setSessionDescription(std::string description) {
  MutexLock lock(mutex_);
  description_ = std::move(description);
}

template <typename TaskType>
std::shared_ptr<TaskType> URLSession::makeTask(URLSessionTask::Kind kind,
                                               const URLRequest& request) {
  URLRequest prepared = request;
  for (const auto& [name, value] : configuration_.HTTPAdditionalHeaders().fields()) {
    if (!prepared.allHTTPHeaderFields().contains(name)) prepared.setValue(value, name);
  }
  MutexLock lock(mutex_);
  if (invalidating_) {
    log::write(log::Level::Error,
               "A task was created in a URL session that has been invalidated: " +
                   request.url().absoluteString());
    return nullptr;
  }
  std::shared_ptr<TaskType> task(
      new TaskType(kind, shared_from_this(), ++lastTaskIdentifier_, request));
  {
    MutexLock taskLock(task->mutex_);
    task->currentRequest_ = std::move(prepared);
  }
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

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(
    const Data& resumeData) {
  Error error;
  std::optional<internal::ResumeData> from = internal::decodeResumeData(resumeData, &error);
  const std::string* failingURL = error.userInfo[kURLErrorFailingURLStringKey].asString();
  URLRequest request(from ? from->url : *URL::parse(failingURL ? *failingURL : "about:blank"));
  if (from) {
    request.setValue("bytes=" + std::to_string(from->bytesReceived) + "-", "Range");
    request.setValue(from->validator(), "If-Range");
  }
  auto task = makeTask<URLSessionDownloadTask>(URLSessionTask::Kind::Download, request);
  if (!task) return nullptr;
  if (from) {
    task->transfer_->resumeFrom = std::move(from);
  } else {
    task->transfer_->resumeDataError = std::move(error);
  }
  return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(
    const Data& resumeData, DownloadTaskCompletion completion) {
  auto task = downloadTaskWithResumeData(resumeData);
  if (task) task->transfer_->downloadCompletion = std::move(completion);
  return task;
}

void URLSession::discardResumeData(const Error& error) {
  const Data* resumeData = error.userInfo[kURLSessionDownloadTaskResumeData].asData();
  if (!resumeData) return;
  if (std::optional<internal::ResumeData> from = internal::decodeResumeData(*resumeData, nullptr)) {
    std::error_code ignored;
    std::filesystem::remove(from->localPath, ignored);
  }
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
    MutexLock lock(mutex_);
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
    MutexLock lock(mutex_);
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
    MutexLock lock(mutex_);
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
    MutexLock lock(session->mutex_);
    session->delegate_ = nullptr;
  });
}

}  // namespace os
