#include "core/heartbeats/heartbeat_controller.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "os/process/clock.h"

namespace heartbeats {

HeartbeatController::HeartbeatController(const std::string& identifier)
    : HeartbeatController(HeartbeatStorage::getInstance(identifier),
                          [] { return os::clock::now(); }) {}

HeartbeatController::HeartbeatController(std::shared_ptr<HeartbeatStorageProtocol> storage,
                                         DateProvider dateProvider)
    : storage_(std::move(storage)), dateProvider_(std::move(dateProvider)) {}

double HeartbeatController::today() const { return startOfDay(dateProvider_()); }

void HeartbeatController::log(const std::string& agent) {
  const double date = today();
  const int64_t capacity = heartbeatsStorageCapacity_;
  storage_->readAndWriteAsync([agent, date, capacity](std::optional<HeartbeatsBundle> bundle) {
    if (!bundle) bundle.emplace(capacity);
    std::vector<TimePeriod> due;
    for (const auto& [period, lastDate] : bundle->lastAddedHeartbeatDates) {
      if (date - lastDate >= kSecondsPerDay) due.push_back(period);
    }
    if (!due.empty()) bundle->append(Heartbeat{agent, date, 0, std::move(due)});
    return bundle;
  });
}

HeartbeatsPayload HeartbeatController::flush() {
  const int64_t capacity = heartbeatsStorageCapacity_;
  std::optional<HeartbeatsBundle> loaded;
  bool saved = storage_->getAndSet(
      [capacity](std::optional<HeartbeatsBundle> bundle) -> std::optional<HeartbeatsBundle> {
        if (!bundle) return std::nullopt;
        HeartbeatsBundle emptied(capacity);
        emptied.lastAddedHeartbeatDates = bundle->lastAddedHeartbeatDates;
        return emptied;
      },
      &loaded);
  if (!saved || !loaded) return HeartbeatsPayload::emptyPayload();
  return loaded->makeHeartbeatsPayload();
}

HeartbeatsPayload HeartbeatController::flushHeartbeatFromToday() {
  const double date = today();
  std::optional<Heartbeat> removed;
  storage_->readAndWriteSync([date, &removed](std::optional<HeartbeatsBundle> bundle) {
    if (bundle) removed = bundle->removeHeartbeat(date);
    return bundle;
  });
  if (!removed) return HeartbeatsPayload::emptyPayload();
  return HeartbeatsPayload{{{removed->agent, {removed->date}}}, HeartbeatsPayload::kVersion};
}

void HeartbeatController::restore(const HeartbeatsPayload& payload) {
  if (payload.isEmpty()) return;
  const int64_t capacity = heartbeatsStorageCapacity_;
  storage_->readAndWriteAsync([payload, capacity](std::optional<HeartbeatsBundle> bundle) {
    if (!bundle) bundle.emplace(capacity);
    const std::map<TimePeriod, double> lastAdded = bundle->lastAddedHeartbeatDates;
    const std::vector<TimePeriod> periods(std::begin(kAllTimePeriods), std::end(kAllTimePeriods));
    for (const HeartbeatsPayload::UserAgentPayload& entry : payload.userAgentPayloads) {
      for (double date : entry.dates) bundle->append(Heartbeat{entry.agent, date, 0, periods});
    }
    // Appending marks each period as added on the restored (older) dates: keep the later mark,
    // or a second heartbeat would be recorded today.
    for (auto& [period, date] : bundle->lastAddedHeartbeatDates) {
      auto before = lastAdded.find(period);
      if (before != lastAdded.end()) date = std::max(date, before->second);
    }
    return bundle;
  });
}

}  // namespace heartbeats
