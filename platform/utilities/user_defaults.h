// VDUUserDefaults: the application's own preferences, or a named suite's, with checked keys and
// values and every change on disk before the call returns. Built on os::UserDefaults, so it
// shares that layer's per-domain cache with every other user of the same domain.
//
//   VDUUserDefaults suite("com.example.installations");
//   suite.setObject("abc", "fid");                 // written at once
//   std::optional<std::string> fid = suite.stringForKey("fid");
//
// Refusals are logged through the logger (codes "I-VDU000001" to "I-VDU000004") and change
// nothing: a key that is not a non-empty string, a value with no property-list form (a null
// inside an array or dictionary). The typed getters hand back their own type only: a key that
// holds a number gives no string, and so on.
//
// Threads: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "os/bundle/defaults.h"
#include "os/value/value.h"

class VDUUserDefaults {
 public:
  // The process-wide instance for the application's own preferences.
  static VDUUserDefaults& standardUserDefaults();

  // The application's own preferences.
  VDUUserDefaults();
  // The suite `suiteName`; nullopt or an empty name gives the application's own preferences, and
  // so does a name os::UserDefaults refuses as a suite (the application's own domain among them).
  explicit VDUUserDefaults(const std::optional<std::string>& suiteName);

  // The stored value for a valid key; null when absent or the key is invalid ("I-VDU000001").
  os::Value objectForKey(const os::Value& key) const;
  // Stores `value` (null removes the key) and synchronizes.
  void setObject(const os::Value& value, const os::Value& key);
  void removeObjectForKey(const os::Value& key) { setObject(nullptr, key); }

  // The stored value with the platform's coercions (os::Value's integerValue and so on: a
  // numeric string counts); 0, 0.0 or false when absent or of another kind.
  int64_t integerForKey(const os::Value& key) const;
  float floatForKey(const os::Value& key) const;
  double doubleForKey(const os::Value& key) const;
  bool boolForKey(const os::Value& key) const;
  // The stored value when it has the asked type; nullopt otherwise.
  std::optional<std::string> stringForKey(const os::Value& key) const;
  std::optional<os::Array> arrayForKey(const os::Value& key) const;
  std::optional<os::Dictionary> dictionaryForKey(const os::Value& key) const;

  void setInteger(int64_t value, const os::Value& key) { setObject(value, key); }
  void setFloat(float value, const os::Value& key) { setObject(double{value}, key); }
  void setDouble(double value, const os::Value& key) { setObject(value, key); }
  void setBool(bool value, const os::Value& key) { setObject(value, key); }

  // Writes pending changes of the domain to disk; logs "I-VDU000004" when it cannot.
  void synchronize();

  // Kept for callers that set it; nothing here reads it.
  bool isPreferenceFileExcluded() const { return isPreferenceFileExcluded_; }
  void setIsPreferenceFileExcluded(bool excluded) { isPreferenceFileExcluded_ = excluded; }

  // The domain this object reads and writes.
  const std::string& domainName() const { return defaults_.domainName(); }

 private:
  os::UserDefaults defaults_;
  bool isPreferenceFileExcluded_ = false;
};
