#include "os/bundle/defaults.h"

#include <errno.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

#include "os/bundle/bundle.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/log/log.h"
#include "os/sync/mutex.h"
#include "os/text/text.h"
#include "os/value/error.h"
#include "os/value/exception.h"
#include "os/value/plist.h"

namespace os {
namespace {

namespace fs = std::filesystem;

// What identifies one version of a file on disk. An atomic replacement always brings a new
// inode, so a change is seen even within the file system's time granularity.
struct FileSignature {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  friend bool operator==(const FileSignature& a, const FileSignature& b) {
    return a.exists == b.exists && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
  }
};

FileSignature signatureOf(const fs::path& file) {
  struct stat info;
  if (::stat(file.c_str(), &info) != 0) return {};
  return {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

// `text` as a property list can hold it: valid UTF-8 without NUL characters (libplist cannot
// store them). Each ill-formed sequence and each NUL becomes U+FFFD. Other text would stop the
// whole domain from being written.
std::string validText(std::string_view text) {
  std::string valid =
      text::isValidUtf8(text) ? std::string(text) : text::fromUtf16(text::toUtf16(text));
  for (size_t at = valid.find('\0'); at != std::string::npos; at = valid.find('\0', at)) {
    valid.replace(at, 1, "\uFFFD");
  }
  return valid;
}

// `value` with every text in it, dictionary keys included, made valid (validText).
Value withValidText(Value value) {
  if (const std::string* string = value.asString()) return Value(validText(*string));
  if (const Array* array = value.asArray()) {
    Array elements;
    for (const Value& element : *array) elements.push_back(withValidText(element));
    return Value(std::move(elements));
  }
  if (const Dictionary* dictionary = value.asDictionary()) {
    Dictionary entries;
    for (const auto& [key, element] : *dictionary) {
      entries.insert_or_assign(validText(key), withValidText(element));
    }
    return Value(std::move(entries));
  }
  return value;
}

bool containsNull(const Value& value) {
  if (value.isNull()) return true;
  if (const Array* array = value.asArray()) {
    for (const Value& element : *array) {
      if (containsNull(element)) return true;
    }
  }
  if (const Dictionary* dictionary = value.asDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      if (containsNull(element)) return true;
    }
  }
  return false;
}

// One domain's values in this process, shared by every UserDefaults of the domain. The file is
// read on first use and again when synchronize() or a write finds that it changed on disk.
class DomainStore {
 public:
  explicit DomainStore(fs::path file) : file_(std::move(file)) {}

  // The domain's own value of `key`; nullopt when the domain does not have the key.
  std::optional<Value> persistentValue(std::string_view key) {
    os::MutexLock lock(mutex_);
    if (!loaded_) refreshLocked();
    if (auto change = unwritten_.find(key); change != unwritten_.end()) return change->second;
    if (auto entry = onDisk_.find(key); entry != onDisk_.end()) return entry->second;
    return std::nullopt;
  }

  std::optional<Value> registeredValue(std::string_view key) {
    os::MutexLock lock(mutex_);
    if (auto entry = registered_.find(key); entry != registered_.end()) return entry->second;
    return std::nullopt;
  }

  // Stores (or, with nullopt, removes) `key` and writes the file.
  void set(std::string_view key, std::optional<Value> value) {
    os::MutexLock lock(mutex_);
    unwritten_.insert_or_assign(std::string(key), std::move(value));
    writeLocked();
  }

  void registerDefaults(const Dictionary& defaults) {
    os::MutexLock lock(mutex_);
    for (const auto& [key, value] : defaults) registered_.insert_or_assign(key, value);
  }

  Dictionary persistentContents() {
    os::MutexLock lock(mutex_);
    if (!loaded_) refreshLocked();
    return mergedLocked();
  }

  Dictionary registeredContents() {
    os::MutexLock lock(mutex_);
    return registered_;
  }

  // Re-reads a file another process changed, then writes what could not be written yet.
  bool synchronize() {
    os::MutexLock lock(mutex_);
    refreshLocked();
    return unwritten_.empty() || writeLocked();
  }

 private:
  Dictionary mergedLocked() const OS_REQUIRES(mutex_) {
    Dictionary merged = onDisk_;
    for (const auto& [key, value] : unwritten_) {
      if (value) {
        merged.insert_or_assign(key, *value);
      } else {
        merged.erase(key);
      }
    }
    return merged;
  }

  void refreshLocked() OS_REQUIRES(mutex_) {
    FileSignature current = signatureOf(file_);
    if (loaded_ && current == signature_) return;
    loaded_ = true;
    signature_ = current;
    onDisk_.clear();
    if (!current.exists) return;
    Error error;
    std::optional<std::string> bytes = files::readFile(file_, &error);
    std::optional<Value> contents = bytes ? plist::parse(*bytes, &error) : std::nullopt;
    if (contents && contents->isDictionary()) {
      onDisk_ = std::move(*contents->asDictionary());
      return;
    }
    if (contents) error.description = "the property list is not a dictionary";
    // Left alone until the next change, which replaces it.
    log::write(log::Level::Error, "User defaults: treating " + file_.string() +
                                      " as empty: " + error.localizedDescription());
  }

  // Writes the domain's contents, with the unwritten changes applied on top of the file's
  // latest version (so that keys another process wrote meanwhile are kept).
  bool writeLocked() OS_REQUIRES(mutex_) {
    refreshLocked();
    Dictionary merged = mergedLocked();
    Error error;
    std::optional<std::string> bytes = plist::serialize(merged, plist::Format::Binary, &error);
    // An existing file implies its folder; only the first write may have to create it.
    if (bytes && (signature_.exists || files::createDirectory(file_.parent_path(), true, &error)) &&
        files::writeAtomically(file_, *bytes, &error)) {
      onDisk_ = std::move(merged);
      unwritten_.clear();
      signature_ = signatureOf(file_);
      return true;
    }
    log::write(log::Level::Error, "User defaults: cannot write " + file_.string() + ": " +
                                      error.localizedDescription());
    return false;
  }

  const fs::path file_;
  os::Mutex mutex_;
  bool loaded_ OS_GUARDED_BY(mutex_) = false;
  FileSignature signature_ OS_GUARDED_BY(mutex_);  // the version onDisk_ was read from
  Dictionary onDisk_ OS_GUARDED_BY(mutex_);        // the file's contents as last read or written
  // Changes not yet in the file (nullopt: removed); normally empty, as every change is
  // written at once, but kept when a write fails so that the next write carries them.
  std::map<std::string, std::optional<Value>, std::less<>> unwritten_ OS_GUARDED_BY(mutex_);
  Dictionary registered_ OS_GUARDED_BY(mutex_);
};

struct Registry {
  os::Mutex mutex;
  std::map<std::string, std::shared_ptr<DomainStore>, std::less<>> stores OS_GUARDED_BY(mutex);
  std::optional<std::string> applicationDomain OS_GUARDED_BY(mutex);
};

Registry& registry() {
  // Never destroyed: user defaults may be used from other threads while the process exits.
  static Registry& instance = *new Registry;
  return instance;
}

std::shared_ptr<DomainStore> storeFor(std::string_view domain) {
  Registry& shared = registry();
  os::MutexLock lock(shared.mutex);
  auto found = shared.stores.find(domain);
  if (found == shared.stores.end()) {
    fs::path file = paths::preferences() / (std::string(domain) + ".plist");
    found = shared.stores.emplace(domain, std::make_shared<DomainStore>(std::move(file))).first;
  }
  return found->second;
}

std::shared_ptr<DomainStore> globalStore() { return storeFor(UserDefaults::kGlobalDomainFileName); }

std::string applicationDomainName() {
  std::string identifier = Bundle::main().bundleIdentifier();
  if (!identifier.empty()) return identifier;
  std::error_code error;
  fs::path executable = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string(program_invocation_short_name) : executable.filename().string();
}

}  // namespace

UserDefaults UserDefaults::standard() {
  Registry& shared = registry();
  {
    os::MutexLock lock(shared.mutex);
    if (shared.applicationDomain) return UserDefaults(*shared.applicationDomain);
  }
  // Outside the lock: the main bundle is made on first use and may itself ask for defaults.
  std::string domain = applicationDomainName();
  os::MutexLock lock(shared.mutex);
  if (!shared.applicationDomain) shared.applicationDomain = std::move(domain);
  return UserDefaults(*shared.applicationDomain);
}

std::optional<UserDefaults> UserDefaults::suite(std::string_view suiteName) {
  UserDefaults application = standard();
  if (suiteName.empty()) return application;
  if (suiteName == application.domainName() || suiteName == kGlobalDomain ||
      suiteName == kGlobalDomainFileName) {
    return std::nullopt;
  }
  // The name becomes a file name in the preferences folder: a name that could point elsewhere
  // ("../x", "a/b", ".") is refused rather than written outside it.
  if (suiteName.find('/') != std::string_view::npos || suiteName == "." || suiteName == ".." ||
      suiteName.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  return UserDefaults(std::string(suiteName));
}

Value UserDefaults::objectForKey(std::string_view key) const {
  std::shared_ptr<DomainStore> store = storeFor(domain_);
  if (std::optional<Value> own = store->persistentValue(key)) return std::move(*own);
  if (std::optional<Value> global = globalStore()->persistentValue(key)) return std::move(*global);
  return store->registeredValue(key).value_or(Value());
}

void UserDefaults::setObject(std::string_view key, Value value) {
  if (value.isNull()) return removeObject(key);
  if (containsNull(value)) {
    throw Exception(kInvalidArgumentException, "Attempt to insert non-property list object " +
                                                   value.description() + " for key " +
                                                   std::string(key));
  }
  storeFor(domain_)->set(validText(key), withValidText(std::move(value)));
}

void UserDefaults::removeObject(std::string_view key) { storeFor(domain_)->set(key, std::nullopt); }

bool UserDefaults::boolForKey(std::string_view key) const { return objectForKey(key).boolValue(); }

int64_t UserDefaults::integerForKey(std::string_view key) const {
  return objectForKey(key).integerValue();
}

double UserDefaults::doubleForKey(std::string_view key) const {
  return objectForKey(key).doubleValue();
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  return objectForKey(key).stringValue();
}

std::optional<Array> UserDefaults::arrayForKey(std::string_view key) const {
  Value value = objectForKey(key);
  if (Array* array = value.asArray()) return std::move(*array);
  return std::nullopt;
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
  Value value = objectForKey(key);
  if (Dictionary* dictionary = value.asDictionary()) return std::move(*dictionary);
  return std::nullopt;
}

std::optional<Data> UserDefaults::dataForKey(std::string_view key) const {
  Value value = objectForKey(key);
  if (const Data* data = value.asData()) return *data;
  return std::nullopt;
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
  storeFor(domain_)->registerDefaults(defaults);
}

Dictionary UserDefaults::dictionaryRepresentation() const {
  std::shared_ptr<DomainStore> store = storeFor(domain_);
  Dictionary result = store->registeredContents();
  for (Dictionary layer : {globalStore()->persistentContents(), store->persistentContents()}) {
    for (auto& [key, value] : layer) result.insert_or_assign(key, std::move(value));
  }
  return result;
}

bool UserDefaults::synchronize() {
  globalStore()->synchronize();
  return storeFor(domain_)->synchronize();
}

void UserDefaults::resetForTesting() {
  Registry& shared = registry();
  os::MutexLock lock(shared.mutex);
  shared.stores.clear();
  shared.applicationDomain.reset();
}

}  // namespace os
