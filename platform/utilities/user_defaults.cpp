#include "platform/utilities/user_defaults.h"

#include "os/value/plist.h"
#include "platform/utilities/logger.h"

namespace {

constexpr const char* kService = "[VedodoUtilities/UserDefaults]";

bool isValidKey(const os::Value& key) { return key.isString() && !key.asString()->empty(); }

os::UserDefaults defaultsFor(const std::optional<std::string>& suiteName) {
  if (suiteName && !suiteName->empty()) {
    if (std::optional<os::UserDefaults> suite = os::UserDefaults::suite(*suiteName)) return *suite;
  }
  return os::UserDefaults::standard();
}

}  // namespace

VDUUserDefaults& VDUUserDefaults::standardUserDefaults() {
  static VDUUserDefaults* shared = new VDUUserDefaults();
  return *shared;
}

VDUUserDefaults::VDUUserDefaults() : VDUUserDefaults(std::nullopt) {}

VDUUserDefaults::VDUUserDefaults(const std::optional<std::string>& suiteName)
    : defaults_(defaultsFor(suiteName)) {}

os::Value VDUUserDefaults::objectForKey(const os::Value& key) const {
  if (!isValidKey(key)) {
    VDULogAtWarning("<VedodoUtilities>", false, "I-VDU000001",
                    "Cannot get object for invalid user default key.");
    return nullptr;
  }
  return defaults_.objectForKey(*key.asString());
}

void VDUUserDefaults::setObject(const os::Value& value, const os::Value& key) {
  if (!isValidKey(key)) {
    VDULogAtWarning(kService, false, "I-VDU000002",
                    "Cannot set object for invalid user default key.");
    return;
  }
  if (!value.isNull() && !os::plist::hasPropertyListForm(value)) {
    VDULogAtWarning(kService, false, "I-VDU000003",
                    "Cannot set invalid object to user defaults. Must be a string, number, array, "
                    "dictionary, date, or data. Value: %@",
                    value);
    return;
  }
  defaults_.setObject(*key.asString(), value);
  synchronize();
}

int64_t VDUUserDefaults::integerForKey(const os::Value& key) const {
  return objectForKey(key).integerValue();
}

float VDUUserDefaults::floatForKey(const os::Value& key) const {
  return static_cast<float>(objectForKey(key).doubleValue());
}

double VDUUserDefaults::doubleForKey(const os::Value& key) const {
  return objectForKey(key).doubleValue();
}

bool VDUUserDefaults::boolForKey(const os::Value& key) const {
  return objectForKey(key).boolValue();
}

std::optional<std::string> VDUUserDefaults::stringForKey(const os::Value& key) const {
  os::Value value = objectForKey(key);
  if (const std::string* text = value.asString()) return *text;
  return std::nullopt;
}

std::optional<os::Array> VDUUserDefaults::arrayForKey(const os::Value& key) const {
  os::Value value = objectForKey(key);
  if (const os::Array* array = value.asArray()) return *array;
  return std::nullopt;
}

std::optional<os::Dictionary> VDUUserDefaults::dictionaryForKey(const os::Value& key) const {
  os::Value value = objectForKey(key);
  if (const os::Dictionary* dictionary = value.asDictionary()) return *dictionary;
  return std::nullopt;
}

void VDUUserDefaults::synchronize() {
  if (!defaults_.synchronize()) {
    VDULogAtError(kService, false, "I-VDU000004", "Cannot synchronize user defaults to disk");
  }
}
