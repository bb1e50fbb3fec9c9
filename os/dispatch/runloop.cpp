#include "os/dispatch/runloop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os/log/log.h"
#include "os/sync/mutex.h"

namespace os {
namespace {

// How often runUntil looks at its condition while nothing wakes the loop.
constexpr auto kConditionPollInterval = std::chrono::milliseconds(10);

int makeWakeFd() {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    log::write(log::Level::Error,
               std::string("run loop: cannot create its wake-up eventfd: ") + std::strerror(errno));
    std::abort();
  }
  return fd;
}

// The first fire date after `now` on the grid `fireDate + k * interval`: a timer that fell
// behind skips what it missed.
MonotonicClock::time_point nextFireDate(MonotonicClock::time_point fireDate, double interval,
                                        MonotonicClock::time_point now) {
  auto step = std::chrono::ceil<MonotonicClock::duration>(std::chrono::duration<double>(interval));
  return fireDate + step * ((now - fireDate) / step + 1);
}

}  // namespace

RunLoop& RunLoop::main() {
  // Never destroyed: other threads may wake it while the process exits.
  static RunLoop* loop = new RunLoop;
  return *loop;
}

RunLoop::RunLoop() : wakeFd_(makeWakeFd()) {}

void RunLoop::run() { runWhile(nullptr, MonotonicClock::time_point::max()); }

bool RunLoop::runUntil(const std::function<bool()>& condition, double timeoutSeconds) {
  return runWhile(&condition, monotonicDeadline(timeoutSeconds));
}

bool RunLoop::runWhile(const std::function<bool()>* condition,
                       MonotonicClock::time_point deadline) {
  if (!isMainThread()) {
    log::write(log::Level::Error, "RunLoop: only the main thread runs the main run loop");
    return false;
  }
  Run run;
  {
    os::MutexLock lock(mutex_);
    runs_.push_back(&run);
  }
  struct PopRun {
    RunLoop& loop;
    ~PopRun() {
      os::MutexLock lock(loop.mutex_);
      loop.runs_.pop_back();
    }
  } popRun{*this};

  // At least one turn, even with a deadline that has passed: the last turn runs at the deadline.
  auto holds = [condition] { return condition && (*condition)(); };
  bool satisfied = holds();
  while (!satisfied && !run.stopRequested) {
    MonotonicClock::time_point wake = std::min(turn(), deadline);
    satisfied = holds();
    if (satisfied || run.stopRequested || MonotonicClock::now() >= deadline) break;
    if (condition) wake = std::min(wake, MonotonicClock::now() + kConditionPollInterval);
    sleepUntil(wake);
  }
  return satisfied;
}

void RunLoop::stop() {
  {
    os::MutexLock lock(mutex_);
    if (runs_.empty()) return;
    runs_.back()->stopRequested = true;
  }
  wakeUp();
}

void RunLoop::wakeUp() {
  if (wakePending_.exchange(true)) return;
  uint64_t one = 1;
  ssize_t written = write(wakeFd_, &one, sizeof one);
  (void)written;  // only fails when the counter is saturated, which wakes the loop as well
}

void RunLoop::addSource(std::shared_ptr<RunLoopSource> source) {
  {
    os::MutexLock lock(mutex_);
    sources_.push_back(std::move(source));
  }
  wakeUp();
}

void RunLoop::removeSource(const RunLoopSource* source) {
  std::shared_ptr<RunLoopSource> removed;  // released outside the lock
  os::MutexLock lock(mutex_);
  auto entry = std::find_if(sources_.begin(), sources_.end(),
                            [source](const auto& added) { return added.get() == source; });
  if (entry == sources_.end()) return;
  removed = std::move(*entry);
  sources_.erase(entry);
}

MonotonicClock::time_point RunLoop::turn() {
  // Read the eventfd before clearing the flag: a wakeUp() after the clearing writes again, and
  // the blocks queued before it are run below.
  uint64_t count;
  ssize_t readBytes = read(wakeFd_, &count, sizeof count);
  (void)readBytes;  // EAGAIN when nothing woke the loop
  wakePending_ = false;

  runMainQueueBlocks();
  return std::min(fireTimers(), pollSources());
}

MonotonicClock::time_point RunLoop::fireTimers() {
  auto now = MonotonicClock::now();
  std::vector<std::shared_ptr<Timer>> due;
  {
    os::MutexLock lock(mutex_);
    for (const auto& timer : timers_) {
      if (!timer->firing_ && timer->fireDate_ <= now) due.push_back(timer);
    }
    std::sort(due.begin(), due.end(),
              [](const auto& a, const auto& b) { return a->fireDate_ < b->fireDate_; });
  }
  for (const auto& timer : due) {
    std::shared_ptr<const Timer::Block> block;
    {
      // An earlier timer's block may have moved or invalidated this one.
      os::MutexLock lock(mutex_);
      if (!timer->valid_ || timer->firing_ || timer->fireDate_ > now) continue;
      if (timer->repeats_) timer->fireDate_ = nextFireDate(timer->fireDate_, timer->interval_, now);
      timer->firing_ = true;
      block = timer->block_;
    }
    performLoggingExceptions("timer", [&] { (*block)(*timer); });
    {
      os::MutexLock lock(mutex_);
      timer->firing_ = false;
    }
    if (!timer->repeats_) timer->invalidate();
  }

  auto next = MonotonicClock::time_point::max();
  os::MutexLock lock(mutex_);
  for (const auto& timer : timers_) {
    if (!timer->firing_) next = std::min(next, timer->fireDate_);
  }
  return next;
}

std::vector<std::shared_ptr<RunLoopSource>> RunLoop::sourcesSnapshot() {
  os::MutexLock lock(mutex_);
  return sources_;
}

MonotonicClock::time_point RunLoop::pollSources() {
  auto next = MonotonicClock::time_point::max();
  for (const auto& source : sourcesSnapshot()) {
    {
      // A source polled earlier in this turn may have removed this one.
      os::MutexLock lock(mutex_);
      if (std::find(sources_.begin(), sources_.end(), source) == sources_.end()) continue;
    }
    double sleep = kWaitForever;
    performLoggingExceptions("run loop source", [&] { sleep = source->poll(); });
    next = std::min(next, monotonicDeadline(sleep));
  }
  return next;
}

void RunLoop::sleepUntil(MonotonicClock::time_point wake) {
  std::vector<pollfd> descriptors{{wakeFd_, POLLIN, 0}};
  for (const auto& source : sourcesSnapshot()) {
    if (int fd = source->fileDescriptor(); fd >= 0) descriptors.push_back({fd, POLLIN, 0});
  }
  timespec timeout{};
  timespec* timeoutPointer = nullptr;
  if (wake != MonotonicClock::time_point::max()) {
    auto remaining = std::max(wake - MonotonicClock::now(), MonotonicClock::duration::zero());
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining).count();
    timeout.tv_sec = nanoseconds / 1'000'000'000;
    timeout.tv_nsec = nanoseconds % 1'000'000'000;
    timeoutPointer = &timeout;
  }
  // EINTR just turns the loop early.
  ppoll(descriptors.data(), descriptors.size(), timeoutPointer, nullptr);
}

Timer::Timer(Private, double intervalSeconds, bool repeats, Block block)
    : interval_(repeats ? std::max(intervalSeconds, 1e-4) : intervalSeconds),
      repeats_(repeats),
      fireDate_(monotonicDeadline(intervalSeconds)),
      block_(std::make_shared<const Block>(std::move(block))) {}

std::shared_ptr<Timer> Timer::schedule(double intervalSeconds, bool repeats, Block block) {
  auto timer = std::make_shared<Timer>(Private{}, intervalSeconds, repeats, std::move(block));
  RunLoop& loop = RunLoop::main();
  {
    os::MutexLock lock(loop.mutex_);
    loop.timers_.push_back(timer);
  }
  loop.wakeUp();
  return timer;
}

MonotonicClock::time_point Timer::fireDate() const {
  os::MutexLock lock(RunLoop::main().mutex_);
  return fireDate_;
}

void Timer::setFireDate(MonotonicClock::time_point date) {
  RunLoop& loop = RunLoop::main();
  {
    os::MutexLock lock(loop.mutex_);
    fireDate_ = date;
  }
  loop.wakeUp();
}

void Timer::invalidate() {
  RunLoop& loop = RunLoop::main();
  // Released outside the lock: their destructors may use timers too.
  std::shared_ptr<const Block> block;
  std::shared_ptr<Timer> self;
  os::MutexLock lock(loop.mutex_);
  if (!valid_) return;
  valid_ = false;
  block = std::move(block_);
  auto entry = std::find_if(loop.timers_.begin(), loop.timers_.end(),
                            [this](const auto& timer) { return timer.get() == this; });
  self = std::move(*entry);
  loop.timers_.erase(entry);
}

bool Timer::isValid() const {
  os::MutexLock lock(RunLoop::main().mutex_);
  return valid_;
}

}  // namespace os
