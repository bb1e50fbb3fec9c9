// The request side of the HTTP client beside curl:
//  - a multipart upload of one large file (1 GiB by default) built by the request serializer and
//    sent by a URL session, against `curl -F f=@file` uploading the same file to the same local
//    server (a child process; spawning and waiting for it are part of its time);
//  - encoding 10,000 query parameters into a query string, against a loop that escapes each key
//    and value with curl_easy_escape and joins them.
// The server takes the uploads apart as they stream in and keeps nothing, so the memory printed
// for our upload is the client's: the growth of this process's resident size while it runs.
//
//   net_request_bench                       # a 1 GiB file
//   net_request_bench --size_mib=256        # a smaller one, when disk or time is short
//
// After the benchmarks it prints the ratios: upload throughput ours / curl's, query time ours /
// curl_easy_escape's.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bench/child_process.h"
#include "bench/flags.h"
#include "net/query_string.h"
#include "net/request_serializer.h"
#include "os/urlsession.h"
#include "testsupport/memory.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

struct Setup {
  uint64_t sizeBytes = uint64_t{1024} << 20;
  fs::path file;
  std::string url;
};
Setup setup;

// Mean seconds per run of each side, and the largest resident growth of our uploads.
double ourUploadSeconds = 0;
double curlUploadSeconds = 0;
double ourQuerySeconds = 0;
double curlEscapeSeconds = 0;
size_t ourUploadPeakGrowth = 0;

bool writeFile() {
  std::ofstream file(setup.file, std::ios::binary);
  std::vector<char> piece(1 << 20);
  uint32_t state = 0x9E3779B9;
  for (uint64_t written = 0; written < setup.sizeBytes; written += piece.size()) {
    for (char& byte : piece) byte = static_cast<char>((state = state * 1664525 + 1013904223) >> 24);
    file.write(piece.data(), static_cast<std::streamsize>(
                                 std::min<uint64_t>(piece.size(), setup.sizeBytes - written)));
  }
  return static_cast<bool>(file);
}

// Runs the timed loop of `run` and records the mean seconds per run in `mean`; reports
// throughput when a run moves `bytesPerRun` bytes.
template <typename Run>
void timeRuns(benchmark::State& state, double& mean, int64_t bytesPerRun, Run run) {
  double total = 0;
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    if (!run()) {
      state.SkipWithError("run failed");
      return;
    }
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  mean = total / static_cast<double>(state.iterations());
  if (bytesPerRun > 0) state.SetBytesProcessed(state.iterations() * bytesPerRun);
}

bool uploadWithSerializer() {
  auto serializer = NKHTTPRequestSerializer::serializer();
  os::Error error;
  std::optional<os::URLRequest> request = serializer->multipartFormRequestWithMethod(
      "POST", setup.url, std::nullopt,
      [&](NKMultipartFormData& form) {
        form.appendPartWithFileURL(os::URL::fileURLWithPath(setup.file), "f", &error);
      },
      &error);
  if (!request) return false;
  auto session = os::URLSession::sessionWithConfiguration(
      os::URLSessionConfiguration::ephemeralSessionConfiguration());
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  session
      ->dataTaskWithRequest(*request,
                            [done](const std::optional<os::Data>&,
                                   const std::shared_ptr<const os::URLResponse>& response,
                                   const std::optional<os::Error>& failure) {
                              auto http =
                                  std::dynamic_pointer_cast<const os::HTTPURLResponse>(response);
                              done->set_value(!failure && http && http->statusCode() == 200);
                            })
      ->resume();
  bool succeeded = result.get();
  session->finishTasksAndInvalidate();
  return succeeded;
}

void BM_SerializerMultipartUpload(benchmark::State& state) {
  timeRuns(state, ourUploadSeconds, static_cast<int64_t>(setup.sizeBytes), [] {
    size_t baseline = testsupport::residentBytes();
    std::atomic<bool> running{true};
    std::atomic<size_t> peak{baseline};
    std::thread sampler([&] {
      while (running) {
        peak = std::max(peak.load(), testsupport::residentBytes());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    bool succeeded = uploadWithSerializer();
    running = false;
    sampler.join();
    ourUploadPeakGrowth = std::max(ourUploadPeakGrowth, peak - baseline);
    return succeeded;
  });
}

void BM_CurlFormUpload(benchmark::State& state) {
  const std::string form = "f=@" + setup.file.string();
  timeRuns(state, curlUploadSeconds, static_cast<int64_t>(setup.sizeBytes), [&] {
    std::optional<bench::ChildRun> run =
        bench::runChild({"curl", "-sf", "-o", "/dev/null", "-F", form, setup.url});
    return run && run->succeeded;
  });
}

constexpr int kQueryParameters = 10000;

std::vector<std::pair<std::string, std::string>> queryPairs() {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < kQueryParameters; ++i) {
    std::string number = std::to_string(i);
    pairs.emplace_back("key" + number, "value " + number + " & more/ü");
  }
  return pairs;
}

void BM_QueryStringFromParameters(benchmark::State& state) {
  os::Dictionary parameters;
  for (auto& [key, value] : queryPairs()) parameters.emplace(key, value);
  const NKParameters wrapped = os::Value(std::move(parameters));
  size_t length = 0;
  timeRuns(state, ourQuerySeconds, 0, [&] {
    std::string query = NKQueryStringFromParameters(wrapped);
    length = query.size();
    benchmark::DoNotOptimize(query);
    return !query.empty();
  });
  state.counters["bytes"] = static_cast<double>(length);
}

void BM_CurlEasyEscapeLoop(benchmark::State& state) {
  const auto pairs = queryPairs();
  CURL* curl = curl_easy_init();
  timeRuns(state, curlEscapeSeconds, 0, [&] {
    std::string query;
    for (const auto& [key, value] : pairs) {
      char* escapedKey = curl_easy_escape(curl, key.data(), static_cast<int>(key.size()));
      char* escapedValue = curl_easy_escape(curl, value.data(), static_cast<int>(value.size()));
      if (!query.empty()) query += '&';
      query += escapedKey;
      query += '=';
      query += escapedValue;
      curl_free(escapedKey);
      curl_free(escapedValue);
    }
    benchmark::DoNotOptimize(query);
    return !query.empty();
  });
  curl_easy_cleanup(curl);
}

BENCHMARK(BM_CurlFormUpload)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SerializerMultipartUpload)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlEasyEscapeLoop)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueryStringFromParameters)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (!bench::initialize(argc, argv, {{"--size_mib=", &setup.sizeBytes, 1 << 20}})) return 1;

  testsupport::Sandbox sandbox;
  setup.file = sandbox.root() / "upload.bin";
  if (!writeFile()) {
    std::fprintf(stderr, "cannot write %s\n", setup.file.c_str());
    return 1;
  }

  // Takes each upload apart as it arrives and keeps nothing of it.
  httplib::Server server;
  server.Post("/upload", [](const httplib::Request&, httplib::Response& response,
                            const httplib::ContentReader& reader) {
    bool complete = reader([](const httplib::MultipartFormData&) { return true; },
                           [](const char*, size_t) { return true; });
    response.status = complete ? 200 : 400;
  });
  int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  setup.url = "http://127.0.0.1:" + std::to_string(port) + "/upload";
  std::printf("file: %llu MiB, server %s\n", static_cast<unsigned long long>(setup.sizeBytes >> 20),
              setup.url.c_str());

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  server.stop();
  serving.join();

  if (ourUploadSeconds > 0 && curlUploadSeconds > 0) {
    std::printf(
        "multipart upload throughput ours / curl -F: %.2f (ours %.0f ms, curl %.0f ms); our "
        "resident growth during an upload: %.1f MiB\n",
        curlUploadSeconds / ourUploadSeconds, ourUploadSeconds * 1000, curlUploadSeconds * 1000,
        static_cast<double>(ourUploadPeakGrowth) / (1 << 20));
  }
  if (ourQuerySeconds > 0 && curlEscapeSeconds > 0) {
    std::printf(
        "10,000 query parameters, time ours / curl_easy_escape loop: %.2f (ours %.2f ms, "
        "curl %.2f ms)\n",
        ourQuerySeconds / curlEscapeSeconds, ourQuerySeconds * 1000, curlEscapeSeconds * 1000);
  }
  return 0;
}
