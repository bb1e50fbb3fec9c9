// The measurement foundation's hot paths beside their references, through the comparison
// harness:
//  - ten million monitor calls of a debug line outside debug mode (filtered out before any
//    context is built), against as many calls of an empty function.
//
//   measurement_foundation_bench [--runs=N] [--filter=TEXT]
#include <string>

#include "bench/harness.h"
#include "measurement/foundation/monitor.h"
#include "testsupport/sandbox.h"

using measurement::MonitorLevel;

namespace {

[[gnu::noinline]] void emptyFunction(int value) { asm volatile("" : : "r"(value) : "memory"); }

}  // namespace

int main(int argc, char** argv) {
  auto harness = bench::Harness::fromArguments(argc, argv, {});
  if (!harness) return 1;
  testsupport::Sandbox sandbox;

  constexpr int kCalls = 10'000'000;
  std::shared_ptr<measurement::Monitor> monitor =
      measurement::Monitor::create(measurement::kMeasurementLibraryVersion);
  const std::string eventName = "screen_view";
  harness->compare({
      .path = "10M monitor debug lines filtered out",
      .ours = {.name = "Monitor::log level 7",
               .work =
                   [&] {
                     for (int i = 0; i < kCalls; ++i) {
                       monitor->log(MonitorLevel::kDebug, 23051, "Logging event", eventName,
                                    int64_t{i});
                     }
                     return !monitor->isDebugModeEnabled();
                   }},
      .reference = {.name = "empty call",
                    .work =
                        [] {
                          for (int i = 0; i < kCalls; ++i) emptyFunction(i);
                          return true;
                        }},
  });
  monitor->drain();
  harness->printTable();
  return 0;
}
