#include "core/heartbeats/bundle_coding.h"

#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "os/process/clock.h"

namespace heartbeats {

namespace {

using nlohmann::json;

double toStored(double date) { return date - os::clock::kReferenceDate1970; }
double fromStored(double stored) { return stored + os::clock::kReferenceDate1970; }

json encodeHeartbeat(const Heartbeat& heartbeat) {
  json periods = json::array();
  for (TimePeriod period : heartbeat.timePeriods) periods.push_back(static_cast<int64_t>(period));
  return {{"agent", heartbeat.agent},
          {"date", toStored(heartbeat.date)},
          {"version", heartbeat.version},
          {"timePeriods", std::move(periods)}};
}

// The member `key` of `object` when it is there and `accepts` it, else null.
template <typename Accepts>
const json* member(const json& object, const char* key, Accepts accepts) {
  auto found = object.find(key);
  if (found == object.end() || !accepts(*found)) return nullptr;
  return &*found;
}
bool isArray(const json& value) { return value.is_array(); }
bool isInteger(const json& value) { return value.is_number_integer(); }
bool isNumber(const json& value) { return value.is_number(); }
bool isString(const json& value) { return value.is_string(); }
bool isObject(const json& value) { return value.is_object(); }

std::optional<TimePeriod> decodePeriod(const json& value) {
  if (!value.is_number_integer() ||
      value.get<int64_t>() != static_cast<int64_t>(TimePeriod::daily)) {
    return std::nullopt;
  }
  return TimePeriod::daily;
}

std::optional<Heartbeat> decodeHeartbeat(const json& object) {
  if (!object.is_object()) return std::nullopt;
  const json* agent = member(object, "agent", isString);
  const json* date = member(object, "date", isNumber);
  const json* version = member(object, "version", isInteger);
  const json* periods = member(object, "timePeriods", isArray);
  if (!agent || !date || !version || !periods) return std::nullopt;
  Heartbeat heartbeat{
      agent->get<std::string>(), fromStored(date->get<double>()), version->get<int64_t>(), {}};
  for (const json& value : *periods) {
    std::optional<TimePeriod> period = decodePeriod(value);
    if (!period) return std::nullopt;
    heartbeat.timePeriods.push_back(*period);
  }
  return heartbeat;
}

}  // namespace

std::optional<std::string> encodeBundle(const HeartbeatsBundle& bundle) {
  json lastAdded = json::array();
  for (const auto& [period, date] : bundle.lastAddedHeartbeatDates) {
    lastAdded.push_back(static_cast<int64_t>(period));
    lastAdded.push_back(toStored(date));
  }
  json slots = json::array();
  for (const std::optional<Heartbeat>& slot : bundle.buffer.circularQueue()) {
    slots.push_back(slot ? encodeHeartbeat(*slot) : json(nullptr));
  }
  json document = {
      {"capacity", bundle.capacity},
      {"lastAddedHeartbeatDates", std::move(lastAdded)},
      {"buffer", {{"circularQueue", std::move(slots)}, {"tailIndex", bundle.buffer.tailIndex()}}}};
  try {
    return document.dump();
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

std::optional<HeartbeatsBundle> decodeBundle(std::string_view text) {
  json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) return std::nullopt;
  const json* capacity = member(document, "capacity", isInteger);
  const json* lastAdded = member(document, "lastAddedHeartbeatDates", isArray);
  const json* buffer = member(document, "buffer", isObject);
  if (!capacity || !lastAdded || !buffer || lastAdded->size() % 2 != 0) return std::nullopt;
  const json* slots = member(*buffer, "circularQueue", isArray);
  const json* tailIndex = member(*buffer, "tailIndex", isInteger);
  if (!slots || !tailIndex) return std::nullopt;

  std::map<TimePeriod, double> lastAddedDates;
  for (size_t i = 0; i < lastAdded->size(); i += 2) {
    std::optional<TimePeriod> period = decodePeriod((*lastAdded)[i]);
    const json& date = (*lastAdded)[i + 1];
    if (!period || !date.is_number()) return std::nullopt;
    lastAddedDates[*period] = fromStored(date.get<double>());
  }
  std::vector<std::optional<Heartbeat>> ring;
  ring.reserve(slots->size());
  for (const json& slot : *slots) {
    if (slot.is_null()) {
      ring.emplace_back();
      continue;
    }
    std::optional<Heartbeat> heartbeat = decodeHeartbeat(slot);
    if (!heartbeat) return std::nullopt;
    ring.push_back(std::move(heartbeat));
  }
  return HeartbeatsBundle(capacity->get<int64_t>(), std::move(lastAddedDates),
                          RingBuffer<Heartbeat>(std::move(ring), tailIndex->get<int64_t>()));
}

}  // namespace heartbeats
