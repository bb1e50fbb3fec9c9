// For the tests of the database's event tables: an open database in a sandbox, engine settings
// a test chooses, and the events and bundles the engine would write.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "measurement/database/database.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/settings.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/wire/access.h"
#include "testsupport/sandbox.h"

namespace measurement::testing {

// Installs engine settings with `values` ("measurement.upload.max_queue_time" -> "...") for
// the life of the object.
class ScopedEngineSettings {
 public:
  explicit ScopedEngineSettings(std::initializer_list<std::pair<const char*, const char*>> values)
      : settings_(std::make_shared<Settings>()) {
    for (const auto& [key, value] : values) settings_->cacheValue(value, key);
    setEngineSettings(settings_);
  }
  ~ScopedEngineSettings() { setEngineSettings(nullptr); }

 private:
  std::shared_ptr<Settings> settings_;
};

class DatabaseEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_);
    os::Error error;
    database_ = Database::open(kMeasurementDatabaseName, config_.get(), &error);
    ASSERT_TRUE(database_) << error.description;
  }
  ~DatabaseEventsTest() override { monitor().drain(); }

  testsupport::Sandbox sandbox_;
  std::unique_ptr<PersistedConfig> config_ = PersistedConfig::create("com.example.database");
  std::unique_ptr<Database> database_;
  std::string path_ = measurementDataPath(kMeasurementDatabaseName);
};

inline Event appEvent(std::string_view name, double timestamp,
                      const os::Dictionary& parameters = {}) {
  return *Event::initWithOrigin("app", false, name, timestamp, 0, rawParameters(parameters));
}

// A bundle of about `padding` bytes, ending at `endMillis`.
inline APMPBMeasurementBundle uploadBundle(int64_t endMillis, size_t padding = 0) {
  APMPBMeasurementBundle bundle;
  APMPBSetString(bundle, kMeasurementBundle_app_id, "1:123:ios:abc");
  APMPBSetInt64(bundle, kMeasurementBundle_end_timestamp_millis, endMillis);
  if (padding > 0) APMPBSetString(bundle, kMeasurementBundle_gmp_app_id, std::string(padding, 'p'));
  return bundle;
}

}  // namespace measurement::testing
