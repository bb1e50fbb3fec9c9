#include "measurement/model/event_aggregates.h"

#include <limits>

#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/monitor.h"

namespace measurement {
namespace {

// One more, or 0 (logged) after the int32 maximum.
void increment(int32_t& count, int64_t code, const char* overflowMessage) {
  if (count == std::numeric_limits<int32_t>::max()) {
    monitor().log(MonitorLevel::kWarningSilent, code, overflowMessage);
    count = 0;
  } else {
    ++count;
  }
}

}  // namespace

std::optional<EventAggregates> EventAggregates::initWithName(std::string_view name,
                                                             int32_t lifetimeCount,
                                                             int32_t currentBundleCount,
                                                             int32_t currentSessionCount,
                                                             double lastFireTimestamp) {
  if (!DataTypeValidator::isValidInternalEventName(name, nullptr)) return std::nullopt;
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
    monitor().log(MonitorLevel::kWarningSilent, 17000,
                  "Failed to create event aggregates object. Received negative count.");
    return std::nullopt;
  }
  EventAggregates aggregates;
  aggregates.name_ = name;
  aggregates.lifetimeCount_ = lifetimeCount;
  aggregates.currentBundleCount_ = currentBundleCount;
  aggregates.currentSessionCount_ = currentSessionCount;
  aggregates.lastFireTimestamp_ = lastFireTimestamp;
  return aggregates;
}

void EventAggregates::incrementLifetimeCount() {
  increment(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void EventAggregates::incrementCurrentBundleCount() {
  increment(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void EventAggregates::incrementCurrentSessionCount() {
  increment(currentSessionCount_, 17003, "Session count overflow. Session count reset to 0.");
}

}  // namespace measurement
