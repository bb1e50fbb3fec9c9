// FileHandle::transferTo against cp(1) copying the same large file in a temporary folder. Both
// copy from a source that is already in the page cache into a truncated destination without
// forcing it to disk, so the ratio compares the copy loops themselves. cp runs as a child process
// inside its benchmark (spawning and waiting for it are part of its time, as they are of any cp).
//
//   transfer_bench                          # a 1 GiB file
//   transfer_bench --size_mib=256           # a smaller one, when disk or time is short
//
// After the benchmarks it prints the ratio of the mean times, transferTo / cp.
#include <benchmark/benchmark.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/child_process.h"
#include "bench/flags.h"
#include "support/file_handle_extensions.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

struct Setup {
  uint64_t sizeBytes = uint64_t{1024} << 20;
  fs::path source;
  fs::path folder;
};
Setup setup;

// Mean seconds per copy of each side, filled in by the benchmarks.
double transferSeconds = 0;
double cpSeconds = 0;

// Writes the source file: pseudo-random bytes, so that nothing can shortcut a run of zeros.
bool writeSource() {
  os::Error error;
  auto file = FileHandle::openPath(setup.source, O_WRONLY | O_CREAT | O_TRUNC, &error);
  if (!file) {
    std::fprintf(stderr, "cannot create %s: %s\n", setup.source.c_str(),
                 error.localizedDescription().c_str());
    return false;
  }
  ByteBuffer chunk(1 << 20);
  uint32_t state = 0x9E3779B9;
  for (uint64_t written = 0; written < setup.sizeBytes; written += chunk.data().size()) {
    for (uint8_t& byte : chunk.data()) {
      state = state * 1664525 + 1013904223;
      byte = static_cast<uint8_t>(state >> 24);
    }
    const auto count =
        static_cast<int32_t>(std::min<uint64_t>(chunk.data().size(), setup.sizeBytes - written));
    if (!file->write(&chunk, 0, count, &error)) {
      std::fprintf(stderr, "cannot write %s: %s\n", setup.source.c_str(),
                   error.localizedDescription().c_str());
      return false;
    }
  }
  return true;
}

// Runs the timed loop of `copy` and records the mean seconds per copy in `mean`.
template <typename Copy>
void timeCopies(benchmark::State& state, double& mean, Copy copy) {
  double total = 0;
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    if (!copy()) {
      state.SkipWithError("copy failed");
      return;
    }
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  mean = total / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * setup.sizeBytes));
}

void BM_TransferTo(benchmark::State& state) {
  const fs::path destination = setup.folder / "copy-transfer";
  timeCopies(state, transferSeconds, [&] {
    os::Error error;
    auto from = FileHandle::openPath(setup.source, O_RDONLY, &error);
    auto to = FileHandle::openPath(destination, O_WRONLY | O_CREAT | O_TRUNC, &error);
    return from && to && static_cast<uint64_t>(from->transferTo(*to, &error)) == setup.sizeBytes;
  });
}

void BM_Cp(benchmark::State& state) {
  const std::string source = setup.source.string();
  const std::string destination = (setup.folder / "copy-cp").string();
  timeCopies(state, cpSeconds, [&] {
    std::optional<bench::ChildRun> run = bench::runChild({"cp", source, destination});
    return run && run->succeeded;
  });
}

BENCHMARK(BM_Cp)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransferTo)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (!bench::initialize(argc, argv, {{"--size_mib=", &setup.sizeBytes, 1 << 20}})) return 1;

  testsupport::Sandbox sandbox;
  setup.folder = sandbox.root();
  setup.source = sandbox.root() / "source.bin";
  if (!writeSource()) return 1;
  std::printf("file: %llu MiB in %s\n", static_cast<unsigned long long>(setup.sizeBytes >> 20),
              setup.folder.c_str());

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (transferSeconds > 0 && cpSeconds > 0) {
    std::printf("transferTo / cp time ratio: %.2f (transferTo %.0f ms, cp %.0f ms)\n",
                transferSeconds / cpSeconds, transferSeconds * 1000, cpSeconds * 1000);
  }
  return 0;
}
