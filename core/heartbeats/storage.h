// Where a heartbeats bundle's bytes live. The store this system uses is one file per application
// identifier in the user's Application Support folder,
//
//   <Application Support>/vedodo-heartbeat-storage/heartbeats-<identifier>
//
// with every character of the identifier outside A-Z a-z 0-9 . _ - written as "_" (so
// "1:123:ios:ab" gives "heartbeats-1_123_ios_ab", and an identifier holding "/" or ".." still
// names a file inside that folder).
//
//   std::unique_ptr<heartbeats::Storage> storage = heartbeats::FileStorage::makeStorage(appID);
//   storage->write(bytes);
//   std::optional<std::string> read = storage->read();
//
// The other back end, UserDefaultsStorage, keeps the bytes as data under one key of a user-defaults
// store instead.
//
// A storage has no lock: its one user (HeartbeatStorage) calls it from its own serial queue.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/bundle/defaults.h"

namespace heartbeats {

enum class StorageError { readError, writeError };

class Storage {
 public:
  virtual ~Storage() = default;
  // The stored bytes (empty when nothing is stored); nullopt with readError when they cannot be
  // read.
  virtual std::optional<std::string> read(StorageError* error = nullptr) = 0;
  // Replaces the stored bytes; nothing stores zero bytes. False with writeError on failure.
  virtual bool write(const std::optional<std::string>& bytes, StorageError* error = nullptr) = 0;
};

// Makes the storage of an application identifier; each back end has one (makeStorage).
using StorageFactory = std::unique_ptr<Storage> (*)(std::string_view identifier);

class FileStorage : public Storage {
 public:
  // The folder below Application Support that holds the files.
  static constexpr const char* kDirectoryName = "vedodo-heartbeat-storage";

  // The storage of `identifier`, at the location above as the environment names it now. Nothing
  // is created on disk until the first write.
  static std::unique_ptr<Storage> makeStorage(std::string_view identifier);
  // "heartbeats-" and `identifier` made safe as a file name.
  static std::string fileName(std::string_view identifier);

  explicit FileStorage(std::filesystem::path url) : url_(std::move(url)) {}

  // A missing or unreadable file is a readError; an empty file gives zero bytes.
  std::optional<std::string> read(StorageError* error = nullptr) override;
  // Creates the folder when needed, then replaces the file atomically.
  bool write(const std::optional<std::string>& bytes, StorageError* error = nullptr) override;

  const std::filesystem::path& url() const { return url_; }

 private:
  const std::filesystem::path url_;
};

class UserDefaultsStorage : public Storage {
 public:
  // The suite that makeStorage keeps its keys in.
  static constexpr const char* kSuiteName = "vedodo-heartbeat-storage";

  // The storage of `identifier`: the key "heartbeats-<identifier>" of the suite above.
  static std::unique_ptr<Storage> makeStorage(std::string_view identifier);

  UserDefaultsStorage(os::UserDefaults defaults, std::string key)
      : defaults_(std::move(defaults)), key_(std::move(key)) {}

  // The data under the key; readError when the key holds none (absent, or not data).
  std::optional<std::string> read(StorageError* error = nullptr) override;
  // Stores the bytes under the key, or removes the key for nothing. Never fails.
  bool write(const std::optional<std::string>& bytes, StorageError* error = nullptr) override;

 private:
  os::UserDefaults defaults_;
  const std::string key_;
};

}  // namespace heartbeats
