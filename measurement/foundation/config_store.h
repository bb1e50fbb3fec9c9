// The key-value store interface that the persisted engine state and the monitor stand on, with
// the typed reads and writes that every store shares. Two stores implement it: the measurement
// code's own property-list file (PersistentDictionary) and the preferences of the application
// or of a named suite (MeasurementUserDefaults).
//
//   MeasurementUserDefaults& defaults = MeasurementUserDefaults::shared();
//   defaults.setInteger(3, "/vedodo/measurement/example");
//   int64_t value = defaults.integerForKey("/vedodo/measurement/example");  // 3
//
// A key must not be empty and a value must have a property-list form (no null inside an array
// or dictionary); each store logs a refusal (tag "<ZadOdavodivezi>", its own codes) and ignores
// the call. Every member may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/value/value.h"

namespace measurement {

// The tag under which the measurement code's console lines appear.
inline constexpr const char* kMeasurementLogTag = "<ZadOdavodivezi>";

// A message code's console form: 41001 gives "I-ACS041001".
std::string consoleMessageCode(int64_t code);

class ConfigStore {
 public:
  virtual ~ConfigStore() = default;

  // The stored value; null when absent or the key is empty.
  virtual os::Value objectForKey(std::string_view key) const = 0;
  // Stores `value` under `key`; null removes the key.
  virtual void setObject(os::Value value, std::string_view key) = 0;
  // Removes every key.
  virtual void clearAllData() = 0;
  // Brings the store's changes to disk as far as this store does so on request.
  virtual void synchronize() = 0;

  // A number (a boolean counts as one) converted; 0, 0.0 or false for anything else: a numeric
  // string is not parsed.
  int64_t integerForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  // The stored value only when it has the asked kind.
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<os::Array> arrayForKey(std::string_view key) const;
  std::optional<os::Dictionary> dictionaryForKey(std::string_view key) const;
  // A number or boolean as stored; null for anything else.
  os::Value numberForKey(std::string_view key) const;

  void setInteger(int64_t value, std::string_view key) { setObject(value, key); }
  void setFloat(float value, std::string_view key) { setObject(double{value}, key); }
  void setDouble(double value, std::string_view key) { setObject(value, key); }
  void setBool(bool value, std::string_view key) { setObject(value, key); }
  void removeObjectForKey(std::string_view key) { setObject(nullptr, key); }
};

}  // namespace measurement
