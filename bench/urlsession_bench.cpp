// URL sessions against the curl command on the same local server (testsupport::LocalHttpServer,
// serving from memory on 127.0.0.1):
//   - one large download discarded as it arrives (a data task whose delegate drops the bytes;
//     curl -o /dev/null), and one written to a file (a download task moved into place; curl -o);
//   - many small data tasks on one session (curl --parallel on one connection pool).
// Every client runs as a child process (this binary again, in client mode, or curl), so that the
// wall time, the CPU time and the peak resident memory (VmHWM, from wait4) are the client's alone.
//
//   urlsession_bench                        # 1 GiB downloads, 1000 small requests
//   urlsession_bench --size_mib=256 --small_count=300   # when the machine is loaded
//
// After the benchmarks it prints throughput, CPU time and memory ratios, session / curl.
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
#include "os/dispatch.h"
#include "os/urlsession.h"
#include "testsupport/local_http_server.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

struct Setup {
  uint64_t sizeBytes = uint64_t{1024} << 20;
  uint64_t smallCount = 1000;
  std::string self;
  std::string largeURL;
  std::string smallURL;
  fs::path folder;
};
Setup setup;

// What one client run cost, as its parent saw it.
using Run = bench::ChildRun;
std::map<std::string, Run> runs;

// One timed run per benchmark: a 1 GiB transfer is its own measurement.
void measure(benchmark::State& state, const std::string& name, const std::vector<std::string>& argv,
             uint64_t bytes) {
  for (auto _ : state) {
    std::optional<Run> run = bench::runChild(argv);
    if (!run || !run->succeeded) {
      state.SkipWithError(("client failed: " + argv[0]).c_str());
      return;
    }
    state.SetIterationTime(run->seconds);
    state.counters["cpu_s"] = run->cpuSeconds;
    state.counters["VmHWM_MiB"] = double(run->peakKiB) / 1024;
    runs[name] = *run;
  }
  if (bytes > 0) state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_CurlToDevNull(benchmark::State& state) {
  measure(state, "curl discard", {"curl", "-sSf", "-o", "/dev/null", setup.largeURL},
          setup.sizeBytes);
}

void BM_SessionDiscard(benchmark::State& state) {
  measure(state, "session discard", {setup.self, "--client=discard", setup.largeURL},
          setup.sizeBytes);
}

void BM_CurlToFile(benchmark::State& state) {
  const std::string file = (setup.folder / "curl.bin").string();
  measure(state, "curl file", {"curl", "-sSf", "-o", file, setup.largeURL}, setup.sizeBytes);
  fs::remove(file);
}

void BM_SessionToFile(benchmark::State& state) {
  const std::string file = (setup.folder / "session.bin").string();
  measure(state, "session file", {setup.self, "--client=file", setup.largeURL, file},
          setup.sizeBytes);
  fs::remove(file);
}

void BM_CurlParallelSmall(benchmark::State& state) {
  // One config file with every URL, so that curl runs them all from one process.
  const fs::path config = setup.folder / "small.curlrc";
  {
    std::ofstream out(config);
    for (uint64_t i = 0; i < setup.smallCount; ++i) {
      out << "url = \"" << setup.smallURL << "\"\noutput = \"/dev/null\"\n";
    }
  }
  measure(state, "curl small",
          {"curl", "-sSf", "--no-progress-meter", "--parallel", "--parallel-max", "6", "-K",
           config.string()},
          0);
}

void BM_SessionSmall(benchmark::State& state) {
  measure(state, "session small",
          {setup.self, "--client=small", setup.smallURL, std::to_string(setup.smallCount)}, 0);
}

BENCHMARK(BM_CurlToDevNull)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SessionDiscard)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlToFile)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SessionToFile)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlParallelSmall)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SessionSmall)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// --- client mode: this binary as the session's side of a benchmark ---------------------------

// Counts what arrives and drops it, as curl -o /dev/null does.
class Discarder : public os::URLSessionDelegate {
 public:
  void didReceiveData(const std::shared_ptr<os::URLSession>&,
                      const std::shared_ptr<os::URLSessionDataTask>&,
                      const os::Data& data) override {
    received += data.size();
  }
  void didFinishDownloading(const std::shared_ptr<os::URLSession>&,
                            const std::shared_ptr<os::URLSessionDownloadTask>&,
                            const os::URL& location) override {
    std::error_code error;
    fs::rename(location.filePath(), destination, error);
    moved = !error;
  }
  void didCompleteWithError(const std::shared_ptr<os::URLSession>&,
                            const std::shared_ptr<os::URLSessionTask>& task,
                            const std::optional<os::Error>& error) override {
    auto response = std::dynamic_pointer_cast<const os::HTTPURLResponse>(task->response());
    ok = !error && response && response->statusCode() == 200;
    done.signal();
  }

  fs::path destination;
  uint64_t received = 0;  // delegate queue
  bool moved = false;
  bool ok = false;
  os::DispatchSemaphore done;
};

int runClient(const std::string& mode, int argc, char** argv) {
  if (argc < 1) return 2;
  const os::URLRequest request(*os::URL::parse(argv[0]));
  if (mode == "discard" || mode == "file") {
    auto delegate = std::make_shared<Discarder>();
    if (mode == "file" && argc >= 2) delegate->destination = argv[1];
    auto session = os::URLSession::sessionWithConfiguration(
        os::URLSessionConfiguration::defaultSessionConfiguration(), delegate);
    std::shared_ptr<os::URLSessionTask> task;
    if (mode == "discard") {
      task = session->dataTaskWithRequest(request);
    } else {
      task = session->downloadTaskWithRequest(request);
    }
    task->resume();
    delegate->done.wait();
    const bool complete = mode == "discard"
                              ? int64_t(delegate->received) == task->countOfBytesExpectedToReceive()
                              : delegate->moved;
    return delegate->ok && complete ? 0 : 1;
  }
  if (mode == "small" && argc >= 2) {
    const int count = std::atoi(argv[1]);
    auto session = os::URLSession::sessionWithConfiguration(
        os::URLSessionConfiguration::defaultSessionConfiguration());
    os::DispatchSemaphore done;
    std::atomic<int> failures{0};
    for (int i = 0; i < count; ++i) {
      session
          ->dataTaskWithRequest(request,
                                [&](const std::optional<os::Data>& data,
                                    const std::shared_ptr<const os::URLResponse>&,
                                    const std::optional<os::Error>& error) {
                                  if (error || !data) ++failures;
                                  done.signal();
                                })
          ->resume();
    }
    for (int i = 0; i < count; ++i) done.wait();
    return failures == 0 ? 0 : 1;
  }
  return 2;
}

double ratio(const std::string& ours, const std::string& theirs, double Run::*field) {
  if (!runs.count(ours) || !runs.count(theirs)) return 0;
  const double denominator = runs[theirs].*field;
  return denominator > 0 ? runs[ours].*field / denominator : 0;
}

void printComparison(const std::string& what, const std::string& ours, const std::string& theirs,
                     uint64_t bytes) {
  if (!runs.count(ours) || !runs.count(theirs)) return;
  const Run& a = runs[ours];
  const Run& b = runs[theirs];
  if (bytes > 0) {
    std::printf("%-22s throughput %.2fx curl (%.0f vs %.0f MiB/s)", what.c_str(),
                b.seconds / a.seconds, double(bytes) / (1 << 20) / a.seconds,
                double(bytes) / (1 << 20) / b.seconds);
  } else {
    std::printf("%-22s time %.2fx curl (%.0f vs %.0f ms)", what.c_str(), a.seconds / b.seconds,
                a.seconds * 1000, b.seconds * 1000);
  }
  std::printf(", CPU %.2fx curl (%.2f vs %.2f s), VmHWM %.1f vs %.1f MiB\n",
              ratio(ours, theirs, &Run::cpuSeconds), a.cpuSeconds, b.cpuSeconds,
              double(a.peakKiB) / 1024, double(b.peakKiB) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strncmp(argv[1], "--client=", 9) == 0) {
    return runClient(argv[1] + 9, argc - 2, argv + 2);
  }
  if (!bench::initialize(
          argc, argv,
          {{"--size_mib=", &setup.sizeBytes, 1 << 20}, {"--small_count=", &setup.smallCount}})) {
    return 1;
  }
  setup.self = fs::read_symlink("/proc/self/exe").string();

  testsupport::Sandbox sandbox;
  setup.folder = sandbox.root();
  // Download tasks write beside their destination, so that moving the file is a rename.
  sandbox.setEnv("TMPDIR", sandbox.root().string());

  // The large body is one pseudo-random mebibyte served over and over, from memory.
  auto block = std::make_shared<std::string>(1 << 20, '\0');
  uint32_t state = 0x9E3779B9;
  for (char& byte : *block) {
    state = state * 1664525 + 1013904223;
    byte = static_cast<char>(state >> 24);
  }
  testsupport::LocalHttpServer server;
  const uint64_t size = setup.sizeBytes;
  server.on("GET", "/large", [block, size](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(
        size, "application/octet-stream",
        [block](size_t offset, size_t remaining, httplib::DataSink& sink) {
          size_t start = offset % block->size();
          return sink.write(block->data() + start, std::min(remaining, block->size() - start));
        });
  });
  server.respond("GET", "/small", 200, std::string(512, 's'),
                 {{"Content-Type", "application/json"}});
  setup.largeURL = server.url("/large");
  setup.smallURL = server.url("/small");
  std::printf("large body %llu MiB, %llu small requests, server %s\n",
              static_cast<unsigned long long>(setup.sizeBytes >> 20),
              static_cast<unsigned long long>(setup.smallCount), server.baseUrl().c_str());

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printComparison("download discarded", "session discard", "curl discard", setup.sizeBytes);
  printComparison("download to a file", "session file", "curl file", setup.sizeBytes);
  printComparison("small requests", "session small", "curl small", 0);
  return 0;
}
