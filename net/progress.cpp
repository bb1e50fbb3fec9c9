#include "net/progress.h"

#include "os/sync/mutex.h"

namespace {

void callHandler(const std::shared_ptr<const Progress::Handler>& handler) {
  if (handler && *handler) (*handler)();
}

}  // namespace

int64_t Progress::totalUnitCount() const {
  os::MutexLock lock(mutex_);
  return total_;
}

void Progress::setTotalUnitCount(int64_t count) {
  {
    os::MutexLock lock(mutex_);
    total_ = count;
  }
  notifyObservers();
}

int64_t Progress::completedUnitCount() const {
  os::MutexLock lock(mutex_);
  return completed_;
}

void Progress::setCompletedUnitCount(int64_t count) {
  {
    os::MutexLock lock(mutex_);
    completed_ = count;
  }
  notifyObservers();
}

double Progress::fractionCompleted() const {
  os::MutexLock lock(mutex_);
  if (total_ <= 0 || completed_ <= 0) return 0;
  return static_cast<double>(completed_) / static_cast<double>(total_);
}

bool Progress::isCancellable() const {
  os::MutexLock lock(mutex_);
  return cancellable_;
}

void Progress::setCancellable(bool cancellable) {
  os::MutexLock lock(mutex_);
  cancellable_ = cancellable;
}

bool Progress::isPausable() const {
  os::MutexLock lock(mutex_);
  return pausable_;
}

void Progress::setPausable(bool pausable) {
  os::MutexLock lock(mutex_);
  pausable_ = pausable;
}

void Progress::setCancellationHandler(Handler handler) {
  os::MutexLock lock(mutex_);
  cancellationHandler_ = std::make_shared<const Handler>(std::move(handler));
}

void Progress::setPausingHandler(Handler handler) {
  os::MutexLock lock(mutex_);
  pausingHandler_ = std::make_shared<const Handler>(std::move(handler));
}

void Progress::setResumingHandler(Handler handler) {
  os::MutexLock lock(mutex_);
  resumingHandler_ = std::make_shared<const Handler>(std::move(handler));
}

void Progress::cancel() {
  std::shared_ptr<const Handler> handler;
  {
    os::MutexLock lock(mutex_);
    if (!cancellable_ || cancelled_) return;
    cancelled_ = true;
    handler = cancellationHandler_;
  }
  callHandler(handler);
}

bool Progress::isCancelled() const {
  os::MutexLock lock(mutex_);
  return cancelled_;
}

void Progress::pause() {
  std::shared_ptr<const Handler> handler;
  {
    os::MutexLock lock(mutex_);
    if (!pausable_ || paused_) return;
    paused_ = true;
    handler = pausingHandler_;
  }
  callHandler(handler);
}

void Progress::resume() {
  std::shared_ptr<const Handler> handler;
  {
    os::MutexLock lock(mutex_);
    if (!paused_) return;
    paused_ = false;
    handler = resumingHandler_;
  }
  callHandler(handler);
}

bool Progress::isPaused() const {
  os::MutexLock lock(mutex_);
  return paused_;
}

uint64_t Progress::addFractionObserver(Observer observer) {
  os::MutexLock lock(mutex_);
  auto observers = observers_
                       ? std::make_shared<std::vector<std::pair<uint64_t, Observer>>>(*observers_)
                       : std::make_shared<std::vector<std::pair<uint64_t, Observer>>>();
  observers->emplace_back(++lastToken_, std::move(observer));
  observers_ = std::move(observers);
  return lastToken_;
}

void Progress::removeFractionObserver(uint64_t token) {
  os::MutexLock lock(mutex_);
  if (!observers_) return;
  auto observers = std::make_shared<std::vector<std::pair<uint64_t, Observer>>>();
  for (const auto& entry : *observers_) {
    if (entry.first != token) observers->push_back(entry);
  }
  observers_ = std::move(observers);
}

void Progress::notifyObservers() {
  std::shared_ptr<const std::vector<std::pair<uint64_t, Observer>>> observers;
  {
    os::MutexLock lock(mutex_);
    observers = observers_;
  }
  if (!observers) return;
  for (const auto& entry : *observers) entry.second(*this);
}
