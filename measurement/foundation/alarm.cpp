#include "measurement/foundation/alarm.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <utility>

#include "measurement/foundation/monitor.h"
#include "os/process/clock.h"

namespace measurement {

// One armed timer. Its delayed firing is already in the dispatch layer's hands and cannot be
// withdrawn from there, so it finds the owner's block here and does nothing once the source is
// cancelled; cancelling releases the block (and what it captured) at once.
struct TimerSource {
  explicit TimerSource(std::function<void()> block) : block(std::move(block)) {}

  std::atomic<bool> cancelled{false};
  std::function<void()> block;  // touched on the alarm's queue only
};

struct Alarm::State {
  State(std::shared_ptr<os::DispatchQueue> queue, std::string name)
      : queue(std::move(queue)), name(std::move(name)) {}

  bool hasActiveTimer() const { return timer && !timer->cancelled.load(); }

  void cancel() {
    if (!scheduledTimestamp) return;
    monitor().log(MonitorLevel::kDebug, 2003, name + " canceled");
    if (!hasActiveTimer()) {
      monitor().log(MonitorLevel::kWarningSampled, 2004, name + " is not active");
    } else {
      timer->cancelled.store(true);
      timer->block = nullptr;
    }
    scheduledTimestamp.reset();
  }

  void fire(const std::shared_ptr<TimerSource>& source) {
    if (source->cancelled.load()) return;
    monitor().log(MonitorLevel::kDebug, 2001, name + " fired");
    std::function<void()> block = std::move(source->block);
    cancel();
    block();
  }

  const std::shared_ptr<os::DispatchQueue> queue;
  const std::string name;
  // Touched on `queue` only.
  std::shared_ptr<TimerSource> timer;
  std::optional<double> scheduledTimestamp;
};

namespace {

// The delay the timer waits: NaN fires at once like a negative delay, and a delay beyond the
// maximum waits the maximum.
double effectiveDelay(double delaySeconds) {
  if (std::isnan(delaySeconds)) return 0;
  return std::min(delaySeconds, Alarm::kMaximumDelaySeconds);
}

}  // namespace

Alarm::Alarm(std::shared_ptr<os::DispatchQueue> queue, std::string_view name)
    : state_(std::make_shared<State>(std::move(queue),
                                     name.empty() ? std::string("Timer") : std::string(name))) {}

Alarm::~Alarm() { state_->cancel(); }

const std::string& Alarm::name() const { return state_->name; }

void Alarm::runAfterDelay(double delaySeconds, std::function<void()> block) {
  OS_CHECK_ON(state_->queue);
  if (!block) {
    monitor().log(MonitorLevel::kErrorSampled, 2000,
                  state_->name + " tried to schedule an empty block");
    return;
  }
  state_->cancel();
  double delay = effectiveDelay(delaySeconds);
  state_->scheduledTimestamp = os::clock::now() + delay;
  auto source = std::make_shared<TimerSource>(std::move(block));
  state_->timer = source;
  // The firing holds the alarm's state weakly: an alarm destroyed meanwhile has cancelled it.
  std::weak_ptr<State> weakState = state_;
  state_->queue->after(delay, [weakState, source] {
    if (std::shared_ptr<State> state = weakState.lock()) state->fire(source);
  });
  monitor().log(MonitorLevel::kDebug, 2002, state_->name + " scheduled to fire in approx. (s)",
                delaySeconds);
}

void Alarm::cancel() {
  OS_CHECK_ON(state_->queue);
  state_->cancel();
}

bool Alarm::hasActiveTimer() const {
  OS_CHECK_ON(state_->queue);
  return state_->hasActiveTimer();
}

std::optional<double> Alarm::scheduledTimestamp() const {
  OS_CHECK_ON(state_->queue);
  return state_->scheduledTimestamp;
}

}  // namespace measurement
