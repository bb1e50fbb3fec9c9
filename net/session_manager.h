// NKURLSessionManager owns one URL session and turns its tasks into calls of your blocks: a
// progress object per direction, a destination for downloads, and one completion per task with
// the body run through the response serializer (JSON by default).
//
//   auto manager = std::make_shared<NKURLSessionManager>();
//   auto task = manager->downloadTaskWithRequest(
//       os::URLRequest(*os::URL::parse("https://downloads.example.test/app.zip"), 120),
//       [](Progress& progress) { report(progress.fractionCompleted()); },  // transfer thread
//       [&](const os::URL& temporary, const auto& response) {
//         return os::URL::fileURLWithPath(zip);
//       },
//       [](const auto& response, const std::optional<os::URL>& file,
//          const std::optional<os::Error>& error) { ... });                // main thread
//   task->resume();
//
// Threads. Session events arrive on the manager's operation queue (serial), where destination
// blocks and hooks run. Progress blocks run on the session's transfer thread as its byte counters
// change. The body is serialized on a process-wide concurrent queue; completion blocks then run
// on the completion queue (the main queue unless set) inside the completion group, and after
// each completion NKNotifications::kTaskComplete is posted on the main queue. No lock is held
// while a block of yours runs.
//
// Lifetime. Create managers with std::make_shared (the manager hands weak references of itself
// to its session). A manager keeps itself alive while it has tasks that have not completed, so
// its owner may drop it after resume(); once the last reference is gone the manager lets its
// session finish and invalidate.
//
// Errors of a finished task reach the completion: the transport's (os::kURLErrorDomain, such as
// -999 for a cancel), a download that could not be moved to its destination (the file error),
// or the serializer's (for an unacceptable status, -1011 in kNKResponseSerializationErrorDomain
// with the response in the user info).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/progress.h"
#include "net/reachability_manager.h"
#include "net/response_object.h"
#include "net/response_serialization.h"
#include "net/security_policy.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/notifications.h"
#include "os/net/urlsession.h"
#include "os/sync/mutex.h"

class NKURLSessionManagerTaskDelegate;

class NKURLSessionManager : public std::enable_shared_from_this<NKURLSessionManager> {
 public:
  using Response = std::shared_ptr<const os::URLResponse>;
  // A task's outcome: its response (null when none arrived), the serializer's object (or, for a
  // download moved to its destination, that file's URL) and the error.
  using CompletionHandler =
      std::function<void(const Response& response, const NKResponseObject& responseObject,
                         const std::optional<os::Error>& error)>;
  // A download's outcome: the destination it was moved to (nullopt without one, or on error).
  using DownloadCompletionHandler =
      std::function<void(const Response& response, const std::optional<os::URL>& filePath,
                         const std::optional<os::Error>& error)>;
  using ProgressBlock = std::function<void(Progress& progress)>;
  // Where to move a finished download: a file URL, or nullopt to leave it (it is then removed).
  using DestinationBlock = std::function<std::optional<os::URL>(const os::URL& temporaryLocation,
                                                                const Response& response)>;

  // Hooks: optional blocks run on the operation queue at the session events they are named
  // after.
  using SessionDidBecomeInvalidBlock = std::function<void(
      const std::shared_ptr<os::URLSession>& session, const std::optional<os::Error>& error)>;
  // Answers a challenge instead of the security policy; sets `*credential` for UseCredential.
  using SessionDidReceiveAuthenticationChallengeBlock =
      std::function<os::URLSessionAuthChallengeDisposition(
          const std::shared_ptr<os::URLSession>& session,
          const os::URLAuthenticationChallenge& challenge,
          std::optional<os::URLCredential>* credential)>;
  using TaskNeedNewBodyStreamBlock = std::function<std::shared_ptr<os::InputStream>(
      const std::shared_ptr<os::URLSession>& session,
      const std::shared_ptr<os::URLSessionTask>& task)>;
  // The request to follow a redirect with; nullopt stops there, and the redirect response
  // completes the task.
  using TaskWillPerformHTTPRedirectionBlock = std::function<std::optional<os::URLRequest>(
      const std::shared_ptr<os::URLSession>& session,
      const std::shared_ptr<os::URLSessionTask>& task,
      const std::shared_ptr<const os::HTTPURLResponse>& response, const os::URLRequest& request)>;
  using TaskDidSendBodyDataBlock =
      std::function<void(const std::shared_ptr<os::URLSession>& session,
                         const std::shared_ptr<os::URLSessionTask>& task, int64_t bytesSent,
                         int64_t totalBytesSent, int64_t totalBytesExpectedToSend)>;
  using TaskDidCompleteBlock = std::function<void(const std::shared_ptr<os::URLSession>& session,
                                                  const std::shared_ptr<os::URLSessionTask>& task,
                                                  const std::optional<os::Error>& error)>;
  using DataTaskDidReceiveResponseBlock = std::function<os::URLSessionResponseDisposition(
      const std::shared_ptr<os::URLSession>& session,
      const std::shared_ptr<os::URLSessionDataTask>& task, const Response& response)>;
  using DataTaskDidReceiveDataBlock = std::function<void(
      const std::shared_ptr<os::URLSession>& session,
      const std::shared_ptr<os::URLSessionDataTask>& task, const os::Data& data)>;
  // Chooses the destination of every download instead of the tasks' destination blocks, when it
  // returns a URL.
  using DownloadTaskDidFinishDownloadingBlock = std::function<std::optional<os::URL>(
      const std::shared_ptr<os::URLSession>& session,
      const std::shared_ptr<os::URLSessionDownloadTask>& task, const os::URL& location)>;
  using DownloadTaskDidWriteDataBlock = std::function<void(
      const std::shared_ptr<os::URLSession>& session,
      const std::shared_ptr<os::URLSessionDownloadTask>& task, int64_t bytesWritten,
      int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite)>;
  // A download made from resume data goes on after `fileOffset` bytes (0 when the server sent
  // the whole body again), of `expectedTotalBytes`; before its first downloadTaskDidWriteData.
  using DownloadTaskDidResumeBlock =
      std::function<void(const std::shared_ptr<os::URLSession>& session,
                         const std::shared_ptr<os::URLSessionDownloadTask>& task,
                         int64_t fileOffset, int64_t expectedTotalBytes)>;
  // Hooks of events that sessions here never produce; they are kept so that callers that set
  // them build and behave unchanged. A task-level challenge: the manager answers every
  // server-trust challenge at the session level, and sessions raise no other kind. A background
  // session's finished events: no process is relaunched for background transfers here. A data
  // task turned into a download task: no response disposition asks for that. A response offered
  // to the URL cache: sessions here keep no cache.
  using TaskDidReceiveAuthenticationChallengeBlock =
      std::function<os::URLSessionAuthChallengeDisposition(
          const std::shared_ptr<os::URLSession>& session,
          const std::shared_ptr<os::URLSessionTask>& task,
          const os::URLAuthenticationChallenge& challenge,
          std::optional<os::URLCredential>* credential)>;
  using DidFinishEventsForBackgroundURLSessionBlock =
      std::function<void(const std::shared_ptr<os::URLSession>& session)>;
  using DataTaskDidBecomeDownloadTaskBlock =
      std::function<void(const std::shared_ptr<os::URLSession>& session,
                         const std::shared_ptr<os::URLSessionDataTask>& dataTask,
                         const std::shared_ptr<os::URLSessionDownloadTask>& downloadTask)>;
  // A response with its body, as a cache would keep it.
  struct CachedResponse {
    Response response;
    os::Data data;
  };
  using DataTaskWillCacheResponseBlock = std::function<std::optional<CachedResponse>(
      const std::shared_ptr<os::URLSession>& session,
      const std::shared_ptr<os::URLSessionDataTask>& task, const CachedResponse& proposed)>;

  // A manager with a new session of `configuration` (the default configuration when nullopt),
  // the JSON response serializer and the default security policy.
  explicit NKURLSessionManager(
      std::optional<os::URLSessionConfiguration> configuration = std::nullopt);
  virtual ~NKURLSessionManager();
  NKURLSessionManager(const NKURLSessionManager&) = delete;
  NKURLSessionManager& operator=(const NKURLSessionManager&) = delete;

  const std::shared_ptr<os::URLSession>& session() const { return session_; }
  // The session's delegate queue, where session events are handled one at a time.
  const std::shared_ptr<os::DispatchQueue>& operationQueue() const { return operationQueue_; }
  const os::URLSessionConfiguration& sessionConfiguration() const {
    return session_->configuration();
  }

  std::shared_ptr<NKURLResponseSerialization> responseSerializer() const;
  void setResponseSerializer(std::shared_ptr<NKURLResponseSerialization> serializer);
  std::shared_ptr<NKSecurityPolicy> securityPolicy() const;
  void setSecurityPolicy(std::shared_ptr<NKSecurityPolicy> policy);
  // Kept for callers (the shared manager by default); the manager neither starts nor reads it.
  std::shared_ptr<NKNetworkReachabilityManager> reachabilityManager() const;
  void setReachabilityManager(std::shared_ptr<NKNetworkReachabilityManager> manager);
  // Where completion blocks run; nullptr means the main queue.
  std::shared_ptr<os::DispatchQueue> completionQueue() const;
  void setCompletionQueue(std::shared_ptr<os::DispatchQueue> queue);
  // The group completion blocks run in; nullopt means one group shared by all managers.
  std::optional<os::DispatchGroup> completionGroup() const;
  void setCompletionGroup(std::optional<os::DispatchGroup> group);
  // For a background session whose file upload task could not be made, ask three more times.
  bool attemptsToRecreateUploadTasksForBackgroundSessions() const;
  void setAttemptsToRecreateUploadTasksForBackgroundSessions(bool attempts);

  // The text ("0x..." of the manager's address) put as taskDescription on each of its tasks;
  // it tells the manager's own tasks apart in the resume and suspend notifications.
  const std::string& taskDescriptionForSessionTasks() const { return taskDescription_; }

  // --- tasks: each returns the new task unresumed (call resume()), or nullptr when the session
  // made none (it has been invalidated); then the completion gets an error. ---

  std::shared_ptr<os::URLSessionDataTask> dataTaskWithRequest(const os::URLRequest& request,
                                                              CompletionHandler completion);
  std::shared_ptr<os::URLSessionDataTask> dataTaskWithRequest(const os::URLRequest& request,
                                                              ProgressBlock uploadProgress,
                                                              ProgressBlock downloadProgress,
                                                              CompletionHandler completion);
  // Uploads the file at `fileURL`.
  std::shared_ptr<os::URLSessionUploadTask> uploadTaskWithRequest(const os::URLRequest& request,
                                                                  const os::URL& fileURL,
                                                                  ProgressBlock progress,
                                                                  CompletionHandler completion);
  // Uploads `body`.
  std::shared_ptr<os::URLSessionUploadTask> uploadTaskWithRequest(const os::URLRequest& request,
                                                                  const os::Data& body,
                                                                  ProgressBlock progress,
                                                                  CompletionHandler completion);
  // Uploads the request's body stream.
  std::shared_ptr<os::URLSessionUploadTask> uploadTaskWithStreamedRequest(
      const os::URLRequest& request, ProgressBlock progress, CompletionHandler completion);
  // Downloads to a temporary file, then moves it where `destination` says (replacing a file
  // that is there) before the completion runs.
  std::shared_ptr<os::URLSessionDownloadTask> downloadTaskWithRequest(
      const os::URLRequest& request, ProgressBlock progress, DestinationBlock destination,
      DownloadCompletionHandler completion);

  // As downloadTaskWithRequest, for a download that goes on where the one that produced
  // `resumeData` stopped (os::URLSession::downloadTaskWithResumeData).
  std::shared_ptr<os::URLSessionDownloadTask> downloadTaskWithResumeData(
      const os::Data& resumeData, ProgressBlock progress, DestinationBlock destination,
      DownloadCompletionHandler completion);

  // The session's tasks that have not completed, each list in creation order; tasks() is the
  // data, upload and download tasks in that order. Each waits for the session's answer, which
  // comes on the operation queue: never call them from there.
  std::vector<std::shared_ptr<os::URLSessionTask>> tasks() const;
  std::vector<std::shared_ptr<os::URLSessionDataTask>> dataTasks() const;
  std::vector<std::shared_ptr<os::URLSessionUploadTask>> uploadTasks() const;
  std::vector<std::shared_ptr<os::URLSessionDownloadTask>> downloadTasks() const;

  // "<NKURLSessionManager: 0x..., session: <NSURLSession: 0x...>, operationQueue:
  // <NSOperationQueue: 0x...>{name = '...'}>".
  std::string description() const;
  // A new manager with a session of the same configuration; blocks, serializers, policy and
  // queues are not carried over.
  std::shared_ptr<NKURLSessionManager> copy() const;
  // The manager's keyed form: "$class" ("NKURLSessionManager") and "sessionConfiguration"
  // (NKEncodeSessionConfiguration).
  os::Value encode() const;
  // A new manager of the coded configuration; nullptr with an error (os::kCocoaErrorDomain,
  // kNKCoderReadCorruptError, or the configuration's) when `coded` is no coded manager.
  static std::shared_ptr<NKURLSessionManager> decode(const os::Value& coded, os::Error* error);

  // The progress objects of a task of this manager from its creation to its completion; nullptr
  // for other tasks. Cancelling, pausing or resuming one cancels, suspends or resumes the task.
  std::shared_ptr<Progress> uploadProgressForTask(const os::URLSessionTask* task) const;
  std::shared_ptr<Progress> downloadProgressForTask(const os::URLSessionTask* task) const;

  // On the main queue, later: invalidates the session, cancelling its tasks when `cancelTasks`,
  // else letting them finish. The manager makes no tasks afterwards.
  void invalidateSessionCancelingTasks(bool cancelTasks);

  void setSessionDidBecomeInvalidBlock(SessionDidBecomeInvalidBlock block);
  void setSessionDidReceiveAuthenticationChallengeBlock(
      SessionDidReceiveAuthenticationChallengeBlock block);
  void setTaskNeedNewBodyStreamBlock(TaskNeedNewBodyStreamBlock block);
  void setTaskWillPerformHTTPRedirectionBlock(TaskWillPerformHTTPRedirectionBlock block);
  void setTaskDidSendBodyDataBlock(TaskDidSendBodyDataBlock block);
  void setTaskDidCompleteBlock(TaskDidCompleteBlock block);
  void setDataTaskDidReceiveResponseBlock(DataTaskDidReceiveResponseBlock block);
  void setDataTaskDidReceiveDataBlock(DataTaskDidReceiveDataBlock block);
  void setDownloadTaskDidFinishDownloadingBlock(DownloadTaskDidFinishDownloadingBlock block);
  void setDownloadTaskDidWriteDataBlock(DownloadTaskDidWriteDataBlock block);
  void setTaskDidReceiveAuthenticationChallengeBlock(
      TaskDidReceiveAuthenticationChallengeBlock block);
  void setDownloadTaskDidResumeBlock(DownloadTaskDidResumeBlock block);
  void setDidFinishEventsForBackgroundURLSessionBlock(
      DidFinishEventsForBackgroundURLSessionBlock block);
  void setDataTaskDidBecomeDownloadTaskBlock(DataTaskDidBecomeDownloadTaskBlock block);
  void setDataTaskWillCacheResponseBlock(DataTaskWillCacheResponseBlock block);

 protected:
  // The description of a manager of class `className`: `fields` (each "name: value, ") come
  // after its address.
  std::string describe(std::string_view className, std::string_view fields) const;

 private:
  class SessionEvents;
  friend class SessionEvents;

  // What the manager keeps for each of its tasks that has not completed.
  struct Registration {
    std::shared_ptr<NKURLSessionManagerTaskDelegate> delegate;
    os::ObserverRegistration resumeObservation;
    os::ObserverRegistration suspendObservation;
  };

  // Registers `delegate` for `task` (or, for no task, completes with an error); returns `task`.
  template <typename Task>
  std::shared_ptr<Task> adopt(std::shared_ptr<Task> task,
                              std::shared_ptr<NKURLSessionManagerTaskDelegate> delegate);
  std::shared_ptr<NKURLSessionManagerTaskDelegate> makeDelegate(CompletionHandler completion);
  // Registers the delegate of a download task made by the session.
  std::shared_ptr<os::URLSessionDownloadTask> adoptDownload(
      std::shared_ptr<os::URLSessionDownloadTask> task, ProgressBlock progress,
      DestinationBlock destination, DownloadCompletionHandler completion);
  // Registers a delegate without blocks for each of the session's tasks that has none: tasks the
  // session had before the manager.
  void adoptExistingTasks(const std::vector<std::shared_ptr<os::URLSessionTask>>& tasks);
  // The session's unfinished tasks, waited for.
  struct TaskLists {
    std::vector<std::shared_ptr<os::URLSessionDataTask>> data;
    std::vector<std::shared_ptr<os::URLSessionUploadTask>> upload;
    std::vector<std::shared_ptr<os::URLSessionDownloadTask>> download;
  };
  TaskLists taskLists() const;
  void setDelegateForTask(const std::shared_ptr<NKURLSessionManagerTaskDelegate>& delegate,
                          const std::shared_ptr<os::URLSessionTask>& task);
  std::shared_ptr<NKURLSessionManagerTaskDelegate> delegateForTask(
      const os::URLSessionTask& task) const;
  void removeDelegateForTask(os::URLSessionTask& task);
  // Registrations that re-post the process-wide resume and suspend notifications of `task` on
  // the main queue when the task is one of this manager's.
  Registration observeResumeAndSuspend(const std::shared_ptr<os::URLSessionTask>& task);

  // The session events, on the operation queue.
  void didBecomeInvalid(const std::shared_ptr<os::URLSession>& session,
                        const std::optional<os::Error>& error);
  void didReceiveChallenge(const std::shared_ptr<os::URLSession>& session,
                           const os::URLAuthenticationChallenge& challenge,
                           const os::ChallengeCompletion& completion);
  void didResumeAtOffset(const std::shared_ptr<os::URLSession>& session,
                         const std::shared_ptr<os::URLSessionDownloadTask>& task,
                         int64_t fileOffset, int64_t expectedTotalBytes);
  bool willPerformHTTPRedirection(const std::shared_ptr<os::URLSession>& session,
                                  const std::shared_ptr<os::URLSessionTask>& task,
                                  const std::shared_ptr<const os::HTTPURLResponse>& response,
                                  const os::URLRequest& newRequest,
                                  const os::RedirectCompletion& completion);
  void needNewBodyStream(const std::shared_ptr<os::URLSession>& session,
                         const std::shared_ptr<os::URLSessionTask>& task,
                         const os::BodyStreamCompletion& completion);
  void didSendBodyData(const std::shared_ptr<os::URLSession>& session,
                       const std::shared_ptr<os::URLSessionTask>& task, int64_t bytesSent,
                       int64_t totalBytesSent, int64_t totalBytesExpectedToSend);
  void didCompleteWithError(const std::shared_ptr<os::URLSession>& session,
                            const std::shared_ptr<os::URLSessionTask>& task,
                            const std::optional<os::Error>& error);
  bool didReceiveResponse(const std::shared_ptr<os::URLSession>& session,
                          const std::shared_ptr<os::URLSessionDataTask>& task,
                          const Response& response, const os::ResponseCompletion& completion);
  void didReceiveData(const std::shared_ptr<os::URLSession>& session,
                      const std::shared_ptr<os::URLSessionDataTask>& task, const os::Data& data);
  void didWriteData(const std::shared_ptr<os::URLSession>& session,
                    const std::shared_ptr<os::URLSessionDownloadTask>& task, int64_t bytesWritten,
                    int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite);
  void didFinishDownloading(const std::shared_ptr<os::URLSession>& session,
                            const std::shared_ptr<os::URLSessionDownloadTask>& task,
                            const os::URL& location);

  const std::string taskDescription_;
  const std::shared_ptr<os::DispatchQueue> operationQueue_;
  const std::shared_ptr<SessionEvents> events_;
  const std::shared_ptr<os::URLSession> session_;

  mutable os::Mutex settingsMutex_;
  std::shared_ptr<NKURLResponseSerialization> responseSerializer_ OS_GUARDED_BY(settingsMutex_);
  std::shared_ptr<NKSecurityPolicy> securityPolicy_ OS_GUARDED_BY(settingsMutex_);
  std::shared_ptr<NKNetworkReachabilityManager> reachabilityManager_ OS_GUARDED_BY(settingsMutex_);
  std::shared_ptr<os::DispatchQueue> completionQueue_ OS_GUARDED_BY(settingsMutex_);
  std::optional<os::DispatchGroup> completionGroup_ OS_GUARDED_BY(settingsMutex_);
  bool attemptsToRecreateUploadTasks_ OS_GUARDED_BY(settingsMutex_) = false;
  struct Hooks {
    SessionDidBecomeInvalidBlock sessionDidBecomeInvalid;
    SessionDidReceiveAuthenticationChallengeBlock sessionDidReceiveAuthenticationChallenge;
    TaskNeedNewBodyStreamBlock taskNeedNewBodyStream;
    TaskWillPerformHTTPRedirectionBlock taskWillPerformHTTPRedirection;
    TaskDidSendBodyDataBlock taskDidSendBodyData;
    TaskDidCompleteBlock taskDidComplete;
    DataTaskDidReceiveResponseBlock dataTaskDidReceiveResponse;
    DataTaskDidReceiveDataBlock dataTaskDidReceiveData;
    DownloadTaskDidFinishDownloadingBlock downloadTaskDidFinishDownloading;
    DownloadTaskDidWriteDataBlock downloadTaskDidWriteData;
    TaskDidReceiveAuthenticationChallengeBlock taskDidReceiveAuthenticationChallenge;
    DownloadTaskDidResumeBlock downloadTaskDidResume;
    DidFinishEventsForBackgroundURLSessionBlock didFinishEventsForBackgroundURLSession;
    DataTaskDidBecomeDownloadTaskBlock dataTaskDidBecomeDownloadTask;
    DataTaskWillCacheResponseBlock dataTaskWillCacheResponse;
  };
  Hooks hooks_ OS_GUARDED_BY(settingsMutex_);
  // A copy of one hook, for calling it without the lock.
  template <typename Block>
  Block hook(Block Hooks::*member) const {
    os::MutexLock lock(settingsMutex_);
    return hooks_.*member;
  }
  template <typename Block>
  void setHook(Block Hooks::*member, Block block) {
    os::MutexLock lock(settingsMutex_);
    hooks_.*member = std::move(block);
  }

  mutable os::Mutex lock_;
  std::map<uint64_t, Registration> registrations_ OS_GUARDED_BY(lock_);  // by task identifier
  // The manager itself while registrations_ is not empty (see Lifetime above).
  std::shared_ptr<NKURLSessionManager> selfWhileBusy_ OS_GUARDED_BY(lock_);
};
