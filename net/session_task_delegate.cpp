#include "net/session_task_delegate.h"

#include "net/notification_names.h"
#include "os/dispatch/notifications.h"
#include "os/files/files.h"
#include "os/sync/mutex.h"

namespace {

// Serializers run here, off the operation queue, so that a large body does not hold up the
// session's other events.
const std::shared_ptr<os::DispatchQueue>& processingQueue() {
  static const auto queue =
      os::DispatchQueue::concurrent("com.netkit.networking.session.manager.processing");
  return queue;
}

// The group of the managers that set none.
os::DispatchGroup sharedCompletionGroup() {
  static const os::DispatchGroup group;
  return group;
}

const void* notificationObject(const os::URLSessionTask& task) { return &task; }

}  // namespace

NKURLSessionManagerTaskDelegate::NKURLSessionManagerTaskDelegate(
    std::weak_ptr<NKURLSessionManager> manager, CompletionHandler completion)
    : manager_(std::move(manager)),
      completion_(std::move(completion)),
      uploadProgress_(std::make_shared<Progress>()),
      downloadProgress_(std::make_shared<Progress>()) {
  uploadProgress_->setTotalUnitCount(os::kURLSessionTransferSizeUnknown);
  downloadProgress_->setTotalUnitCount(os::kURLSessionTransferSizeUnknown);
}

void NKURLSessionManagerTaskDelegate::setUploadProgressBlock(ProgressBlock block) {
  os::MutexLock lock(blocksMutex_);
  uploadProgressBlock_ = std::move(block);
}

void NKURLSessionManagerTaskDelegate::setDownloadProgressBlock(ProgressBlock block) {
  os::MutexLock lock(blocksMutex_);
  downloadProgressBlock_ = std::move(block);
}

void NKURLSessionManagerTaskDelegate::setDownloadTaskDidFinishDownloading(DestinationBlock block) {
  os::MutexLock lock(blocksMutex_);
  downloadTaskDidFinishDownloading_ = std::move(block);
}

void NKURLSessionManagerTaskDelegate::setupProgressForTask(
    const std::shared_ptr<os::URLSessionTask>& task) {
  uploadProgress_->setTotalUnitCount(task->countOfBytesExpectedToSend());
  downloadProgress_->setTotalUnitCount(task->countOfBytesExpectedToReceive());

  std::weak_ptr<os::URLSessionTask> weakTask = task;
  for (const std::shared_ptr<Progress>& progress : {uploadProgress_, downloadProgress_}) {
    progress->setCancellable(true);
    progress->setPausable(true);
    progress->setCancellationHandler([weakTask] {
      if (auto task = weakTask.lock()) task->cancel();
    });
    progress->setPausingHandler([weakTask] {
      if (auto task = weakTask.lock()) task->suspend();
    });
    progress->setResumingHandler([weakTask] {
      if (auto task = weakTask.lock()) task->resume();
    });
  }

  std::weak_ptr<NKURLSessionManagerTaskDelegate> weakSelf = weak_from_this();
  auto forward = [weakSelf](Progress& progress) {
    if (auto self = weakSelf.lock()) self->progressChanged(progress);
  };
  uploadFractionObservation_ = uploadProgress_->addFractionObserver(forward);
  downloadFractionObservation_ = downloadProgress_->addFractionObserver(forward);

  counterObservation_ = task->addCounterObserver(
      [weakSelf](os::URLSessionTask&, os::URLSessionTaskCounter counter, int64_t value) {
        auto self = weakSelf.lock();
        if (!self) return;
        switch (counter) {
          case os::URLSessionTaskCounter::BytesReceived:
            self->downloadProgress_->setCompletedUnitCount(value);
            break;
          case os::URLSessionTaskCounter::BytesExpectedToReceive:
            self->downloadProgress_->setTotalUnitCount(value);
            break;
          case os::URLSessionTaskCounter::BytesSent:
            self->uploadProgress_->setCompletedUnitCount(value);
            break;
          case os::URLSessionTaskCounter::BytesExpectedToSend:
            self->uploadProgress_->setTotalUnitCount(value);
            break;
        }
      });
}

void NKURLSessionManagerTaskDelegate::cleanUpProgressForTask(os::URLSessionTask& task) {
  task.removeCounterObserver(counterObservation_);
  uploadProgress_->removeFractionObserver(uploadFractionObservation_);
  downloadProgress_->removeFractionObserver(downloadFractionObservation_);
}

void NKURLSessionManagerTaskDelegate::progressChanged(Progress& progress) {
  ProgressBlock block;
  {
    os::MutexLock lock(blocksMutex_);
    if (&progress == downloadProgress_.get() && downloadProgressBlock_) {
      block = downloadProgressBlock_;
    } else if (&progress == uploadProgress_.get() && uploadProgressBlock_) {
      block = uploadProgressBlock_;
    }
  }
  if (block) block(progress);
}

void NKURLSessionManagerTaskDelegate::didReceiveData(const os::Data& data) {
  mutableData_.insert(mutableData_.end(), data.begin(), data.end());
}

void NKURLSessionManagerTaskDelegate::didFinishDownloading(
    const std::shared_ptr<os::URLSessionDownloadTask>& task, const os::URL& location) {
  downloadFileURL_.reset();
  DestinationBlock destinationFor;
  {
    os::MutexLock lock(blocksMutex_);
    destinationFor = downloadTaskDidFinishDownloading_;
  }
  if (!destinationFor) return;
  if (std::optional<os::URL> destination = destinationFor(task, location)) {
    moveDownload(task, location, *destination);
  }
}

void NKURLSessionManagerTaskDelegate::moveDownload(
    const std::shared_ptr<os::URLSessionDownloadTask>& task, const os::URL& location,
    const os::URL& destination) {
  downloadFileURL_ = destination;
  downloadMoveError_ = moveDownloadedFile(*task, location, destination);
}

std::optional<os::Error> NKURLSessionManagerTaskDelegate::moveDownloadedFile(
    const os::URLSessionDownloadTask& task, const os::URL& location, const os::URL& destination) {
  std::optional<os::Error> error;
  if (!destination.isFileURL()) {
    // The platform's "unsupported scheme" file error.
    error = os::Error(os::kCocoaErrorDomain, 518,
                      "The destination " + destination.absoluteString() + " is not a file URL.");
  } else {
    os::Error replaceError;
    if (!os::files::replaceItem(location.filePath(), destination.filePath(), &replaceError)) {
      error = std::move(replaceError);
    }
  }
  if (error) {
    os::Dictionary userInfo;
    if (const os::Dictionary* own = error->userInfo.asDictionary()) userInfo = *own;
    userInfo.emplace(kNSLocalizedDescriptionKey, error->localizedDescription());
    os::NotificationCenter::defaultCenter().post(NKNotifications::kDownloadFileManagerError,
                                                 notificationObject(task), std::move(userInfo));
  }
  return error;
}

void NKURLSessionManagerTaskDelegate::didCompleteWithError(
    const std::shared_ptr<os::URLSessionTask>& task, const std::optional<os::Error>& error) {
  std::shared_ptr<NKURLSessionManager> manager = manager_.lock();
  std::shared_ptr<NKURLResponseSerialization> serializer;
  std::shared_ptr<os::DispatchQueue> queue = os::DispatchQueue::main();
  os::DispatchGroup group = sharedCompletionGroup();
  os::Dictionary userInfo;
  if (manager) {
    serializer = manager->responseSerializer();
    if (serializer) userInfo[NKNotifications::kResponseSerializerKey] = serializer->description();
    if (auto completionQueue = manager->completionQueue()) queue = std::move(completionQueue);
    if (auto completionGroup = manager->completionGroup()) group = *completionGroup;
  }

  os::Data data = std::move(mutableData_);
  mutableData_.clear();
  if (downloadFileURL_) {
    userInfo[NKNotifications::kAssetPathKey] = downloadFileURL_->absoluteString();
  } else {
    userInfo[NKNotifications::kResponseDataKey] = data;
  }

  // Runs the completion in the group on the queue, then posts the notification on the main
  // queue.
  Response response = task ? task->response() : nullptr;
  auto deliver = [group, queue, completion = completion_, task, response](
                     NKResponseObject object, std::optional<os::Error> failure,
                     os::Dictionary userInfo) mutable {
    group.async(queue, [completion, task, response, object = std::move(object),
                        failure = std::move(failure), userInfo = std::move(userInfo)] {
      if (completion) completion(response, object, failure);
      if (!task) return;
      os::DispatchQueue::main()->async([task, userInfo] {
        os::NotificationCenter::defaultCenter().post(NKNotifications::kTaskComplete,
                                                     notificationObject(*task), userInfo);
      });
    });
  };

  std::optional<os::Error> failure = error ? error : downloadMoveError_;
  if (failure) {
    userInfo[NKNotifications::kErrorKey] = NKErrorValue(*failure);
    deliver(NKResponseObject(), std::move(failure), std::move(userInfo));
    return;
  }
  processingQueue()->async([deliver = std::move(deliver), serializer, data = std::move(data),
                            response, fileURL = downloadFileURL_,
                            userInfo = std::move(userInfo)]() mutable {
    std::optional<os::Error> serializerError;
    NKResponseObject object;
    if (serializer)
      object = serializer->responseObjectForResponse(response, data, &serializerError);
    if (fileURL) object = *fileURL;
    if (!object.isNil()) userInfo[NKNotifications::kSerializedResponseKey] = object.userInfoValue();
    if (serializerError) userInfo[NKNotifications::kErrorKey] = NKErrorValue(*serializerError);
    deliver(std::move(object), std::move(serializerError), std::move(userInfo));
  });
}
