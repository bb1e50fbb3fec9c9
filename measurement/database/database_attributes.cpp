// user_attributes: one row per user property, with its value, when it was set and by whom.
#include <string>

#include "measurement/database/database.h"
#include "measurement/database/sql_conditions.h"
#include "measurement/database/storage_value.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/numeric.h"

namespace measurement {
namespace {

constexpr int64_t kUserAttributesLimit = 1000;

std::optional<UserAttribute> userAttributeFromRow(const SqliteRecord& row, os::Error* error) {
  if (!requireOrSetError(!row.empty(), error, kDatabaseFailure,
                         "Received empty dictionary for getting user property")) {
    return std::nullopt;
  }
  const os::Value* stored = row.find("value");
  if (stored == nullptr || !(stored->isString() || stored->isNumber())) return std::nullopt;
  std::optional<Value> value = Value::valueFromObject(*stored);
  if (!value) return std::nullopt;
  const os::Value* origin = row.find("origin");
  const os::Value* name = row.find("name");
  const os::Value* timestamp = row.find("set_timestamp");
  return UserAttribute::create(origin && origin->asString() ? *origin->asString() : "",
                               name && name->asString() ? *name->asString() : "", std::move(*value),
                               timestamp && timestamp->isNumber() ? timestamp->doubleValue() : 0);
}

bool isShownToCallers(const std::string& name) {
  return !name.starts_with("_") && !DataTypeValidator::hasReservedPrefixes(name) &&
         !userPropertyInternalNames().contains(name);
}

}  // namespace

std::optional<int64_t> Database::publicUserAttributeCount(os::Error* error) {
  return integerForQuery(
      "SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%%' ESCAPE '!'", {}, error);
}

std::optional<int64_t> Database::userAttributeCountForOrigin(std::string_view origin,
                                                             os::Error* error) {
  checkQueue();
  if (!requireOrSetError(!origin.empty(), error, kInvalidInput,
                         "Received empty user property origin for count query")) {
    return std::nullopt;
  }
  return integerForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?",
                         {std::string(origin)}, error);
}

std::optional<bool> Database::containsUserAttributeWithName(std::string_view name,
                                                            os::Error* error) {
  checkQueue();
  if (!requireOrSetError(!name.empty(), error, kInvalidInput,
                         "Received empty user property name for exists query")) {
    return std::nullopt;
  }
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)",
                         {std::string(name)}, error);
}

Lookup<UserAttribute> Database::userAttributeWithName(std::string_view name, os::Error* error) {
  std::optional<std::vector<UserAttribute>> found = dataTypesFromTableWithName<UserAttribute>(
      kUserAttributesTable, "name", os::Value(std::string(name)), error, userAttributeFromRow);
  if (!found) return std::nullopt;
  if (found->empty()) return std::optional<UserAttribute>();
  return std::optional<UserAttribute>(std::move(found->front()));
}

std::optional<std::vector<UserAttribute>> Database::allLifetimeValueUserAttributes(
    os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  // Escaped: the "_" of the prefix would otherwise match any character.
  std::optional<std::vector<SqliteRecord>> rows = sqlite->recordsForQuery(
      "SELECT * FROM user_attributes WHERE name LIKE ? || '%' ESCAPE '!' ORDER BY set_timestamp "
      "DESC",
      {likeLiteral("_ltv_")}, error);
  if (!rows) return std::nullopt;
  std::vector<UserAttribute> attributes;
  for (const SqliteRecord& row : *rows) {
    os::Error failure;
    std::optional<UserAttribute> attribute = userAttributeFromRow(row, &failure);
    if (!attribute) {
      // A value or name that no longer reads leaves no error of its own.
      if (failure.code == 0) {
        failure =
            measurementError(kOperationFailed, "Failed to initialize data types from dictionaries");
      }
      if (error != nullptr) *error = failure;
      return std::nullopt;
    }
    attributes.push_back(std::move(*attribute));
  }
  return attributes;
}

std::optional<std::vector<UserAttribute>> Database::userAttributesIncludingInternal(
    bool includingInternal, os::Error* error) {
  std::optional<std::vector<UserAttribute>> all = allDataTypesFromTableWithName<UserAttribute>(
      kUserAttributesTable, kUserAttributesLimit, error, userAttributeFromRow);
  if (includingInternal || !all) return all;
  std::vector<UserAttribute> shown;
  for (UserAttribute& attribute : *all) {
    if (isShownToCallers(attribute.name())) shown.push_back(std::move(attribute));
  }
  return shown;
}

bool Database::updateUserAttribute(const UserAttribute& attribute, os::Error* error) {
  checkQueue();
  const std::string* text = attribute.value().stringValue();
  if (!requireOrSetError(!attribute.origin().empty(), error, kDatabaseFailure,
                         "Received user property with empty origin for getting dictionary "
                         "representation") ||
      !requireOrSetError(!attribute.name().empty(), error, kInvalidInput,
                         "Received user property with empty name for getting dictionary "
                         "representation") ||
      !requireOrSetError(text == nullptr || !text->empty(), error, kInvalidInput,
                         "Received empty string value for user property")) {
    return false;
  }
  SqliteRecord record{{"origin", attribute.origin()},
                      {"name", attribute.name()},
                      {"value", storageValueFromValue(attribute.value())},
                      {"set_timestamp", attribute.lastSetTimestamp()}};
  return upsertDataType(record, kUserAttributesTable, "name", os::Value(attribute.name()),
                        kUserAttributesLimit, error);
}

bool Database::deleteUserAttributeWithName(std::string_view name, os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->deleteRecordFromTableWithName(kUserAttributesTable, "name",
                                                         os::Value(std::string(name)), error);
}

}  // namespace measurement
