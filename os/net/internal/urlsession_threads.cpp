#include "os/net/internal/urlsession_threads.h"

#include <cstdlib>
#include <vector>

#include "os/net/internal/urlsession_engine.h"

namespace os::internal {

TransferThreads& TransferThreads::shared() {
  static auto* threads = [] {
    auto* created = new TransferThreads();
    // Registered after curl (and so OpenSSL) has been initialised, this handler runs before
    // OpenSSL's own cleanup.
    std::atexit([] { TransferThreads::shared().shutDownAll(); });
    return created;
  }();
  return *threads;
}

bool TransferThreads::start(const std::shared_ptr<URLSessionEngine>& engine) {
  std::list<Entry> finished;
  {
    MutexLock lock(mutex_);
    if (exiting_) return false;
    for (auto it = threads_.begin(); it != threads_.end();) {
      auto next = std::next(it);
      if (it->ended) finished.splice(finished.end(), threads_, it);
      it = next;
    }
    Entry& entry = threads_.emplace_back();
    entry.engine = engine;
    entry.thread = std::thread([this, &entry, running = engine]() mutable {
      running->run();
      running.reset();
      ended(&entry);
    });
  }
  for (Entry& entry : finished) entry.thread.join();
  return true;
}

void TransferThreads::ended(Entry* entry) {
  MutexLock lock(mutex_);
  entry->ended = true;
}

void TransferThreads::shutDownAll() {
  std::list<Entry> threads;
  {
    MutexLock lock(mutex_);
    exiting_ = true;
    threads.swap(threads_);
  }
  // The process is ending and sessions are never torn down at exit (a session and its
  // delegate hold each other until invalidated). The stopped engines stay referenced from here,
  // as their threads referenced them before, so that what is still in use at exit is not freed
  // under an exit handler of another library, nor reported as a leak.
  static auto* const keptUntilExit = new std::vector<std::shared_ptr<URLSessionEngine>>();
  for (Entry& entry : threads) {
    if (std::shared_ptr<URLSessionEngine> engine = entry.engine.lock()) {
      engine->shutDown();
      keptUntilExit->push_back(std::move(engine));
    }
  }
  for (Entry& entry : threads) {
    if (entry.thread.get_id() == std::this_thread::get_id()) {
      entry.thread.detach();
    } else {
      entry.thread.join();
    }
  }
}

}  // namespace os::internal
