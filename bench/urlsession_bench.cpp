// URL sessions against the curl command, both as child processes fetching from the same
// out-of-process sendfile server (bench::FileServer):
//   - one large download discarded as it arrives (a data task whose delegate drops the bytes;
//     curl -o /dev/null), and one written to a file (a download task moved into place; curl -o);
//   - many small data tasks on one session (curl --parallel on one connection pool).
// Time and peak memory are each client's own (bench_measure).
//
//   urlsession_bench                                     # 1 GiB downloads, 1000 small requests
//   urlsession_bench --size_mib=256 --small_count=300    # when the machine is loaded
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/data.h"
#include "bench/file_server.h"
#include "bench/harness.h"
#include "os/dispatch.h"
#include "os/urlsession.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

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

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strncmp(argv[1], "--client=", 9) == 0) {
    return runClient(argv[1] + 9, argc - 2, argv + 2);
  }
  uint64_t sizeBytes = uint64_t{1024} << 20;
  uint64_t smallCount = 1000;
  auto harness = bench::Harness::fromArguments(
      argc, argv, {{"--size_mib=", &sizeBytes, 1 << 20}, {"--small_count=", &smallCount}});
  if (!harness) return 1;

  testsupport::Sandbox sandbox;
  // Download tasks write beside their destination, so that moving the file is a rename.
  sandbox.setEnv("TMPDIR", sandbox.root().string());
  const fs::path served = sandbox.root() / "served";
  fs::create_directories(served);
  if (!bench::writePseudoRandomFile(served / "large.bin", sizeBytes)) return 1;
  std::ofstream(served / "small.json") << std::string(512, 's');
  bench::FileServer server(served);
  if (!server.running()) return 1;
  const std::string largeURL = server.url("/large.bin");
  const std::string smallURL = server.url("/small.json");
  const std::string size = std::to_string(sizeBytes >> 20) + " MiB";

  harness->compare(
      {.path = "download " + size + ", discarded",
       .ours = {"data task", {bench::self(), "--client=discard", largeURL}},
       .reference = {"curl -o /dev/null", {"curl", "-sSf", "-o", "/dev/null", largeURL}},
       .memory = true});

  const std::string file = (sandbox.root() / "download.bin").string();
  harness->compare({.path = "download " + size + " to a file",
                    .ours = {"download task", {bench::self(), "--client=file", largeURL, file}},
                    .reference = {"curl -o", {"curl", "-sSf", "-o", file, largeURL}},
                    .prepare =
                        [&] {
                          std::error_code ignored;
                          fs::remove(file, ignored);
                          return true;
                        },
                    .memory = true});

  // One config file with every URL, so that curl runs them all from one process.
  const fs::path config = sandbox.root() / "small.curlrc";
  {
    std::ofstream out(config);
    for (uint64_t i = 0; i < smallCount; ++i) {
      out << "url = \"" << smallURL << "\"\noutput = \"/dev/null\"\n";
    }
  }
  harness->compare(
      {.path = std::to_string(smallCount) + " small requests",
       .ours = {"data tasks",
                {bench::self(), "--client=small", smallURL, std::to_string(smallCount)}},
       .reference = {"curl --parallel",
                     {"curl", "-sSf", "--no-progress-meter", "--parallel", "--parallel-max", "6",
                      "-K", config.string()}},
       .memory = true});
  harness->printTable();
  return 0;
}
