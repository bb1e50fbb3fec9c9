// The transfer threads of every URL session in the process. A thread of ours must not outlive
// main: the exit handlers free OpenSSL's state while a transfer thread may still be using it or
// freeing its own per-thread part. So every transfer thread is started here, and at exit (an
// exit handler that runs before OpenSSL's) each engine is shut down and its thread joined.
#pragma once

#include <list>
#include <memory>
#include <thread>

#include "os/sync/mutex.h"

namespace os::internal {

class URLSessionEngine;

class TransferThreads {
 public:
  // The process's one instance; never destroyed, so that it outlives every session.
  static TransferThreads& shared();

  // Starts a thread that runs `engine->run()`; false, with no thread, once the process has
  // begun to exit. Threads that have ended are joined here.
  bool start(const std::shared_ptr<URLSessionEngine>& engine) OS_EXCLUDES(mutex_);

  // Shuts every engine down and joins its thread (the calling thread itself excepted, when an
  // exit began on a transfer thread). No thread starts afterwards. Run from an exit handler.
  void shutDownAll() OS_EXCLUDES(mutex_);

 private:
  struct Entry {
    std::weak_ptr<URLSessionEngine> engine;
    std::thread thread;
    bool ended = false;
  };

  TransferThreads() = default;
  // The thread of `entry` has left its engine; it may be joined now.
  void ended(Entry* entry) OS_EXCLUDES(mutex_);

  Mutex mutex_;
  std::list<Entry> threads_ OS_GUARDED_BY(mutex_);
  bool exiting_ OS_GUARDED_BY(mutex_) = false;
};

}  // namespace os::internal
