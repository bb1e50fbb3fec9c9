#include "measurement/foundation/persistent_dictionary.h"

#include <filesystem>

#include "measurement/foundation/storage_paths.h"
#include "os/files/files.h"
#include "os/value/plist.h"
#include "platform/utilities/logger.h"

namespace measurement {
namespace {

// Changes within this many seconds share one write; a failed write is retried as late.
constexpr double kWriteDelaySeconds = 1.0;
// XML, as the file has always been written.
constexpr os::plist::Format kFormat = os::plist::Format::Xml;

os::Dictionary readDictionary(const std::string& path) {
  std::optional<std::string> bytes = os::files::readFile(path, nullptr);
  if (!bytes) return {};
  std::optional<os::Value> value = os::plist::parse(*bytes);
  if (!value || !value->isDictionary()) return {};
  return *value->asDictionary();
}

// Whether the entry can go into the file: a value the file cannot hold would make every later
// write of the whole dictionary fail.
bool isWritable(std::string_view key, const os::Value& value) {
  return os::plist::hasPropertyListForm(value) &&
         os::plist::serialize(os::Dictionary{{std::string(key), value}}, kFormat).has_value();
}

}  // namespace

std::shared_ptr<PersistentDictionary> PersistentDictionary::create(std::string_view fileName,
                                                                   Delay delay) {
  const std::string path = measurementPlistPath(fileName);
  if (path.empty()) return nullptr;
  os::Error error;
  if (!os::files::createDirectory(std::filesystem::path(path).parent_path(), true, &error)) {
    VDULogAtError(kMeasurementLogTag, false, consoleMessageCode(43004),
                  "Cannot create subdirectories for config plist files. %@",
                  error.localizedDescription());
    return nullptr;
  }
  return std::make_shared<PersistentDictionary>(Private{}, path, readDictionary(path),
                                                std::move(delay));
}

PersistentDictionary::PersistentDictionary(Private, std::string path, os::Dictionary contents,
                                           Delay delay)
    : path_(std::move(path)),
      queue_(os::DispatchQueue::serial("APMPersistentDictionary")),
      delay_(delay ? std::move(delay)
                   : Delay([queue = queue_](double seconds, os::DispatchBlock block) {
                       queue->after(seconds, std::move(block));
                     })),
      contents_(std::move(contents)) {}

PersistentDictionary::~PersistentDictionary() { persistToDiskIfPending(); }

os::Value PersistentDictionary::objectForKey(std::string_view key) const {
  if (key.empty()) {
    VDULogAtWarning(kMeasurementLogTag, false, consoleMessageCode(43001),
                    "Cannot get object for invalid config key.");
    return nullptr;
  }
  os::MutexLock lock(mutex_);
  auto found = contents_.find(std::string(key));
  return found == contents_.end() ? os::Value() : found->second;
}

void PersistentDictionary::setObject(os::Value value, std::string_view key) {
  if (key.empty()) {
    VDULogAtWarning(kMeasurementLogTag, false, consoleMessageCode(43002),
                    "Cannot set object for invalid config key.");
    return;
  }
  if (!value.isNull() && !isWritable(key, value)) {
    VDULogAtWarning(kMeasurementLogTag, false, consoleMessageCode(43003),
                    "Cannot set invalid object to config. Must be a string, number, array, "
                    "dictionary, date, or data. Value %@",
                    value);
    return;
  }
  os::MutexLock lock(mutex_);
  auto found = contents_.find(std::string(key));
  if (value.isNull()) {
    if (found == contents_.end()) return;
    contents_.erase(found);
  } else {
    if (found != contents_.end() && found->second == value) return;
    contents_[std::string(key)] = std::move(value);
  }
  scheduleWriteLocked();
}

void PersistentDictionary::clearAllData() {
  os::MutexLock lock(mutex_);
  if (contents_.empty()) return;
  contents_.clear();
  scheduleWriteLocked();
}

void PersistentDictionary::schedulePersistToDisk() {
  os::MutexLock lock(mutex_);
  scheduleWriteLocked();
}

void PersistentDictionary::scheduleWriteLocked() {
  if (hasPendingPersistence_) return;
  hasPendingPersistence_ = true;
  delay_(kWriteDelaySeconds, [weak = weak_from_this()] {
    if (std::shared_ptr<PersistentDictionary> self = weak.lock()) self->persistToDiskIfPending();
  });
}

bool PersistentDictionary::persistToDisk() {
  os::MutexLock writing(writeMutex_);
  os::Dictionary snapshot;
  {
    os::MutexLock lock(mutex_);
    snapshot = contents_;
    hasPendingPersistence_ = false;
  }
  os::Error error;
  std::optional<std::string> bytes =
      os::plist::serialize(os::Value(std::move(snapshot)), kFormat, &error);
  if (bytes && os::files::writeAtomically(path_, *bytes, &error)) return true;
  VDULogAtError(kMeasurementLogTag, false, consoleMessageCode(43000),
                "Cannot persist configs to disk. %@", error.localizedDescription());
  // The contents are still only in memory: keep them pending and try again later. While the
  // object is being destroyed nobody is left to retry.
  os::MutexLock lock(mutex_);
  if (weak_from_this().expired()) return false;
  scheduleWriteLocked();
  return false;
}

bool PersistentDictionary::persistToDiskIfPending() {
  {
    os::MutexLock lock(mutex_);
    if (!hasPendingPersistence_) return true;
  }
  return persistToDisk();
}

}  // namespace measurement
