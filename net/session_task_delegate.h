// NKURLSessionManagerTaskDelegate is what a session manager keeps for one task from its creation
// to its completion: the task's two progress objects, the body bytes received, the download's
// destination, and the blocks that report them. Managers create and drive them; callers reach
// the progress objects through NKURLSessionManager::uploadProgressForTask and
// downloadProgressForTask.
//
// Threads: the progress objects follow the task's byte counters on the session's transfer
// thread and call the progress blocks there; everything else runs on the manager's operation
// queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "net/progress.h"
#include "net/session_manager.h"
#include "os/sync/mutex.h"

class NKURLSessionManagerTaskDelegate
    : public std::enable_shared_from_this<NKURLSessionManagerTaskDelegate> {
 public:
  using CompletionHandler = NKURLSessionManager::CompletionHandler;
  using ProgressBlock = NKURLSessionManager::ProgressBlock;
  using Response = NKURLSessionManager::Response;
  // The destination for a finished download at `location`; nullopt leaves it.
  using DestinationBlock = std::function<std::optional<os::URL>(
      const std::shared_ptr<os::URLSessionDownloadTask>& task, const os::URL& location)>;

  // Both progress objects start with an unknown total. `manager` is held weakly: when it is
  // gone by completion time, the completion runs with its defaults (no serializer, main queue,
  // shared group).
  NKURLSessionManagerTaskDelegate(std::weak_ptr<NKURLSessionManager> manager,
                                  CompletionHandler completion);
  NKURLSessionManagerTaskDelegate(const NKURLSessionManagerTaskDelegate&) = delete;
  NKURLSessionManagerTaskDelegate& operator=(const NKURLSessionManagerTaskDelegate&) = delete;

  const std::shared_ptr<Progress>& uploadProgress() const { return uploadProgress_; }
  const std::shared_ptr<Progress>& downloadProgress() const { return downloadProgress_; }
  void setUploadProgressBlock(ProgressBlock block);
  void setDownloadProgressBlock(ProgressBlock block);
  void setDownloadTaskDidFinishDownloading(DestinationBlock block);

  // Makes the progress objects follow `task`'s byte counters (and call the progress blocks on
  // each change), and lets them cancel, suspend and resume the task, which they hold weakly.
  void setupProgressForTask(const std::shared_ptr<os::URLSessionTask>& task);
  // Stops following `task`'s counters.
  void cleanUpProgressForTask(os::URLSessionTask& task);

  // Appends a piece of the body.
  void didReceiveData(const os::Data& data);

  // Moves the finished download at `location` to the destination block's answer, if any.
  void didFinishDownloading(const std::shared_ptr<os::URLSessionDownloadTask>& task,
                            const os::URL& location);
  // Moves the finished download at `location` to `destination` (replacing a file there) and
  // remembers it as the task's result; a failure is posted as
  // NKNotifications::kDownloadFileManagerError and becomes the task's error.
  void moveDownload(const std::shared_ptr<os::URLSessionDownloadTask>& task,
                    const os::URL& location, const os::URL& destination);

  // Completes the task: on failure (`error`, or a failed move) the completion gets the error and
  // no object; on success the body is serialized first. See net/session_manager.h for the
  // queues and the notification. A null `task` is one the session never made: the completion
  // gets `error` and nothing is posted.
  void didCompleteWithError(const std::shared_ptr<os::URLSessionTask>& task,
                            const std::optional<os::Error>& error);

  // Moves the file at `location` to `destination`, replacing what is there in one step (a
  // failure leaves the destination as it was); posts NKNotifications::kDownloadFileManagerError
  // for `task` with the error's user info when it fails.
  static std::optional<os::Error> moveDownloadedFile(const os::URLSessionDownloadTask& task,
                                                     const os::URL& location,
                                                     const os::URL& destination);

 private:
  void progressChanged(Progress& progress);

  const std::weak_ptr<NKURLSessionManager> manager_;
  const CompletionHandler completion_;
  const std::shared_ptr<Progress> uploadProgress_;
  const std::shared_ptr<Progress> downloadProgress_;

  mutable os::Mutex blocksMutex_;
  ProgressBlock uploadProgressBlock_ OS_GUARDED_BY(blocksMutex_);
  ProgressBlock downloadProgressBlock_ OS_GUARDED_BY(blocksMutex_);
  DestinationBlock downloadTaskDidFinishDownloading_ OS_GUARDED_BY(blocksMutex_);

  // Touched only on the operation queue.
  os::Data mutableData_;
  std::optional<os::URL> downloadFileURL_;
  std::optional<os::Error> downloadMoveError_;

  // Set up and cleaned up on the thread that registers and removes the task.
  uint64_t counterObservation_ = 0;
  uint64_t uploadFractionObservation_ = 0;
  uint64_t downloadFractionObservation_ = 0;
};
