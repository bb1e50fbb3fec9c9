// The measurement data model's hot paths beside plain references, in this process:
//  - the parameter sanitiser on a purchase event of 25 parameters, one of them 10 items of 6
//    parameters each, against a plain copy of the same map;
//  - a settings read whose value is already cached (through remoteSettings() and the guarded
//    dictionary), against a std::unordered_map lookup of the same key.
//
//   values_bench [--runs=N] [--filter=TEXT]
#include <string>
#include <unordered_map>

#include "bench/harness.h"
#include "measurement/foundation/settings.h"
#include "measurement/model/parameter_sanitizer.h"
#include "testsupport/sandbox.h"

namespace {

os::Dictionary purchaseParameters() {
  os::Dictionary parameters{{"currency", "EUR"}, {"value", 129.5}, {"transaction_id", "T-1001"}};
  for (int i = 0; parameters.size() < 24; ++i) {
    parameters.emplace("custom_parameter_" + std::to_string(i),
                       i % 2 ? os::Value(i) : os::Value("text value " + std::to_string(i)));
  }
  os::Array items;
  for (int i = 0; i < 10; ++i) {
    items.emplace_back(os::Dictionary{{"item_id", "SKU-" + std::to_string(i)},
                                      {"item_name", "Product " + std::to_string(i)},
                                      {"price", 12.95},
                                      {"quantity", 1},
                                      {"item_category", "Software"},
                                      {"colour", "blue"}});
  }
  parameters.emplace("items", std::move(items));
  return parameters;
}

// Keeps the optimiser from dropping a result.
template <typename T>
void keep(const T& value) {
  asm volatile("" : : "r"(&value) : "memory");
}

}  // namespace

int main(int argc, char** argv) {
  auto harness = bench::Harness::fromArguments(argc, argv, {});
  if (!harness) return 1;
  testsupport::Sandbox sandbox;  // whatever the monitor writes stays in here

  const os::Dictionary parameters = purchaseParameters();
  const measurement::RawParameters raw = measurement::rawParameters(parameters);
  constexpr int kEvents = 2000;
  harness->compare({
      .path = "sanitise 25 parameters with 10 items x " + std::to_string(kEvents),
      .ours = {.name = "sanitizedEventParameters",
               .work =
                   [&] {
                     for (int i = 0; i < kEvents; ++i) {
                       auto sanitized =
                           measurement::sanitizedEventParameters(raw, "purchase", true, false);
                       if (!sanitized || sanitized->size() != 25) return false;
                       keep(sanitized);
                     }
                     return true;
                   }},
      .reference = {.name = "copy of the map",
                    .work =
                        [&] {
                          for (int i = 0; i < kEvents; ++i) {
                            os::Dictionary copy = parameters;
                            keep(copy);
                          }
                          return true;
                        }},
  });

  const std::string key = "measurement.upload.interval";
  auto settings = std::make_shared<measurement::Settings>();
  settings->cacheValue("7200000", key);
  measurement::setEngineSettings(settings);
  std::unordered_map<std::string, double> plain{{key, 7200}};
  constexpr int kReads = 200000;
  harness->compare({
      .path = "cached settings read x " + std::to_string(kReads),
      .ours = {.name = "remoteSettings()->uploadingInterval()",
               .work =
                   [&] {
                     double sum = 0;
                     for (int i = 0; i < kReads; ++i) {
                       sum += measurement::remoteSettings()->uploadingInterval();
                     }
                     keep(sum);
                     return sum == 7200.0 * kReads;
                   }},
      .reference = {.name = "unordered_map find",
                    .work =
                        [&] {
                          double sum = 0;
                          for (int i = 0; i < kReads; ++i) sum += plain.find(key)->second;
                          keep(sum);
                          return sum == 7200.0 * kReads;
                        }},
  });
  measurement::setEngineSettings(nullptr);
  harness->printTable();
  return 0;
}
