#include "measurement/database/sqlite_record.h"

#include <algorithm>

namespace measurement {

SqliteRecord::SqliteRecord(std::initializer_list<Column> columns) {
  for (const Column& column : columns) set(column.first, column.second);
}

void SqliteRecord::set(std::string_view column, os::Value value) {
  auto found = std::find_if(columns_.begin(), columns_.end(),
                            [&](const Column& entry) { return entry.first == column; });
  if (found != columns_.end()) {
    found->second = std::move(value);
    return;
  }
  columns_.emplace_back(std::string(column), std::move(value));
}

const os::Value* SqliteRecord::find(std::string_view column) const {
  auto found = std::find_if(columns_.begin(), columns_.end(),
                            [&](const Column& entry) { return entry.first == column; });
  return found == columns_.end() ? nullptr : &found->second;
}

bool isBindableValue(const os::Value& value) {
  return value.isData() || value.isNumber() || value.isBool() || value.isString() || value.isNull();
}

}  // namespace measurement
