// purchase_transactions, subscriptions and conditional_properties: the de-duplication sets of
// purchases and subscriptions, and the user properties that wait for a trigger or expire.
#include <cmath>
#include <string>
#include <utility>

#include "measurement/database/database.h"
#include "measurement/database/event_blob.h"
#include "measurement/database/sql_conditions.h"
#include "measurement/database/storage_value.h"
#include "measurement/foundation/lookup.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

constexpr int64_t kPurchaseTransactionsKept = 1000;
constexpr int64_t kSubscriptionsKept = 1000;
constexpr int64_t kConditionalPropertiesLimit = 1000;

double doubleColumn(const SqliteRecord& row, const char* column) {
  const os::Value* value = row.find(column);
  return value && value->isNumber() ? value->doubleValue() : 0;
}

std::string textColumn(const SqliteRecord& row, const char* column) {
  const os::Value* value = row.find(column);
  return value && value->asString() ? *value->asString() : std::string();
}

// A conditional_properties row as its property. An event column that is set but does not read
// back makes the whole row unreadable: a property silently without its expiry event would
// never announce its end.
std::optional<ConditionalUserProperty> propertyFromRow(const SqliteRecord& row, os::Error* error) {
  ConditionalUserProperty property;
  property.setName(textColumn(row, "name"));
  property.setOrigin(textColumn(row, "origin"));
  if (const os::Value* value = row.find("value");
      value && (value->isString() || value->isNumber())) {
    property.setValue(Value::valueFromObject(*value));
  }
  property.setTriggerTimeout(doubleColumn(row, "trigger_timeout"));
  property.setTimeToLive(doubleColumn(row, "time_to_live"));
  property.setCreationTimestamp(doubleColumn(row, "creation_timestamp"));
  property.setTriggeredTimestamp(doubleColumn(row, "triggered_timestamp"));
  const os::Value* active = row.find("active");
  property.setActive(active && active->isNumber() && active->integerValue() != 0);
  if (const os::Value* trigger = row.find("trigger_event_name"); trigger && !trigger->isNull()) {
    property.setTriggerEventName(textColumn(row, "trigger_event_name"));
  }
  struct EventColumn {
    const char* column;
    void (ConditionalUserProperty::*set)(std::optional<Event>);
  } columns[] = {{"timed_out_event", &ConditionalUserProperty::setTimedOutEvent},
                 {"triggered_event", &ConditionalUserProperty::setTriggeredEvent},
                 {"expired_event", &ConditionalUserProperty::setExpiredEvent}};
  for (const EventColumn& column : columns) {
    const os::Value* stored = row.find(column.column);
    if (stored == nullptr || stored->isNull()) continue;
    std::optional<Event> event = eventFromBlob(*stored, error);
    if (!event) return std::nullopt;
    (property.*column.set)(std::move(event));
  }
  return property;
}

}  // namespace

std::optional<bool> Database::insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint,
                                                                      os::Error* error) {
  checkQueue();
  if (fingerprint.empty()) return false;
  std::optional<bool> stored = booleanForQuery(
      "SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)",
      {std::string(fingerprint)}, error);
  if (!stored) return std::nullopt;
  if (*stored) return false;
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr ||
      !sqlite->upsertRecord(SqliteRecord{{"fingerprint", std::string(fingerprint)}},
                            kPurchaseTransactionsTable, error) ||
      !sqlite->deleteRecordsFromTableWithName(
          kPurchaseTransactionsTable,
          "rowid IN (SELECT rowid FROM purchase_transactions ORDER BY rowid DESC LIMIT -1 OFFSET "
          "?)",
          {kPurchaseTransactionsKept}, error)) {
    return std::nullopt;
  }
  return true;
}

std::optional<bool> Database::insertIfNotDuplicateSubscriptionID(std::string_view subscriptionID,
                                                                 os::Error* error) {
  checkQueue();
  if (subscriptionID.empty()) return false;
  std::optional<bool> stored = booleanForQuery(
      "SELECT EXISTS (SELECT 1 FROM subscriptions WHERE subscription_id = ? LIMIT 1)",
      {std::string(subscriptionID)}, error);
  if (!stored) return std::nullopt;
  if (*stored) return false;
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr ||
      !sqlite->upsertRecord(SqliteRecord{{"subscription_id", std::string(subscriptionID)}},
                            kSubscriptionsTable, error)) {
    return std::nullopt;
  }
  return true;
}

std::optional<int64_t> Database::deleteSubscriptionsOverLimit(os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  return sqlite->deleteRecordsFromTableWithName(
      kSubscriptionsTable,
      "rowid IN (SELECT rowid FROM subscriptions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
      {kSubscriptionsKept}, error);
}

bool Database::updateConditionalUserProperty(const ConditionalUserProperty& property,
                                             os::Error* error) {
  checkQueue();
  if (!requireOrSetError(!property.name().empty(), error, kDatabaseFailure,
                         "Received conditional user property with empty name for getting "
                         "dictionary representation") ||
      !requireOrSetError(!property.origin().empty(), error, kDatabaseFailure,
                         "Received conditional user property with empty origin for getting "
                         "dictionary representation") ||
      !requireOrSetError(property.value().has_value(), error, kDatabaseFailure,
                         "Received conditional user property with nil value for getting "
                         "dictionary representation")) {
    return false;
  }
  SqliteRecord record{{"name", property.name()},
                      {"origin", property.origin()},
                      {"value", storageValueFromValue(*property.value())},
                      {"creation_timestamp", property.creationTimestamp()},
                      {"active", property.isActive() ? 1 : 0},
                      {"trigger_timeout", property.triggerTimeout()},
                      {"triggered_timestamp", property.triggeredTimestamp()},
                      {"time_to_live", property.timeToLive()}};
  if (!property.triggerEventName().empty()) {
    record.set("trigger_event_name", property.triggerEventName());
  }
  const std::pair<const char*, const std::optional<Event>*> events[] = {
      {"timed_out_event", &property.timedOutEvent()},
      {"triggered_event", &property.triggeredEvent()},
      {"expired_event", &property.expiredEvent()}};
  for (const auto& [column, event] : events) {
    if (!*event) continue;
    std::optional<os::Data> blob = eventBlob(**event);
    if (blob) record.set(column, std::move(*blob));
  }
  return upsertDataType(record, kConditionalPropertiesTable, "name", os::Value(property.name()),
                        kConditionalPropertiesLimit, error);
}

Lookup<ConditionalUserProperty> Database::conditionalUserPropertyWithName(std::string_view name,
                                                                          os::Error* error) {
  std::optional<std::vector<ConditionalUserProperty>> found =
      dataTypesFromTableWithName<ConditionalUserProperty>(kConditionalPropertiesTable, "name",
                                                          os::Value(std::string(name)), error,
                                                          propertyFromRow);
  if (!found) return std::nullopt;
  if (found->empty()) return std::optional<ConditionalUserProperty>();
  return std::optional<ConditionalUserProperty>(std::move(found->front()));
}

bool Database::deleteConditionalUserPropertyWithName(std::string_view name, os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->deleteRecordFromTableWithName(kConditionalPropertiesTable, "name",
                                                         os::Value(std::string(name)), error);
}

std::optional<std::vector<ConditionalUserProperty>>
Database::conditionalUserPropertiesWithCondition(std::string_view condition,
                                                 const std::vector<os::Value>& values,
                                                 os::Error* error) {
  checkQueue();
  if (!requireOrSetError(!condition.empty(), error, kInvalidInput,
                         "Received empty condition for querying a conditional user property")) {
    return std::nullopt;
  }
  std::optional<std::vector<SqliteRecord>> rows = rowsForQuery(
      "SELECT rowid, * FROM conditional_properties WHERE " + std::string(condition), values, error);
  if (!rows) return std::nullopt;
  std::vector<ConditionalUserProperty> properties;
  for (const SqliteRecord& row : *rows) {
    std::optional<ConditionalUserProperty> property = propertyFromRow(row, error);
    if (!property) return std::nullopt;
    properties.push_back(std::move(*property));
  }
  return properties;
}

std::optional<std::vector<ConditionalUserProperty>> Database::timedOutConditionalUserProperties(
    os::Error* error) {
  return conditionalUserPropertiesWithCondition(
      "active=0 and abs(? - creation_timestamp) > trigger_timeout", {os::clock::now()}, error);
}

std::optional<std::vector<ConditionalUserProperty>> Database::expiredConditionalUserProperties(
    os::Error* error) {
  return conditionalUserPropertiesWithCondition(
      "active=1 and abs(? - triggered_timestamp) > time_to_live", {os::clock::now()}, error);
}

std::optional<std::vector<ConditionalUserProperty>>
Database::triggeredConditionalUserPropertiesWithEventName(std::string_view eventName,
                                                          os::Error* error) {
  if (!requireOrSetError(!eventName.empty(), error, kInvalidInput,
                         "Received nil/empty event name for querying triggered conditional user "
                         "properties")) {
    return std::nullopt;
  }
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {std::string(eventName), os::clock::now()}, error);
}

std::optional<std::vector<ConditionalUserProperty>> Database::conditionalUserPropertiesWithPrefix(
    std::string_view prefix, std::string_view origin, os::Error* error) {
  // Caller text is escaped: "%" and "_" in it match only themselves (ASCII case still folds).
  std::vector<std::string> parts;
  std::vector<os::Value> values;
  if (!origin.empty()) {
    parts.emplace_back("origin LIKE ? ESCAPE '!'");
    values.emplace_back(likeLiteral(origin));
  }
  if (!prefix.empty()) {
    parts.emplace_back("name LIKE ? || '%' ESCAPE '!'");
    values.emplace_back(likeLiteral(prefix));
  }
  std::string condition = parts.empty() ? "1 == 1" : parts[0];
  if (parts.size() > 1) condition += " AND " + parts[1];
  return conditionalUserPropertiesWithCondition(condition, values, error);
}

}  // namespace measurement
