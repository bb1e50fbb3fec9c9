// The main() of a Google Benchmark program whose cases share one fixture (a sandboxed database,
// say). The fixture is made in main() and published through `global` while the cases run, so
// that it goes before the process's statics do.
#pragma once

#include <benchmark/benchmark.h>

#include <memory>

namespace bench {

template <typename Fixture>
int runBenchmarksWithFixture(int argc, char** argv, std::unique_ptr<Fixture> (*make)(),
                             Fixture*& global) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::unique_ptr<Fixture> shared = make();
  if (!shared) return 1;
  global = shared.get();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  global = nullptr;
  return 0;
}

}  // namespace bench
