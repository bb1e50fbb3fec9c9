#include "os/process/clock.h"

#include <atomic>
#include <chrono>
#include <ctime>

#include "os/sync/mutex.h"

namespace os::clock {
namespace {

os::Mutex fakeMutex;
ScopedFakeClock* currentFake OS_GUARDED_BY(fakeMutex) = nullptr;
// Lets reads skip the mutex when no fake exists, which is always the case outside tests.
std::atomic<bool> fakeActive{false};

template <typename Clock>
double secondsOf(typename Clock::time_point point) {
  return std::chrono::duration<double>(point.time_since_epoch()).count();
}

}  // namespace

double now() {
  if (fakeActive.load(std::memory_order_acquire)) {
    os::MutexLock lock(fakeMutex);
    if (currentFake != nullptr) return currentFake->now();
  }
  return secondsOf<std::chrono::system_clock>(std::chrono::system_clock::now());
}

double monotonic() {
  if (fakeActive.load(std::memory_order_acquire)) {
    os::MutexLock lock(fakeMutex);
    if (currentFake != nullptr) return currentFake->monotonic();
  }
  return secondsOf<std::chrono::steady_clock>(std::chrono::steady_clock::now());
}

double uptime() {
  if (fakeActive.load(std::memory_order_acquire)) {
    os::MutexLock lock(fakeMutex);
    if (currentFake != nullptr) return currentFake->monotonic();
  }
  timespec since{};
  if (clock_gettime(CLOCK_BOOTTIME, &since) != 0) return -1.0;
  return static_cast<double>(since.tv_sec) + static_cast<double>(since.tv_nsec) / 1e9;
}

ScopedFakeClock::ScopedFakeClock(double wallSeconds, double monotonicSeconds)
    : wall_(wallSeconds), monotonic_(monotonicSeconds) {
  os::MutexLock lock(fakeMutex);
  previous_ = currentFake;
  currentFake = this;
  fakeActive.store(true, std::memory_order_release);
}

ScopedFakeClock::~ScopedFakeClock() {
  os::MutexLock lock(fakeMutex);
  currentFake = previous_;
  fakeActive.store(currentFake != nullptr, std::memory_order_release);
}

void ScopedFakeClock::advance(double seconds) {
  os::MutexLock lock(fakeMutex);
  wall_.store(wall_.load() + seconds);
  if (seconds > 0) monotonic_.store(monotonic_.load() + seconds);
}

void ScopedFakeClock::setNow(double wallSeconds) {
  os::MutexLock lock(fakeMutex);
  wall_.store(wallSeconds);
}

void ScopedFakeClock::setMonotonic(double monotonicSeconds) {
  os::MutexLock lock(fakeMutex);
  monotonic_.store(monotonicSeconds);
}

double ScopedFakeClock::now() const { return wall_.load(); }

double ScopedFakeClock::monotonic() const { return monotonic_.load(); }

}  // namespace os::clock
