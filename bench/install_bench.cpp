// The download engine (TSRDownloadManager, with a progress delegate attached) against the curl
// and unzip commands, on the same local server and the same disk:
//   - a large download into the cache folder (curl -o), timed until the engine reports
//     downComplete; the body is not an archive, so the engine's unzip that would follow is not
//     part of it;
//   - a whole installation of a sample product with a large payload: download, unzip into the
//     Applications folder (curl -o, then unzip -qo).
// Every client runs as a child process (this binary again, in client mode, or the command), so
// that the wall time, the CPU time and the peak resident memory (VmHWM) are the client's alone.
// HOME and the system root are a sandbox's, so nothing outside it is touched.
//
//   install_bench                                   # 1 GiB download, 256 MiB payload
//   install_bench --size_mib=256 --payload_mib=64   # when the machine is loaded
//
// After the benchmarks it prints throughput, CPU time and memory ratios, engine / commands.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/child_process.h"
#include "bench/flags.h"
#include "installer/app/temp_helper.h"
#include "installer/engine/download_manager.h"
#include "os/files.h"
#include "os/paths.h"
#include "os/runloop.h"
#include "testsupport/local_http_server.h"
#include "testsupport/sandbox.h"
#include "tools/sample_product.h"

namespace {

namespace fs = std::filesystem;

struct Setup {
  uint64_t sizeBytes = uint64_t{1024} << 20;
  uint64_t payloadBytes = uint64_t{256} << 20;
  std::string self;
  std::string largeURL;
  std::string archiveURL;
  uint64_t archiveBytes = 0;
  fs::path folder;
};
Setup setup;

// What one client run cost, as its parent saw it.
using Run = bench::ChildRun;
std::map<std::string, Run> runs;

// A child started with posix_spawn inherits the spawning process's peak resident memory in its
// own count (the kernel keeps the larger peak across exec), so each command runs under this
// binary in measuring mode: a fresh, small process that forks the command and reports the
// command's own peak.
constexpr const char* kMeasureFlag = "--measure=";

// Measuring mode: runs `command`, writes its peak resident memory (KiB) to `resultFile` and
// exits with its status.
int runMeasured(const char* resultFile, const std::vector<std::string>& command) {
  std::optional<Run> run = bench::runChild(command, bench::ChildStart::kFork);
  std::ofstream(resultFile) << (run ? run->peakKiB : 0);
  return run && run->exitStatus >= 0 ? run->exitStatus : 1;
}

// Runs `argv` in measuring mode and waits for it; nullopt when it cannot start. The time and CPU
// are the measuring process's (its own share is a spawn and a wait: next to nothing), the peak
// memory is the command's own.
std::optional<Run> runMeasuredChild(const std::vector<std::string>& argv) {
  const std::string resultFile = (setup.folder / "peak").string();
  std::vector<std::string> measured = {setup.self, kMeasureFlag + resultFile};
  measured.insert(measured.end(), argv.begin(), argv.end());
  std::optional<Run> run = bench::runChild(measured);
  if (run) std::ifstream(resultFile) >> run->peakKiB;
  return run;
}

// One timed run per benchmark, of the commands in turn (their times and CPU add up, their
// memory is the larger peak).
void measure(benchmark::State& state, const std::string& name,
             const std::vector<std::vector<std::string>>& commands, uint64_t bytes) {
  for (auto _ : state) {
    Run total;
    for (const std::vector<std::string>& argv : commands) {
      std::optional<Run> run = runMeasuredChild(argv);
      if (!run || !run->succeeded) {
        state.SkipWithError(("client failed: " + argv[0]).c_str());
        return;
      }
      total.seconds += run->seconds;
      total.cpuSeconds += run->cpuSeconds;
      total.peakKiB = std::max(total.peakKiB, run->peakKiB);
    }
    state.SetIterationTime(total.seconds);
    state.counters["cpu_s"] = total.cpuSeconds;
    state.counters["VmHWM_MiB"] = double(total.peakKiB) / 1024;
    runs[name] = total;
  }
  if (bytes > 0) state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// Empties the folders that one run fills, so that every run starts alike.
void clearFolders() {
  for (const fs::path& folder : {fs::path(TempHelper::getAppCachePath()),
                                 os::paths::systemApplications(), setup.folder / "curl"}) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
  fs::create_directories(setup.folder / "curl");
}

void BM_CurlDownload(benchmark::State& state) {
  clearFolders();
  measure(state, "curl download",
          {{"curl", "-sSf", "-o", (setup.folder / "curl/large.zip").string(), setup.largeURL}},
          setup.sizeBytes);
}

void BM_EngineDownload(benchmark::State& state) {
  clearFolders();
  measure(state, "engine download", {{setup.self, "--client=download", setup.largeURL}},
          setup.sizeBytes);
}

void BM_CurlAndUnzipInstall(benchmark::State& state) {
  clearFolders();
  const std::string zip = (setup.folder / "curl/Brevalo.zip").string();
  measure(state, "curl+unzip install",
          {{"curl", "-sSf", "-o", zip, setup.archiveURL},
           {"unzip", "-qo", zip, "-d", os::paths::systemApplications().string()}},
          setup.archiveBytes);
}

void BM_EngineInstall(benchmark::State& state) {
  clearFolders();
  measure(state, "engine install", {{setup.self, "--client=install", setup.archiveURL}},
          setup.archiveBytes);
}

BENCHMARK(BM_CurlDownload)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineDownload)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlAndUnzipInstall)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineInstall)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// --- client mode: this binary as the engine's side of a benchmark ----------------------------

// Ends the run at `finalCall` ("downComplete" or "installComplete"); any error ends it too.
class BenchDelegate : public TSRDownLoadProgress {
 public:
  explicit BenchDelegate(std::string finalCall) : finalCall_(std::move(finalCall)) {}

  void downProgressWithFileName(const std::string&, double percent) override {
    lastPercent = percent;
  }
  void downErrorWithFileName(const std::string&, const std::string&, const std::string& error,
                             DownloadErrorEnum) override {
    finish(false, error);
  }
  void downComplete(const std::string&) override { finishAt("downComplete"); }
  void installStart(const std::string&) override {}
  void installComplete(const std::string&) override { finishAt("installComplete"); }
  void installError(const std::string&, const std::string& error, DownloadErrorEnum) override {
    finish(false, error);
  }
  int64_t showPromptView(const std::string&, const os::Error&) override { return 0; }

  std::atomic<double> lastPercent{0};
  std::atomic<bool> done{false};
  std::atomic<bool> succeeded{false};

 private:
  void finishAt(const std::string& call) {
    if (call == finalCall_) finish(true, "");
  }
  void finish(bool success, const std::string& error) {
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    succeeded = success;
    done = true;
  }

  const std::string finalCall_;
};

int runClient(const std::string& mode, const std::string& url) {
  auto delegate =
      std::make_shared<BenchDelegate>(mode == "download" ? "downComplete" : "installComplete");
  auto engine = std::make_shared<TSRDownloadManager>(delegate, url, "Brevalo.app", 0);
  engine->downloadSpecifiedApp();
  os::RunLoop::main().runUntil([&] { return delegate->done.load(); }, os::kWaitForever);
  const bool complete = delegate->succeeded && delegate->lastPercent == 100;
  // The unzip that follows a download-only run is not part of the measurement.
  std::fflush(nullptr);
  _exit(complete ? 0 : 1);
}

void printComparison(const std::string& what, const std::string& ours, const std::string& theirs,
                     uint64_t bytes) {
  if (!runs.count(ours) || !runs.count(theirs)) return;
  const Run& a = runs[ours];
  const Run& b = runs[theirs];
  std::printf("%-22s throughput %.2fx (%.0f vs %.0f MiB/s)", what.c_str(), b.seconds / a.seconds,
              double(bytes) / (1 << 20) / a.seconds, double(bytes) / (1 << 20) / b.seconds);
  std::printf(", CPU %.2fx (%.2f vs %.2f s), VmHWM %.1f vs %.1f MiB\n",
              b.cpuSeconds > 0 ? a.cpuSeconds / b.cpuSeconds : 0, a.cpuSeconds, b.cpuSeconds,
              double(a.peakKiB) / 1024, double(b.peakKiB) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strncmp(argv[1], kMeasureFlag, std::strlen(kMeasureFlag)) == 0) {
    return runMeasured(argv[1] + std::strlen(kMeasureFlag),
                       std::vector<std::string>(argv + 2, argv + argc));
  }
  if (argc >= 3 && std::strncmp(argv[1], "--client=", 9) == 0) {
    return runClient(argv[1] + 9, argv[2]);
  }
  if (!bench::initialize(argc, argv,
                         {{"--size_mib=", &setup.sizeBytes, 1 << 20},
                          {"--payload_mib=", &setup.payloadBytes, 1 << 20}})) {
    return 1;
  }
  setup.self = fs::read_symlink("/proc/self/exe").string();

  testsupport::Sandbox sandbox;
  setup.folder = sandbox.root();
  // Downloads go to a temporary file beside the cache folder, so that moving it is a rename.
  sandbox.setEnv("TMPDIR", sandbox.root().string());

  const fs::path archive = sandbox.root() / "Brevalo.zip";
  os::Error error;
  if (!tools::makeSampleProductArchive(archive, {.payloadBytes = setup.payloadBytes}, &error)) {
    std::fprintf(stderr, "cannot make the sample product: %s\n",
                 error.localizedDescription().c_str());
    return 1;
  }
  setup.archiveBytes = fs::file_size(archive);

  // The large body is one pseudo-random mebibyte served over and over, from memory.
  auto block = std::make_shared<std::string>(1 << 20, '\0');
  uint32_t state = 0x9E3779B9;
  for (char& byte : *block) {
    state = state * 1664525 + 1013904223;
    byte = static_cast<char>(state >> 24);
  }
  testsupport::LocalHttpServer server;
  const uint64_t size = setup.sizeBytes;
  server.on(
      "GET", "/large.zip", [block, size](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(
            size, "application/zip",
            [block](size_t offset, size_t remaining, httplib::DataSink& sink) {
              size_t start = offset % block->size();
              return sink.write(block->data() + start, std::min(remaining, block->size() - start));
            });
      });
  server.on("GET", "/Brevalo.zip", [archive](const httplib::Request&, httplib::Response& response) {
    auto file = std::make_shared<std::ifstream>(archive, std::ios::binary);
    response.set_content_provider(
        fs::file_size(archive), "application/zip",
        [file](size_t offset, size_t length, httplib::DataSink& sink) {
          std::vector<char> piece(std::min<size_t>(length, 1 << 20));
          file->seekg(static_cast<std::streamoff>(offset));
          file->read(piece.data(), static_cast<std::streamsize>(piece.size()));
          return sink.write(piece.data(), static_cast<size_t>(file->gcount()));
        });
  });
  setup.largeURL = server.url("/large.zip");
  setup.archiveURL = server.url("/Brevalo.zip");
  std::printf("download %llu MiB, product archive %.0f MiB, server %s\n",
              static_cast<unsigned long long>(setup.sizeBytes >> 20),
              double(setup.archiveBytes) / (1 << 20), server.baseUrl().c_str());

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printComparison("download, engine/curl", "engine download", "curl download", setup.sizeBytes);
  printComparison("install, engine/curl+unzip", "engine install", "curl+unzip install",
                  setup.archiveBytes);
  return 0;
}
