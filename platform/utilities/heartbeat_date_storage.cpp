#include "platform/utilities/heartbeat_date_storage.h"

#include "os/files/files.h"
#include "os/files/paths.h"
#include "platform/utilities/secure_coding.h"

namespace {

os::Mutex gFileStorageMutex;

std::optional<os::Date> dateIn(const os::Value& dictionary, const std::string& tag) {
  if (const os::Date* date = dictionary[tag].asDate()) return *date;
  return std::nullopt;
}

}  // namespace

std::filesystem::path VDUHeartbeatDateStorage::fileURL() {
  std::filesystem::path folder = os::paths::applicationSupport() / "Vedodo/ZUZAze";
  if (!os::files::isDirectory(folder)) os::files::createDirectory(folder, true, nullptr);
  return folder / fileName_;
}

os::Dictionary VDUHeartbeatDateStorage::heartbeatDictionary() {
  std::optional<std::string> bytes = os::files::readFile(fileURL(), nullptr);
  if (!bytes || bytes->empty()) return {};
  std::optional<os::Value> stored = VDUSecureCoding::unarchivedObjectOfClasses(
      {os::Value::Type::Dictionary, os::Value::Type::Date, os::Value::Type::String},
      os::Data(bytes->begin(), bytes->end()), nullptr);
  if (!stored || !stored->isDictionary()) return {};
  return *stored->asDictionary();
}

std::optional<os::Date> VDUHeartbeatDateStorage::heartbeatDateForTag(const std::string& tag) {
  os::MutexLock lock(gFileStorageMutex);
  return dateIn(heartbeatDictionary(), tag);
}

bool VDUHeartbeatDateStorage::setHearbeatDate(os::Date date, const std::string& tag) {
  os::MutexLock lock(gFileStorageMutex);
  os::Dictionary dictionary = heartbeatDictionary();
  dictionary[tag] = date;
  std::optional<os::Data> archive =
      VDUSecureCoding::archivedDataWithRootObject(os::Value(std::move(dictionary)), nullptr);
  if (!archive || archive->empty()) return false;
  return os::files::writeAtomically(
      fileURL(), std::string_view(reinterpret_cast<const char*>(archive->data()), archive->size()),
      nullptr);
}

std::optional<os::Date> VDUHeartbeatDateStorageUserDefaults::heartbeatDateForTag(
    const std::string& tag) {
  os::MutexLock lock(mutex_);
  return dateIn(userDefaults_->objectForKey(key_), tag);
}

bool VDUHeartbeatDateStorageUserDefaults::setHearbeatDate(os::Date date, const std::string& tag) {
  os::MutexLock lock(mutex_);
  os::Dictionary dictionary = userDefaults_->dictionaryForKey(key_).value_or(os::Dictionary{});
  dictionary[tag] = date;
  userDefaults_->setObject(os::Value(std::move(dictionary)), key_);
  return true;
}
