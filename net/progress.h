// Progress is the progress object of one direction of a transfer (the platform's progress
// class, as far as the session manager uses it): a completed and a total unit count, the fraction
// they make, and cancel / pause / resume requests that go to the handlers its owner installed.
//
//   std::shared_ptr<Progress> progress = manager->downloadProgressForTask(task);
//   progress->fractionCompleted();   // 0.25
//   progress->cancel();              // cancels the task
//
// Every member is thread-safe. Observers and handlers are called without the progress's lock
// held, on the thread that made the change or the request.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "os/sync/mutex.h"

class Progress {
 public:
  using Handler = std::function<void()>;
  using Observer = std::function<void(Progress& progress)>;

  // Total and completed counts 0; neither cancellable nor pausable.
  Progress() = default;
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // The amount of work; negative when unknown (kURLSessionTransferSizeUnknown).
  int64_t totalUnitCount() const;
  void setTotalUnitCount(int64_t count);
  int64_t completedUnitCount() const;
  void setCompletedUnitCount(int64_t count);
  // completed / total while the total is positive, else 0: never negative, and 0 as long as the
  // total is unknown.
  double fractionCompleted() const;

  bool isCancellable() const;
  void setCancellable(bool cancellable);
  bool isPausable() const;
  void setPausable(bool pausable);
  void setCancellationHandler(Handler handler);
  void setPausingHandler(Handler handler);
  void setResumingHandler(Handler handler);

  // Marks the progress cancelled and calls the cancellation handler, once; nothing happens when
  // it is not cancellable.
  void cancel();
  bool isCancelled() const;
  // Marks it paused and calls the pausing handler; nothing when not pausable or already paused.
  void pause();
  // Clears the paused mark and calls the resuming handler; nothing when it is not paused.
  void resume();
  bool isPaused() const;

  // `observer` is called after every change of either count (also one that leaves the
  // fraction as it was), the way the platform reports its fraction to key-value observers.
  // Returns a token for removeFractionObserver.
  uint64_t addFractionObserver(Observer observer);
  void removeFractionObserver(uint64_t token);

 private:
  void notifyObservers();

  mutable os::Mutex mutex_;
  int64_t total_ OS_GUARDED_BY(mutex_) = 0;
  int64_t completed_ OS_GUARDED_BY(mutex_) = 0;
  bool cancellable_ OS_GUARDED_BY(mutex_) = false;
  bool pausable_ OS_GUARDED_BY(mutex_) = false;
  bool cancelled_ OS_GUARDED_BY(mutex_) = false;
  bool paused_ OS_GUARDED_BY(mutex_) = false;
  std::shared_ptr<const Handler> cancellationHandler_ OS_GUARDED_BY(mutex_);
  std::shared_ptr<const Handler> pausingHandler_ OS_GUARDED_BY(mutex_);
  std::shared_ptr<const Handler> resumingHandler_ OS_GUARDED_BY(mutex_);
  uint64_t lastToken_ OS_GUARDED_BY(mutex_) = 0;
  // Replaced, never changed in place, so that a notification calls a snapshot.
  std::shared_ptr<const std::vector<std::pair<uint64_t, Observer>>> observers_
      OS_GUARDED_BY(mutex_);
};
