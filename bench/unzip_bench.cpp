// SSZipArchive::unzipFileAtPath against `unzip -q -o` unpacking the same archive of mixed files
// (many small compressible ones, a few large incompressible ones, one large compressible one)
// into an empty folder. The archive is in the page cache and nothing is forced to disk, so the
// ratio compares the unpacking itself. unzip runs as a child process inside its benchmark.
//
//   unzip_bench                    # about 200 MiB of files
//   unzip_bench --size_mib=50      # a smaller archive, when disk or time is short
//
// After the benchmarks it prints the ratio of the mean times, SSZipArchive / unzip.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/child_process.h"
#include "bench/flags.h"
#include "os/zip.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

struct Setup {
  uint64_t sizeBytes = uint64_t{200} << 20;
  uint64_t entries = 0;
  fs::path archive;
  fs::path folder;
};
Setup setup;

double zipArchiveSeconds = 0;
double unzipSeconds = 0;

uint32_t randomState = 0x9E3779B9;
uint8_t nextRandomByte() {
  randomState = randomState * 1664525 + 1013904223;
  return static_cast<uint8_t>(randomState >> 24);
}

void writeFile(const fs::path& path, uint64_t size, bool compressible) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  static const std::string text =
      "The quick brown fox jumps over the lazy dog; installers unpack bundles all day long.\n";
  std::string chunk(1 << 16, '\0');
  for (uint64_t written = 0; written < size; written += chunk.size()) {
    for (size_t i = 0; i < chunk.size(); ++i) {
      chunk[i] = compressible ? text[(written + i) % text.size()] ^ (nextRandomByte() < 8)
                              : static_cast<char>(nextRandomByte());
    }
    out.write(chunk.data(),
              static_cast<std::streamsize>(std::min<uint64_t>(chunk.size(), size - written)));
  }
}

// A quarter of the size in small files of 4 to 64 KiB, half in incompressible files of 8 MiB,
// the rest in one compressible file.
bool writeArchive() {
  fs::path source = setup.folder / "source" / "Product.app";
  uint64_t small = setup.sizeBytes / 4;
  for (uint64_t written = 0, index = 0; written < small; ++index) {
    uint64_t size = 4096 + (index * 7919) % (60 * 1024);
    writeFile(source / "Contents/Resources" / std::to_string(index % 40) /
                  ("file" + std::to_string(index) + ".txt"),
              size, true);
    written += size;
    ++setup.entries;
  }
  for (uint64_t written = 0, index = 0; written < setup.sizeBytes / 2; ++index) {
    uint64_t size = std::min<uint64_t>(8 << 20, setup.sizeBytes / 2 - written);
    writeFile(source / "Contents/Frameworks" / ("binary" + std::to_string(index)), size, false);
    written += size;
    ++setup.entries;
  }
  writeFile(source / "Contents/MacOS/Product", setup.sizeBytes / 4, true);
  ++setup.entries;
  os::Error error;
  if (!os::SSZipArchive::createZipFileAtPath(setup.archive.string(), source.string(), true,
                                             &error)) {
    std::fprintf(stderr, "cannot write the archive: %s\n", error.description.c_str());
    return false;
  }
  fs::remove_all(setup.folder / "source");
  return true;
}

// Runs the timed loop of `unpack` into a fresh folder each time; records the mean seconds.
template <typename Unpack>
void timeUnpacking(benchmark::State& state, double& mean, Unpack unpack) {
  const fs::path destination = setup.folder / "unpacked";
  double total = 0;
  for (auto _ : state) {
    fs::remove_all(destination);
    const auto started = std::chrono::steady_clock::now();
    if (!unpack(destination.string())) {
      state.SkipWithError("unpacking failed");
      return;
    }
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  mean = total / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * setup.sizeBytes));
}

void BM_SSZipArchive(benchmark::State& state) {
  timeUnpacking(state, zipArchiveSeconds, [](const std::string& destination) {
    return os::SSZipArchive::unzipFileAtPath(setup.archive.string(), destination, true, "",
                                             nullptr);
  });
}

void BM_Unzip(benchmark::State& state) {
  const std::string archive = setup.archive.string();
  timeUnpacking(state, unzipSeconds, [&](const std::string& destination) {
    std::optional<bench::ChildRun> run =
        bench::runChild({"unzip", "-q", "-o", archive, "-d", destination});
    return run && run->succeeded;
  });
}

BENCHMARK(BM_Unzip)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SSZipArchive)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (!bench::initialize(argc, argv, {{"--size_mib=", &setup.sizeBytes, 1 << 20}})) return 1;

  testsupport::Sandbox sandbox;
  setup.folder = sandbox.root();
  setup.archive = sandbox.root() / "product.zip";
  if (!writeArchive()) return 1;
  std::printf("archive: %llu MiB of files in %llu entries, %llu MiB zipped, in %s\n",
              static_cast<unsigned long long>(setup.sizeBytes >> 20),
              static_cast<unsigned long long>(setup.entries),
              static_cast<unsigned long long>(fs::file_size(setup.archive) >> 20),
              setup.folder.c_str());

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (zipArchiveSeconds > 0 && unzipSeconds > 0) {
    std::printf("SSZipArchive / unzip time ratio: %.2f (SSZipArchive %.0f ms, unzip %.0f ms)\n",
                zipArchiveSeconds / unzipSeconds, zipArchiveSeconds * 1000, unzipSeconds * 1000);
  }
  return 0;
}
