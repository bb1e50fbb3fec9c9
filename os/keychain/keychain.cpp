#include "os/keychain/keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <functional>

#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/value/plist.h"

namespace os::keychain {
namespace {

constexpr const char* kService = "svce";
constexpr const char* kAccount = "acct";
constexpr const char* kAccessGroup = "agrp";
constexpr const char* kData = "v_Data";
constexpr const char* kAttributes = "attributes";

// Holds flock(2) on the lock file for its life; `ok()` false when the lock could not be had.
class FileLock {
 public:
  FileLock(const std::filesystem::path& path, int operation) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    while (::flock(fd_, operation) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

bool ensureFolder(const std::filesystem::path& folder) {
  if (files::isDirectory(folder)) return true;
  return files::createDirectory(folder, true, nullptr) &&
         files::setPermissions(folder, 0700, nullptr);
}

bool matches(const Value& item, const Query& query) {
  if (item[kService] != Value(query.service) || item[kAccount] != Value(query.account)) {
    return false;
  }
  return !query.accessGroup || item[kAccessGroup] == Value(*query.accessGroup);
}

// Reads the items into `*items`: an empty list when there is no file yet.
OSStatus readItems(Array* items) {
  std::filesystem::path path = storePath();
  if (!files::exists(path)) {
    items->clear();
    return kSecSuccess;
  }
  Error error;
  std::optional<std::string> bytes = files::readFile(path, &error);
  if (!bytes) return kSecIO;
  std::optional<Value> parsed = plist::parse(*bytes);
  if (!parsed || !parsed->isArray()) return kSecDecode;
  *items = *parsed->asArray();
  return kSecSuccess;
}

OSStatus writeItems(const Array& items) {
  std::optional<std::string> bytes = plist::serialize(Value(items), plist::Format::Binary);
  if (!bytes) return kSecParam;
  return files::writeAtomically(storePath(), *bytes, nullptr, 0600) ? kSecSuccess : kSecIO;
}

bool isValid(const Query& query) { return !query.service.empty() && !query.account.empty(); }

// Runs `body` over the items under the store's lock, shared to read and exclusive to change;
// with `write`, the items are written back when `body` succeeds.
OSStatus withStore(const Query& query, bool write, const std::function<OSStatus(Array&)>& body) {
  if (!isValid(query)) return kSecParam;
  std::filesystem::path path = storePath();
  if (!ensureFolder(path.parent_path())) return kSecIO;
  FileLock lock(path.string() + ".lock", write ? LOCK_EX : LOCK_SH);
  if (!lock.ok()) return kSecIO;
  Array items;
  OSStatus status = readItems(&items);
  if (status == kSecSuccess) status = body(items);
  return status == kSecSuccess && write ? writeItems(items) : status;
}

// The first item that matches, through `found`.
OSStatus findFirst(const Query& query, const std::function<void(const Value&)>& found) {
  return withStore(query, false, [&](Array& items) {
    for (const Value& item : items) {
      if (matches(item, query)) {
        found(item);
        return kSecSuccess;
      }
    }
    return kSecItemNotFound;
  });
}

}  // namespace

std::filesystem::path storePath() {
  return paths::applicationSupport() / "Tessaro" / "Keychains" / "keychain.plist";
}

OSStatus copyMatching(const Query& query, Data* data) {
  return findFirst(query, [&](const Value& item) {
    if (data != nullptr && item[kData].asData() != nullptr) *data = *item[kData].asData();
  });
}

OSStatus copyAttributes(const Query& query, Dictionary* attributes) {
  return findFirst(query, [&](const Value& item) {
    if (attributes != nullptr && item[kAttributes].isDictionary()) {
      *attributes = *item[kAttributes].asDictionary();
    }
  });
}

OSStatus add(const Query& query, const Data& data, const Dictionary& attributes) {
  Query exact = query;
  exact.accessGroup = query.accessGroup.value_or("");
  return withStore(query, true, [&](Array& items) {
    for (const Value& item : items) {
      if (matches(item, exact)) return kSecDuplicateItem;
    }
    items.push_back(Dictionary{{kService, query.service},
                               {kAccount, query.account},
                               {kAccessGroup, *exact.accessGroup},
                               {kData, data},
                               {kAttributes, attributes}});
    return kSecSuccess;
  });
}

OSStatus update(const Query& query, const Data& data) {
  return withStore(query, true, [&](Array& items) {
    OSStatus status = kSecItemNotFound;
    for (Value& item : items) {
      if (matches(item, query)) {
        (*item.asDictionary())[kData] = data;
        status = kSecSuccess;
      }
    }
    return status;
  });
}

OSStatus remove(const Query& query) {
  return withStore(query, true, [&](Array& items) {
    size_t before = items.size();
    std::erase_if(items, [&](const Value& item) { return matches(item, query); });
    return items.size() < before ? kSecSuccess : kSecItemNotFound;
  });
}

}  // namespace os::keychain
