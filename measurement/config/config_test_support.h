// For the remote configuration's tests: the encoded configuration fixtures, a sandbox with an
// open measurement database, and fakes of the event-editing runtime and the experiment service
// that record what the remote configuration asks of them.
//
//   APMPBMeasurementConfig full = fixture("full");    // testdata/full.txtpb, encoded by protoc
//   FakeEditingFactory editing;
//   editing.failFirstProgram = true;
//   auto config = RemoteConfig::create(kAppID, database_.get(), std::nullopt,
//                                      {.eventEditingFactory = editing.factory()});
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "measurement/config/remote_config.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/privacy/test_support.h"
#include "os/files/files.h"
#include "os/sync/mutex.h"

namespace measurement::testing {

inline constexpr const char* kAppID = "1:123:ios:abc";

// The fixture testdata/<name>.txtpb as protoc encoded it.
inline APMPBMeasurementConfig fixture(const std::string& name) {
  std::optional<std::string> bytes =
      os::files::readFile(std::string(CONFIG_FIXTURES) + "/" + name + ".pb", nullptr);
  EXPECT_TRUE(bytes) << name;
  std::string encoded = bytes.value_or("");
  std::optional<APMPBMeasurementConfig> config = APMPBMeasurementConfig::initWithBuffer(
      std::span(reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size()));
  EXPECT_TRUE(config) << name;
  return config.value_or(APMPBMeasurementConfig());
}

// A configuration of kAppID with `version` and these settings (name, text).
inline APMPBMeasurementConfig configWithSettings(
    int64_t version, const std::vector<std::pair<std::string, std::string>>& settings) {
  APMPBMeasurementConfig config;
  APMPBSetInt64(config, kMeasurementConfig_version, version);
  APMPBSetString(config, kMeasurementConfig_app_id, kAppID);
  std::vector<APMPBSetting> entries;
  for (const auto& [name, value] : settings) {
    APMPBSetting& entry = entries.emplace_back();
    APMPBSetString(entry, kSetting_name, name);
    APMPBSetString(entry, kSetting_value, value);
  }
  APMPBSetArray(config, kMeasurementConfig_settings, entries);
  return config;
}

// An editing instance that records its modules and loads; it fails its load when told to.
class FakeEventEditing : public EventEditing {
 public:
  explicit FakeEventEditing(bool fail) : fail_(fail) {}
  void setModuleCreator(std::string name, EditingModuleCreator creator) override {
    moduleNames.push_back(name);
    modules[name] = std::move(creator);
  }
  void loadProgram(const APMPBProgram& program, os::Error* error) override {
    loaded.push_back(program);
    if (fail_) {
      *error = os::Error("com.vedodo.gmp.measurement.pixie.ErrorDomain", 12, "Unknown entity");
    }
  }
  std::optional<EditOutcome> handleEvent(const EditEvent&, os::Error*) override {
    return EditOutcome{};
  }

  std::vector<std::string> moduleNames;
  std::map<std::string, EditingModuleCreator> modules;
  std::vector<APMPBProgram> loaded;

 private:
  bool fail_;
};

struct FakeEditingFactory {
  bool failFirstProgram = false;
  std::vector<std::shared_ptr<FakeEventEditing>> made;

  EventEditingFactory factory() {
    return [this] {
      auto editing = std::make_shared<FakeEventEditing>(failFirstProgram);
      made.push_back(editing);
      return editing;
    };
  }
};

// A sandbox with its own main bundle and an open database in it; the monitor finishes its
// work before the sandbox goes.
class RemoteConfigTestBase : public ::testing::Test {
 protected:
  void SetUp() override {
    os::Error error;
    database_ = Database::open(kMeasurementDatabaseName, persisted_.get(), &error);
    ASSERT_TRUE(database_) << error.description;
  }

  std::shared_ptr<RemoteConfig> make(RemoteConfigServices services = {}) {
    return RemoteConfig::create(kAppID, database_.get(), std::nullopt, std::move(services));
  }

  PrivacySandbox sandbox_;
  std::unique_ptr<PersistedConfig> persisted_ = PersistedConfig::create("com.example.config");
  std::unique_ptr<Database> database_;
  std::string path_ = measurementDataPath(kMeasurementDatabaseName);
};

}  // namespace measurement::testing
