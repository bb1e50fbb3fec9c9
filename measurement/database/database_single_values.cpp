// The single-value queries the table operations share: counts, existence and maxima.
#include "measurement/database/database.h"
#include "measurement/foundation/lookup.h"

namespace measurement {

std::optional<int64_t> Database::integerForQuery(std::string_view query,
                                                 const std::vector<os::Value>& values,
                                                 os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  std::optional<os::Value> number = sqlite->numberForQuery(query, values, error);
  if (!number) return std::nullopt;
  return number->integerValue();
}

std::optional<bool> Database::booleanForQuery(std::string_view query,
                                              const std::vector<os::Value>& values,
                                              os::Error* error) {
  std::optional<int64_t> number = integerForQuery(query, values, error);
  if (!number) return std::nullopt;
  return *number != 0;
}

Lookup<double> Database::nullableNumberForQuery(std::string_view query, os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  std::optional<os::Value> number = sqlite->numberForQuery(query, {}, error);
  if (!number) return std::nullopt;
  if (number->isNull()) return std::optional<double>();
  return std::optional<double>(number->doubleValue());
}

}  // namespace measurement
