#include "core/heartbeats/storage.h"

#include "os/files/files.h"
#include "os/files/paths.h"

namespace heartbeats {

namespace {

bool isSafeInFileName(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

template <typename Result>
Result failed(StorageError* error, StorageError value, Result result) {
  if (error) *error = value;
  return result;
}

}  // namespace

std::string FileStorage::fileName(std::string_view identifier) {
  std::string name = "heartbeats-";
  for (char c : identifier) name += isSafeInFileName(c) ? c : '_';
  return name;
}

std::unique_ptr<Storage> FileStorage::makeStorage(std::string_view identifier) {
  return std::make_unique<FileStorage>(os::paths::applicationSupport() / kDirectoryName /
                                       fileName(identifier));
}

std::optional<std::string> FileStorage::read(StorageError* error) {
  std::optional<std::string> bytes = os::files::readFile(url_, nullptr);
  if (!bytes) return failed(error, StorageError::readError, std::optional<std::string>());
  return bytes;
}

bool FileStorage::write(const std::optional<std::string>& bytes, StorageError* error) {
  if (!os::files::createDirectory(url_.parent_path(), /*withIntermediates=*/true, nullptr) ||
      !os::files::writeAtomically(url_, bytes.value_or(std::string()), nullptr)) {
    return failed(error, StorageError::writeError, false);
  }
  return true;
}

std::unique_ptr<Storage> UserDefaultsStorage::makeStorage(std::string_view identifier) {
  // The suite name is a plain file name, so the platform never refuses it.
  return std::make_unique<UserDefaultsStorage>(*os::UserDefaults::suite(kSuiteName),
                                               "heartbeats-" + std::string(identifier));
}

std::optional<std::string> UserDefaultsStorage::read(StorageError* error) {
  std::optional<os::Data> data = defaults_.dataForKey(key_);
  if (!data) return failed(error, StorageError::readError, std::optional<std::string>());
  return std::string(data->begin(), data->end());
}

bool UserDefaultsStorage::write(const std::optional<std::string>& bytes, StorageError*) {
  if (!bytes) {
    defaults_.removeObject(key_);
  } else {
    defaults_.setObject(key_, os::Data(bytes->begin(), bytes->end()));
  }
  return true;
}

}  // namespace heartbeats
