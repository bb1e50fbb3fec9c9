// URL sessions against the curl command, both as child processes fetching from the same
// out-of-process sendfile server (bench::FileServer):
//   - one large download discarded as it arrives (a data task whose delegate drops the bytes;
//     curl -o /dev/null), and one written to a file (a download task moved into place; curl -o);
//   - many small data tasks on one session (curl --parallel on one connection pool);
//   - the second half of the large download, resumed from a partial file with its resume data
//     (curl -C - on a file holding the same first half).
// Time, CPU time and peak memory are each client's own (bench_measure); ours is
// urlsession_client. Over loopback the server's sending side is the slower half, so both clients
// spend much of a large download waiting for it: the time says whether a client holds the
// transfer back, the CPU time what it spends on it.
//
//   urlsession_bench                                     # 1 GiB downloads, 1000 small requests
//   urlsession_bench --size_mib=256 --small_count=300    # when the machine is loaded

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/data.h"
#include "bench/file_server.h"
#include "bench/harness.h"
#include "os/dispatch/dispatch.h"
#include "os/net/urlsession.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

// Downloads `url`, which the server breaks off, and keeps what the failure leaves: the resume
// data in `resumeDataFile`, the partial file's path in `*partial`.
bool breakOffDownload(const std::string& url, const fs::path& resumeDataFile, fs::path* partial) {
  auto session = os::URLSession::sessionWithConfiguration(
      os::URLSessionConfiguration::defaultSessionConfiguration());
  os::DispatchSemaphore done;
  std::optional<os::Data> resumeData;
  session
      ->downloadTaskWithRequest(
          os::URLRequest(*os::URL::parse(url)),
          [&](const std::optional<os::URL>&, const std::shared_ptr<const os::URLResponse>&,
              const std::optional<os::Error>& error) {
            if (const os::Data* data =
                    error ? error->userInfo[os::kURLSessionDownloadTaskResumeData].asData()
                          : nullptr) {
              resumeData = *data;
            }
            done.signal();
          })
      ->resume();
  done.wait();
  session->finishTasksAndInvalidate();
  if (!resumeData) return false;
  std::ofstream(resumeDataFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(resumeData->data()),
             static_cast<std::streamsize>(resumeData->size()));
  // The partial file is the only one in the download folder.
  for (const auto& entry : fs::directory_iterator(os::URLSession::downloadDirectory())) {
    if (entry.path().filename().string().starts_with(os::kURLSessionDownloadFilePrefix)) {
      *partial = entry.path();
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t sizeBytes = uint64_t{1024} << 20;
  uint64_t smallCount = 1000;
  auto harness = bench::Harness::fromArguments(
      argc, argv, {{"--size_mib=", &sizeBytes, 1 << 20}, {"--small_count=", &smallCount}});
  if (!harness) return 1;
  // Our side is a program of its own that links only the URL session, as curl's side is.
  const std::string client = bench::sibling("urlsession_client");

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
       .ours = {"data task", {client, "discard", largeURL}},
       .reference = {"curl -o /dev/null", {"curl", "-sSf", "-o", "/dev/null", largeURL}},
       .memory = true,
       .cpu = true});

  const std::string file = (sandbox.root() / "download.bin").string();
  harness->compare({.path = "download " + size + " to a file",
                    .ours = {"download task", {client, "file", largeURL, file}},
                    .reference = {"curl -o", {"curl", "-sSf", "-o", file, largeURL}},
                    .prepare =
                        [&] {
                          std::error_code ignored;
                          fs::remove(file, ignored);
                          return true;
                        },
                    .memory = true,
                    .cpu = true});

  // A download broken off at the middle leaves its partial file and resume data; each run of
  // either side starts from a copy of that first half.
  const fs::path resumeDataFile = sandbox.root() / "resume.data";
  const fs::path half = sandbox.root() / "half.bin";
  fs::path partial;
  if (!breakOffDownload(largeURL + "?cut=" + std::to_string(sizeBytes / 2), resumeDataFile,
                        &partial) ||
      !fs::copy_file(partial, half)) {
    std::fprintf(stderr, "urlsession_bench: no partial download to resume\n");
    return 1;
  }
  const std::string resumedCopy = (sandbox.root() / "resumed.bin").string();
  harness->compare(
      {.path = "resume the second half of " + size,
       .ours = {"download from resume data",
                {client, "resume", largeURL, resumeDataFile.string(), file}},
       .reference = {"curl -C -", {"curl", "-sSf", "-C", "-", "-o", resumedCopy, largeURL}},
       .prepare =
           [&] {
             std::error_code error;
             for (const fs::path& copy : {partial, fs::path(resumedCopy)}) {
               fs::copy_file(half, copy, fs::copy_options::overwrite_existing, error);
               if (error) return false;
             }
             fs::remove(file, error);
             return true;
           },
       .memory = true,
       .cpu = true});

  // One config file with every URL, so that curl runs them all from one process.
  const fs::path config = sandbox.root() / "small.curlrc";
  {
    std::ofstream out(config);
    for (uint64_t i = 0; i < smallCount; ++i) {
      out << "url = \"" << smallURL << "\"\noutput = \"/dev/null\"\n";
    }
  }
  harness->compare({.path = std::to_string(smallCount) + " small requests",
                    .ours = {"data tasks", {client, "small", smallURL, std::to_string(smallCount)}},
                    .reference = {"curl --parallel",
                                  {"curl", "-sSf", "--no-progress-meter", "--parallel",
                                   "--parallel-max", "6", "-K", config.string()}},
                    .memory = true,
                    .cpu = true});
  harness->printTable();
  return 0;
}
