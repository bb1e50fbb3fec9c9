#include "core/heartbeats/heartbeats_bundle.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace heartbeats {

namespace {

std::map<TimePeriod, double> neverAdded() {
  std::map<TimePeriod, double> dates;
  for (TimePeriod period : kAllTimePeriods) dates[period] = kDistantPast;
  return dates;
}

}  // namespace

HeartbeatsBundle::HeartbeatsBundle(int64_t capacity)
    : capacity(capacity), lastAddedHeartbeatDates(neverAdded()), buffer(capacity) {}

HeartbeatsBundle::HeartbeatsBundle(int64_t capacity,
                                   std::map<TimePeriod, double> lastAddedHeartbeatDates,
                                   RingBuffer<Heartbeat> buffer)
    : capacity(capacity),
      lastAddedHeartbeatDates(std::move(lastAddedHeartbeatDates)),
      buffer(std::move(buffer)) {}

void HeartbeatsBundle::append(const Heartbeat& heartbeat) {
  if (capacity <= 0) return;
  std::optional<Heartbeat> overwritten;
  RingBufferError error;
  if (buffer.push(heartbeat, &overwritten, &error)) {
    if (overwritten) {
      for (auto& [period, date] : lastAddedHeartbeatDates) {
        if (date == overwritten->date) date = kDistantPast;
      }
    }
    for (TimePeriod period : heartbeat.timePeriods)
      lastAddedHeartbeatDates[period] = heartbeat.date;
    return;
  }
  *this = HeartbeatsBundle(capacity);
  std::string description = error.description();
  std::replace(description.begin(), description.end(), ' ', '-');
  Heartbeat diagnostic{heartbeat.agent + " error/" + description, heartbeat.date, 0,
                       heartbeat.timePeriods};
  if (!buffer.push(diagnostic)) return;
  for (TimePeriod period : diagnostic.timePeriods)
    lastAddedHeartbeatDates[period] = diagnostic.date;
}

std::optional<Heartbeat> HeartbeatsBundle::removeHeartbeat(double date) {
  std::vector<Heartbeat> setAside;
  std::optional<Heartbeat> removed;
  while (std::optional<Heartbeat> popped = buffer.pop()) {
    if (popped->date == date) {
      removed = std::move(popped);
      break;
    }
    setAside.push_back(std::move(*popped));
  }
  for (auto it = setAside.rbegin(); it != setAside.rend(); ++it) buffer.push(std::move(*it));
  return removed;
}

HeartbeatsPayload HeartbeatsBundle::makeHeartbeatsPayload() const {
  std::map<std::string, std::vector<double>> datesByAgent;
  for (const Heartbeat& heartbeat : buffer.elements()) {
    datesByAgent[heartbeat.agent].push_back(heartbeat.date);
  }
  HeartbeatsPayload payload;
  for (auto& [agent, dates] : datesByAgent) {
    payload.userAgentPayloads.push_back({agent, std::move(dates)});
  }
  return payload;
}

}  // namespace heartbeats
