#include "measurement/foundation/config_store.h"

#include <fmt/format.h>

namespace measurement {

std::string consoleMessageCode(int64_t code) { return fmt::format("I-ACS{:06d}", code); }

os::Value ConfigStore::numberForKey(std::string_view key) const {
  os::Value value = objectForKey(key);
  if (value.isNumber() || value.isBool()) return value;
  return nullptr;
}

int64_t ConfigStore::integerForKey(std::string_view key) const {
  return numberForKey(key).integerValue();
}

float ConfigStore::floatForKey(std::string_view key) const {
  return static_cast<float>(numberForKey(key).doubleValue());
}

double ConfigStore::doubleForKey(std::string_view key) const {
  return numberForKey(key).doubleValue();
}

bool ConfigStore::boolForKey(std::string_view key) const { return numberForKey(key).boolValue(); }

std::optional<std::string> ConfigStore::stringForKey(std::string_view key) const {
  os::Value value = objectForKey(key);
  if (const std::string* text = value.asString()) return *text;
  return std::nullopt;
}

std::optional<os::Array> ConfigStore::arrayForKey(std::string_view key) const {
  os::Value value = objectForKey(key);
  if (const os::Array* array = value.asArray()) return *array;
  return std::nullopt;
}

std::optional<os::Dictionary> ConfigStore::dictionaryForKey(std::string_view key) const {
  os::Value value = objectForKey(key);
  if (const os::Dictionary* dictionary = value.asDictionary()) return *dictionary;
  return std::nullopt;
}

}  // namespace measurement
