// Two stores of heartbeat dates keyed by tag: one in a file of its own, one in a dictionary
// under a user-defaults key. Both answer a date only when a date is stored for the tag.
//
//   VDUHeartbeatDateStorage storage("heartbeats-app1");
//   storage.setHearbeatDate(os::Date{os::clock::now()}, "daily");
//   std::optional<os::Date> last = storage.heartbeatDateForTag("daily");
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "os/sync/mutex.h"
#include "os/value/value.h"
#include "platform/utilities/user_defaults.h"

class VDUHeartbeatDateStorable {
 public:
  virtual ~VDUHeartbeatDateStorable() = default;
  // The date stored for `tag`; nullopt when none is, or the value stored is not a date.
  virtual std::optional<os::Date> heartbeatDateForTag(const std::string& tag) = 0;
  // Stores `date` for `tag`; true on success.
  virtual bool setHearbeatDate(os::Date date, const std::string& tag) = 0;
};

// The dates in <Application Support>/Vedodo/ZUZAze/<file name>, a VDUSecureCoding archive of a
// dictionary from tag to date, written atomically. All instances in the process share one lock,
// so that two of them never lose each other's writes.
class VDUHeartbeatDateStorage : public VDUHeartbeatDateStorable {
 public:
  explicit VDUHeartbeatDateStorage(std::string fileName) : fileName_(std::move(fileName)) {}

  const std::string& fileName() const { return fileName_; }
  // The file, its folder created on first use when missing.
  std::filesystem::path fileURL();

  std::optional<os::Date> heartbeatDateForTag(const std::string& tag) override;
  bool setHearbeatDate(os::Date date, const std::string& tag) override;

 private:
  // The stored dictionary; empty when the file is missing, unreadable or holds something else.
  os::Dictionary heartbeatDictionary();

  const std::string fileName_;
};

// The dates in the dictionary stored under `key` in `userDefaults`.
class VDUHeartbeatDateStorageUserDefaults : public VDUHeartbeatDateStorable {
 public:
  VDUHeartbeatDateStorageUserDefaults(std::shared_ptr<VDUUserDefaults> userDefaults,
                                      std::string key)
      : userDefaults_(std::move(userDefaults)), key_(std::move(key)) {}

  std::optional<os::Date> heartbeatDateForTag(const std::string& tag) override;
  // Always true: the defaults log their own failures.
  bool setHearbeatDate(os::Date date, const std::string& tag) override;

 private:
  const std::shared_ptr<VDUUserDefaults> userDefaults_;
  const std::string key_;
  os::Mutex mutex_;  // one read-modify-write at a time
};
