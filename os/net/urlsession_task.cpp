#include <unistd.h>

#include "os/net/internal/urlsession_engine.h"
#include "os/net/urlsession.h"

namespace os {

namespace {

struct ResumeSuspendObservers {
  Mutex mutex;
  uint64_t lastToken OS_GUARDED_BY(mutex) = 0;
  std::shared_ptr<const std::vector<std::pair<uint64_t, URLSessionTask::ResumeSuspendObserver>>>
      list OS_GUARDED_BY(mutex) = std::make_shared<
          const std::vector<std::pair<uint64_t, URLSessionTask::ResumeSuspendObserver>>>();
};

ResumeSuspendObservers& resumeSuspendObservers() {
  static auto* observers = new ResumeSuspendObservers();
  return *observers;
}

}  // namespace

URLSessionTask::URLSessionTask(Kind kind, std::shared_ptr<URLSession> session, uint64_t identifier,
                               URLRequest request)
    : kind_(kind),
      session_(std::move(session)),
      identifier_(identifier),
      originalRequest_(request),
      currentRequest_(std::move(request)),
      transfer_(std::make_shared<internal::TaskTransfer>()),
      counterObservers_(
          std::make_shared<const std::vector<std::pair<uint64_t, CounterObserver>>>()) {}

URLSessionTask::~URLSessionTask() {
  if (transfer_->fd >= 0) ::close(transfer_->fd);
  session_->finishInvalidationIfIdle();
}

URLRequest URLSessionTask::currentRequest() const {
  MutexLock lock(mutex_);
  return currentRequest_;
}

std::shared_ptr<const URLResponse> URLSessionTask::response() const {
  MutexLock lock(mutex_);
  return response_;
}

std::optional<Error> URLSessionTask::error() const {
  MutexLock lock(mutex_);
  return error_;
}

URLSessionTaskState URLSessionTask::state() const {
  MutexLock lock(mutex_);
  return state_;
}

std::string URLSessionTask::taskDescription() const {
  MutexLock lock(mutex_);
  return description_;
}

void URLSessionTask::setTaskDescription(std::string description) {
  MutexLock lock(mutex_);
  description_ = std::move(description);
}

void URLSessionTask::resume() {
  URLSessionTaskState previous;
  {
    MutexLock lock(mutex_);
    previous = state_;
    if (state_ == URLSessionTaskState::Suspended) state_ = URLSessionTaskState::Running;
  }
  if (previous == URLSessionTaskState::Suspended) {
    session_->engine_->post(
        [task = shared_from_this()] { task->session_->engine_->resumeTask(task); });
  }
  notifyResumeSuspendObservers(*this, Operation::Resume, previous);
}

void URLSessionTask::suspend() {
  URLSessionTaskState previous;
  {
    MutexLock lock(mutex_);
    previous = state_;
    if (state_ == URLSessionTaskState::Running) state_ = URLSessionTaskState::Suspended;
  }
  if (previous == URLSessionTaskState::Running) {
    session_->engine_->post(
        [task = shared_from_this()] { task->session_->engine_->suspendTask(task); });
  }
  notifyResumeSuspendObservers(*this, Operation::Suspend, previous);
}

void URLSessionTask::cancel() { cancel(nullptr); }

void URLSessionTask::cancel(std::function<void(const std::optional<Data>&)> resumeDataHandler) {
  {
    MutexLock lock(mutex_);
    if (state_ == URLSessionTaskState::Completed || state_ == URLSessionTaskState::Canceling) {
      lock.unlock();
      if (resumeDataHandler) {
        session_->delegateQueue_->async(
            [handler = std::move(resumeDataHandler)] { handler(std::nullopt); });
      }
      return;
    }
    state_ = URLSessionTaskState::Canceling;
  }
  std::shared_ptr<internal::ChallengeAnswer> challenge;
  {
    MutexLock lock(transfer_->challengeMutex);
    transfer_->cancelRequested = true;
    challenge = transfer_->pendingChallenge;
  }
  if (challenge) {
    MutexLock lock(challenge->mutex);
    challenge->cancelled = true;
    challenge->changed.notify_all();
  }
  session_->engine_->post([task = shared_from_this(), handler = std::move(resumeDataHandler)] {
    task->session_->engine_->cancelTask(task, handler);
  });
}

void URLSessionDownloadTask::cancelByProducingResumeData(ResumeDataHandler handler) {
  cancel(handler ? std::move(handler) : [](const std::optional<Data>&) {});
}

uint64_t URLSessionTask::addResumeSuspendObserver(ResumeSuspendObserver observer) {
  auto& observers = resumeSuspendObservers();
  MutexLock lock(observers.mutex);
  auto list =
      std::make_shared<std::vector<std::pair<uint64_t, ResumeSuspendObserver>>>(*observers.list);
  list->emplace_back(++observers.lastToken, std::move(observer));
  observers.list = std::move(list);
  return observers.lastToken;
}

void URLSessionTask::removeResumeSuspendObserver(uint64_t token) {
  auto& observers = resumeSuspendObservers();
  MutexLock lock(observers.mutex);
  auto list =
      std::make_shared<std::vector<std::pair<uint64_t, ResumeSuspendObserver>>>(*observers.list);
  std::erase_if(*list, [&](const auto& entry) { return entry.first == token; });
  observers.list = std::move(list);
}

void URLSessionTask::notifyResumeSuspendObservers(URLSessionTask& task, Operation operation,
                                                  URLSessionTaskState previousState) {
  auto& observers = resumeSuspendObservers();
  std::shared_ptr<const std::vector<std::pair<uint64_t, ResumeSuspendObserver>>> list;
  {
    MutexLock lock(observers.mutex);
    list = observers.list;
  }
  for (const auto& [token, observer] : *list) observer(task, operation, previousState);
}

uint64_t URLSessionTask::addCounterObserver(CounterObserver observer) {
  MutexLock lock(observersMutex_);
  auto list =
      std::make_shared<std::vector<std::pair<uint64_t, CounterObserver>>>(*counterObservers_);
  list->emplace_back(++lastObserverToken_, std::move(observer));
  counterObservers_ = std::move(list);
  return lastObserverToken_;
}

void URLSessionTask::removeCounterObserver(uint64_t token) {
  MutexLock lock(observersMutex_);
  auto list =
      std::make_shared<std::vector<std::pair<uint64_t, CounterObserver>>>(*counterObservers_);
  std::erase_if(*list, [&](const auto& entry) { return entry.first == token; });
  counterObservers_ = std::move(list);
}

void URLSessionTask::setCounter(URLSessionTaskCounter counter, int64_t value) {
  std::atomic<int64_t>* field = nullptr;
  switch (counter) {
    case URLSessionTaskCounter::BytesReceived:
      field = &bytesReceived_;
      break;
    case URLSessionTaskCounter::BytesExpectedToReceive:
      field = &bytesExpectedToReceive_;
      break;
    case URLSessionTaskCounter::BytesSent:
      field = &bytesSent_;
      break;
    case URLSessionTaskCounter::BytesExpectedToSend:
      field = &bytesExpectedToSend_;
      break;
  }
  if (field->exchange(value) == value) return;
  std::shared_ptr<const std::vector<std::pair<uint64_t, CounterObserver>>> observers;
  {
    MutexLock lock(observersMutex_);
    observers = counterObservers_;
  }
  for (const auto& [token, observer] : *observers) observer(*this, counter, value);
}

}  // namespace os
