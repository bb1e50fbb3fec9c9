// For the event road's tests: the sandbox's measurement database read with SQLite, its messages
// decoded with libprotobuf and its fingerprints recomputed with OpenSSL, independently of the
// engine's own code.
//
//   testsupport::StoredDatabase database;
//   for (const auto& event : database.events("level_up")) parametersOf(event.message);
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "measurement/database/database.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/wire/schema/cpp/upload.pb.h"

namespace testsupport {

namespace pb = tessaro::measurement;

struct StoredEvent {
  std::string name;
  int64_t fingerprint = 0;
  pb::Event message;
};

// The measurement database of the sandbox, opened read-only for one check.
class StoredDatabase {
 public:
  StoredDatabase() {
    std::string path = measurement::measurementDataPath(measurement::kMeasurementDatabaseName);
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK)
        << path;
  }
  ~StoredDatabase() { sqlite3_close(db_); }

  // Each row's columns as text (blobs as their bytes).
  std::vector<std::vector<std::string>> rows(const std::string& sql) {
    std::vector<std::vector<std::string>> result;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db_);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string>& row = result.emplace_back();
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        const void* bytes = sqlite3_column_blob(statement, i);
        row.emplace_back(static_cast<const char*>(bytes), sqlite3_column_bytes(statement, i));
      }
    }
    sqlite3_finalize(statement);
    return result;
  }
  int64_t number(const std::string& sql) {
    auto found = rows(sql);
    return found.empty() ? -1 : std::stoll(found[0][0]);
  }

  std::vector<StoredEvent> events(const std::string& name) {
    std::vector<StoredEvent> found;
    for (auto& row : rows("SELECT name, metadata_fingerprint, data FROM raw_events WHERE name = '" +
                          name + "' ORDER BY rowid")) {
      StoredEvent& event = found.emplace_back();
      event.name = row[0];
      event.fingerprint = std::stoll(row[1]);
      EXPECT_TRUE(event.message.ParseFromString(row[2]));
    }
    return found;
  }
  std::optional<std::string> metadata(int64_t fingerprint) {
    auto found = rows("SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = " +
                      std::to_string(fingerprint));
    if (found.empty()) return std::nullopt;
    return found[0][0];
  }

 private:
  sqlite3* db_ = nullptr;
};

// Bytes 8 to 15 of the MD5 digest, big-endian, as the stored fingerprint.
inline int64_t fingerprintOf(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr), 1);
  EXPECT_EQ(length, 16u);
  uint64_t value = 0;
  for (int i = 8; i < 16; ++i) value = value << 8 | digest[i];
  return static_cast<int64_t>(value);
}

inline std::map<std::string, std::string> parametersOf(const pb::Event& event) {
  std::map<std::string, std::string> values;
  for (const pb::EventParam& param : event.params()) {
    if (param.has_string_value()) {
      values[param.name()] = "s:" + param.string_value();
    } else if (param.has_int_value()) {
      values[param.name()] = "i:" + std::to_string(param.int_value());
    } else if (param.has_double_value()) {
      values[param.name()] = "d:" + std::to_string(param.double_value());
    }
  }
  return values;
}

inline std::map<std::string, std::string> userAttributesOf(const pb::MeasurementBundle& bundle) {
  std::map<std::string, std::string> values;
  for (const pb::UserAttribute& attribute : bundle.user_attributes()) {
    values[attribute.name()] = attribute.has_string_value() ? attribute.string_value()
                                                            : std::to_string(attribute.int_value());
  }
  return values;
}

}  // namespace testsupport
