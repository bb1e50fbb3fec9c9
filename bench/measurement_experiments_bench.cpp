// The experiment service's flag lookup beside its reference, through the comparison harness:
//  - 8 threads reading flags through an experiment client (the manager's serial queue resolves
//    activated, launched and default values), against the same reads from an unordered_map
//    guarded by one mutex.
//
//   measurement_experiments_bench [--runs=N] [--filter=TEXT]
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench/harness.h"
#include "measurement/experiments/manager.h"
#include "measurement/foundation/measurement_user_defaults.h"
#include "measurement/wire/access.h"
#include "measurement/wire/flag_conversion.h"
#include "testsupport/sandbox.h"

namespace {

constexpr int kThreads = 8;
constexpr int kLookupsPerThread = 50'000;
constexpr int kFlags = 16;

// Runs `lookup` kLookupsPerThread times on each of kThreads threads; false when any read
// found nothing.
template <typename Lookup>
bool onThreads(const Lookup& lookup) {
  std::vector<std::thread> threads;
  std::atomic<bool> allFound{true};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLookupsPerThread; ++i) {
        if (!lookup((t + i) % kFlags)) allFound = false;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return allFound;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace measurement;
  auto harness = bench::Harness::fromArguments(argc, argv, {});
  if (!harness) return 1;
  testsupport::Sandbox sandbox;

  std::vector<std::string> names;
  os::Dictionary defaults;
  for (int i = 0; i < kFlags; ++i) {
    names.push_back("flag_" + std::to_string(i));
    defaults.emplace(names.back(), i);
  }
  auto queue = os::DispatchQueue::serial("APMExperimentWorkerQueue");
  auto taskManager = APMETaskManager::create({
      .queue = queue,
      .alarm = std::make_shared<Alarm>(queue, "APMExperimentAlarm"),
      .network = nullptr,
      .persistedStorage = std::make_shared<MeasurementUserDefaults>(kExperimentSuiteName),
      .databasePath = (sandbox.root() / "experiments.sql").string(),
      .initTimestamp = 0,
      .requestBuilder = std::make_shared<APMEExperimentRequestBuilder>([] { return "ab12c"; }),
      .fetchURL = *os::URL::parse("https://127.0.0.1/sdk-exp"),
  });
  auto manager = ExperimentManager::initWithTaskManager(taskManager);
  std::shared_ptr<APMEClient> client = manager->registerSDKProperty({.name = "sdk"}, defaults);
  // A third of the flags activated, a third launched, the rest defaults.
  std::optional<APMESnapshot> snapshot = APMESnapshot::initWithSDKName("sdk", {});
  for (int i = 0; i < kFlags; ++i) {
    if (i % 3 == 2) continue;
    snapshot->addFlag(*flagProtoWithNameAndValue(names[i], i * 10), i % 3 == 0 ? 7 : 0);
  }
  manager->taskManagerDidFinishFetching(*taskManager, {*snapshot}, {});
  os::Error error;
  if (!client->activateLatestSnapshot(&error)) return 1;

  std::mutex mutex;
  std::unordered_map<std::string, os::Value> reference;
  for (int i = 0; i < kFlags; ++i) {
    reference.emplace(names[i], *client->objectForKeyedSubscript(names[i]));
  }
  harness->compare({
      .path = "400k flag reads from 8 threads",
      .ours = {.name = "APMEClient",
               .work =
                   [&] {
                     return onThreads([&](int i) {
                       return client->objectForKeyedSubscript(names[i]).has_value();
                     });
                   }},
      .reference = {.name = "mutex + unordered_map",
                    .work =
                        [&] {
                          return onThreads([&](int i) {
                            std::lock_guard lock(mutex);
                            auto found = reference.find(names[i]);
                            return found != reference.end() && !found->second.isNull();
                          });
                        }},
  });
  harness->printTable();
  return 0;
}
