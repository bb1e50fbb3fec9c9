// A row of the SQLite store: column names with their values, in the order they were set. The
// order is the column order of every statement built from the record, so the same record always
// gives the same SQL text (and so the same cached statement).
//
//   SqliteRecord record{{"name", "_e"}, {"timestamp", 1.5}, {"data", os::Data{1, 2}}};
//   record.set("is_realtime", 1);          // appended; setting "name" again replaces in place
//   const os::Value* name = record.find("name");
//
// Values the store binds: data (a blob), numbers (a double for os::Value::Type::Real, else a
// signed 64-bit integer; booleans are integers 0 and 1), strings (UTF-8 text) and null (NULL).
// Dates, arrays and dictionaries are values of an unexpected type, which every write refuses.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/value/value.h"

namespace measurement {

class SqliteRecord {
 public:
  using Column = std::pair<std::string, os::Value>;

  SqliteRecord() = default;
  SqliteRecord(std::initializer_list<Column> columns);

  // Replaces the value of `column` where it is, or appends the column.
  void set(std::string_view column, os::Value value);
  // The value of `column`, or nullptr when the record has no such column.
  const os::Value* find(std::string_view column) const;

  bool empty() const { return columns_.empty(); }
  size_t size() const { return columns_.size(); }
  std::vector<Column>::const_iterator begin() const { return columns_.begin(); }
  std::vector<Column>::const_iterator end() const { return columns_.end(); }

  friend bool operator==(const SqliteRecord&, const SqliteRecord&) = default;

 private:
  std::vector<Column> columns_;
};

// Whether the store can bind `value` (data, number, boolean, string or null).
bool isBindableValue(const os::Value& value);

}  // namespace measurement
