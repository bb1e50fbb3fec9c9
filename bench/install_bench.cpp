// The download engine (TSRDownloadManager, with a progress delegate attached) against the curl,
// unzip and bsdtar commands, on the same out-of-process sendfile server (bench::FileServer) and
// the same disk:
//   - a large download into the cache folder (curl -o), timed until the engine reports
//     downComplete; the body is not an archive, so the engine's unzip that would follow is not
//     part of it;
//   - a whole installation of a sample product with a large payload: download, unzip into the
//     Applications folder (curl -o, then unzip -qo; and curl -o, then bsdtar -xf).
// Every client runs as a child process (this binary again, in client mode, or a shell running
// the commands), so that the time and the peak memory are the client's alone. HOME and the
// system root are a sandbox's, so nothing outside it is touched.
//
//   install_bench                                   # 1 GiB download, 256 MiB payload
//   install_bench --size_mib=256 --payload_mib=64   # when the machine is loaded
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/data.h"
#include "bench/file_server.h"
#include "bench/harness.h"
#include "installer/app/temp_helper.h"
#include "installer/engine/download_manager.h"
#include "os/dispatch/runloop.h"
#include "os/files/paths.h"
#include "testsupport/sandbox.h"
#include "tools/installer/sample_product.h"

namespace {

namespace fs = std::filesystem;

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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strncmp(argv[1], "--client=", 9) == 0) {
    return runClient(argv[1] + 9, argv[2]);
  }
  uint64_t sizeBytes = uint64_t{1024} << 20;
  uint64_t payloadBytes = uint64_t{256} << 20;
  auto harness = bench::Harness::fromArguments(
      argc, argv,
      {{"--size_mib=", &sizeBytes, 1 << 20}, {"--payload_mib=", &payloadBytes, 1 << 20}});
  if (!harness) return 1;

  testsupport::Sandbox sandbox;
  // Downloads go to a temporary file beside the cache folder, so that moving it is a rename.
  sandbox.setEnv("TMPDIR", sandbox.root().string());
  const fs::path served = sandbox.root() / "served";
  fs::create_directories(served);
  os::Error error;
  if (!tools::makeSampleProductArchive(served / "Brevalo.zip", {.payloadBytes = payloadBytes},
                                       &error)) {
    std::fprintf(stderr, "cannot make the sample product: %s\n",
                 error.localizedDescription().c_str());
    return 1;
  }
  if (!bench::writePseudoRandomFile(served / "large.zip", sizeBytes)) return 1;
  bench::FileServer server(served);
  if (!server.running()) return 1;
  const std::string largeURL = server.url("/large.zip");
  const std::string archiveURL = server.url("/Brevalo.zip");

  const fs::path theirs = sandbox.root() / "commands";
  const std::string applications = os::paths::systemApplications().string();
  // Empties the folders that one run fills, so that every run starts alike.
  auto clearFolders = [&] {
    for (const fs::path& folder :
         {fs::path(TempHelper::getAppCachePath()), fs::path(applications), theirs}) {
      std::error_code ignored;
      fs::remove_all(folder, ignored);
    }
    return fs::create_directories(theirs);
  };

  harness->compare(
      {.path = "download " + std::to_string(sizeBytes >> 20) + " MiB",
       .ours = {"engine", {bench::self(), "--client=download", largeURL}},
       .reference = {"curl -o", {"curl", "-sSf", "-o", (theirs / "large.zip").string(), largeURL}},
       .prepare = clearFolders,
       .memory = true});

  const std::string zip = (theirs / "Brevalo.zip").string();
  const std::string product =
      "install a " + std::to_string(fs::file_size(served / "Brevalo.zip") >> 20) + " MiB product";
  const std::vector<std::pair<std::string, std::string>> unpackers = {
      {"curl + unzip -qo", "unzip -qo \"$1\" -d \"$2\""},
      {"curl + bsdtar -xf", "mkdir -p \"$2\" && bsdtar -xf \"$1\" -C \"$2\""},
  };
  for (const auto& [name, unpack] : unpackers) {
    harness->compare({.path = product + " (vs " + name + ")",
                      .ours = {"engine", {bench::self(), "--client=install", archiveURL}},
                      .reference = {name,
                                    {"sh", "-c", "curl -sSf -o \"$1\" \"$3\" && " + unpack, "sh",
                                     zip, applications, archiveURL}},
                      .prepare = clearFolders,
                      .memory = true});
  }
  harness->printTable();
  return 0;
}
