// A program the remote configuration's tests start: a new process that opens the measurement
// database of the environment's sandbox, makes the remote configuration of the application
// named by its argument (which parses the stored configuration) and prints what it answers,
// one "name=value" line each.
#include <iostream>
#include <string>

#include "measurement/config/remote_config.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/persisted_config.h"

namespace {

std::string joined(const auto& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: measurement_config_child <app id>\n";
    return 2;
  }
  using namespace measurement;
  std::unique_ptr<PersistedConfig> persisted = PersistedConfig::create("com.example.config");
  os::Error error;
  std::unique_ptr<Database> database =
      Database::open(kMeasurementDatabaseName, persisted.get(), &error);
  if (!database) {
    std::cerr << "cannot open the database: " << error.description << "\n";
    return 1;
  }
  std::shared_ptr<RemoteConfig> config =
      RemoteConfig::create(argv[1], database.get(), std::nullopt, {});
  if (!config) return 1;
  std::shared_ptr<Settings> settings = config->settings();
  std::cout << "version=" << config->version() << "\n"
            << "uploadingInterval=" << settings->uploadingInterval() << "\n"
            << "maxEventsPerDay=" << settings->maxEventsPerDay() << "\n"
            << "hashPrefixBitLengthEmail=" << settings->hashPrefixBitLengthEmail() << "\n"
            << "samplingRate(_vs)=" << config->samplingRateForEvent("_vs") << "\n"
            << "dataControls=" << joined(config->dataControls()) << "\n"
            << "consentDefaults=" << os::Value(config->consentDefaults()).description() << "\n"
            << "isDMARegion=" << config->isDMARegion() << "\n"
            << "uploadURL=" << config->uploadURL().absoluteString() << "\n";
  config.reset();
  database.reset();
  monitor().drain();
  return 0;
}
