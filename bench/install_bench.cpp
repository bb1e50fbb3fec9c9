// The download engine (TSRDownloadManager, with a progress delegate attached) against the curl,
// unzip and bsdtar commands, on the same out-of-process sendfile server (bench::FileServer) and
// the same disk:
//   - a large download into the cache folder (curl -o), timed until the engine reports
//     downComplete; the body is not an archive, so the engine's unzip that would follow is not
//     part of it;
//   - a whole installation of a sample product with a large payload: download, unzip into the
//     Applications folder (curl -o, then unzip -qo; and curl -o, then bsdtar -xf).
//   - the real installer, from exec to the product in place, as a user gets it: launched
//     headless with a script that clicks Install at once, downloading over HTTPS from the maker's
//     stand-in servers (tessaro-resource-server, on a core of its own) and unpacking into the
//     Applications folder; against curl over HTTPS with the same certificate, then bsdtar -xf.
//     Two products: a 256 MiB incompressible payload, and 256 MiB of files that compress well.
// Every client runs as a child process (this binary again, in client mode, or a shell running
// the commands), so that the time and the peak memory are the client's alone. HOME and the
// system root are a sandbox's, so nothing outside it is touched.
//
//   install_bench                                   # 1 GiB download, 256 MiB payload
//   install_bench --size_mib=256 --payload_mib=64   # when the machine is loaded
//   install_bench --filter=installer                # only the real installer's rows
// The installer's products are --payload_mib large.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/data.h"
#include "bench/file_server.h"
#include "bench/harness.h"
#include "installer/app/temp_helper.h"
#include "installer/engine/download_manager.h"
#include "os/dispatch/runloop.h"
#include "os/files/paths.h"
#include "testsupport/child_process.h"
#include "testsupport/sandbox.h"
#include "tools/installer/resource_server.h"
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

// Runs the installer at `installer` (its environment set up by the benchmark) until it reports
// the product installed, then kills it: it would otherwise linger two seconds before quitting,
// which no user waits for. 0 when the product is in place.
int runInstaller(const std::string& installer) {
  testsupport::Child child({installer}, testsupport::ChildOutput::StandardError);
  bool installed = false;
  while (std::optional<std::string> line = child.readLine()) {
    installed = line->find("ea = \"Install Finished\"") != std::string::npos;
    // A failure leaves the installer on its error page, waiting for the user.
    if (installed || line->find("ea = \"Download Failed\"") != std::string::npos ||
        line->find("ea = \"Install Failed\"") != std::string::npos) {
      break;
    }
  }
  child.signal(SIGKILL);
  child.wait(false);
  return installed && fs::is_directory(os::paths::systemApplications() / "Brevalo.app") ? 0 : 1;
}

// The maker's stand-in servers serving `archive` over HTTPS, on a core of their own; they print
// the settings that send a client to them.
class StandInServers {
 public:
  explicit StandInServers(const fs::path& archive)
      : server_(core_.pin({bench::sibling("../tools/tessaro-resource-server"),
                           "--archive=" + archive.string()}),
                testsupport::ChildOutput::StandardOutput) {
    while (std::optional<std::string> line = server_.readLine()) {
      if (line->rfind("TESSARO_CONNECT_TO=", 0) == 0) connectTo = line->substr(19);
      if (line->rfind("TESSARO_CA_FILE=", 0) == 0) {
        certificate = line->substr(16);
        break;
      }
    }
  }
  ~StandInServers() {
    server_.signal(SIGTERM);
    server_.wait(false);
  }
  bool running() const { return !connectTo.empty() && !certificate.empty(); }

  std::string connectTo;
  std::string certificate;

 private:
  bench::ServerCore core_;
  testsupport::Child server_;
};

// Compares the real installer with curl over HTTPS then bsdtar -xf, for the product zipped in
// `archive`.
void compareInstaller(bench::Harness& harness, testsupport::Sandbox& sandbox,
                      const fs::path& archive, const std::string& product) {
  StandInServers servers(archive);
  if (!servers.running()) {
    std::fprintf(stderr, "the stand-in servers did not start\n");
    return;
  }
  const fs::path script = sandbox.root() / "click-install.txt";
  // The click waits a second after the button shows: a download started sooner takes its size
  // limit from the product's built-in size, as the update list (fetched half a second after the
  // launch, with this product's size) has not arrived yet, and a product larger than four times
  // the built-in size is refused. The pause is charged to the installer.
  std::ofstream(script) << "wait install 30\nsleep 1\nclick install\n";
  // Any other service goes to a closed port on this machine, never out.
  sandbox.setEnv("TESSARO_CONNECT_TO", servers.connectTo + ",:443:127.0.0.1:9,:80:127.0.0.1:9");
  sandbox.setEnv("TESSARO_CA_FILE", servers.certificate);
  sandbox.setEnv("TESSARO_UI", "headless");
  sandbox.setEnv("TESSARO_UI_SCRIPT", script.string());
  const std::string installer =
      bench::sibling("../resources/Brevalo Installer.app/Contents/MacOS/Brevalo Installer");
  const fs::path applications = os::paths::systemApplications();
  const fs::path theirs = sandbox.root() / "commands";
  // Every run starts from a fresh home and system root, with no product, cache or settings
  // from the last one, and with the file system's work for the last run done.
  auto clear = [&] {
    for (const fs::path& folder : {sandbox.home(), sandbox.systemRoot(), theirs}) {
      std::error_code ignored;
      fs::remove_all(folder, ignored);
      fs::create_directories(folder);
    }
    fs::create_directories(sandbox.home() / "Desktop");
    fs::create_directories(applications);
    ::sync();
    return true;
  };
  std::vector<std::string> curl = {
      "sh",
      "-c",
      "zip=$1 applications=$2 certificate=$3 url=$4; shift 4; "
      "curl -sSf --cacert \"$certificate\" \"$@\" -o \"$zip\" "
      "\"$url\" && exec bsdtar -xf \"$zip\" -C \"$applications\"",
      "sh",
      (theirs / "Brevalo.zip").string(),
      applications.string(),
      servers.certificate,
      std::string("https://download.tessaro.example") + tools::ResourceServer::kLatestArchivePath};
  // curl's --connect-to takes the same HOST:PORT:HOST:PORT entries, one at a time.
  for (size_t start = 0; start < servers.connectTo.size();) {
    size_t end = std::min(servers.connectTo.find(',', start), servers.connectTo.size());
    curl.insert(curl.end(), {"--connect-to", servers.connectTo.substr(start, end - start)});
    start = end + 1;
  }
  harness.compare(
      {.path = "real installer (clicking after 1 s), exec to " + product + " in place over HTTPS",
       .ours = {"installer", {bench::self(), "--client=installer", installer}},
       .reference = {"curl + bsdtar -xf", curl},
       .prepare = clear,
       .memory = true,
       .cpu = true});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--client=installer") == 0) {
    return runInstaller(argv[2]);
  }
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
  {
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
         .reference = {"curl -o",
                       {"curl", "-sSf", "-o", (theirs / "large.zip").string(), largeURL}},
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
  }
  const std::string mib = std::to_string(payloadBytes >> 20) + " MiB";
  for (const auto& [product, sample] : std::vector<std::pair<std::string, tools::SampleProduct>>{
           {"a " + mib + " incompressible product", {.payloadBytes = payloadBytes}},
           {"a " + mib + " compressible product",
            {.resourceFiles = static_cast<uint32_t>(std::max<uint64_t>(1, payloadBytes >> 18)),
            .resourceFileBytes = uint64_t{256} << 10}},
       }) {
    const fs::path archive = sandbox.root() / "stand-in" / "Brevalo.zip";
    fs::create_directories(archive.parent_path());
    if (!tools::makeSampleProductArchive(archive, sample, &error)) {
      std::fprintf(stderr, "cannot make the sample product: %s\n",
                   error.localizedDescription().c_str());
      return 1;
    }
    compareInstaller(*harness, sandbox, archive, product);
  }
  harness->printTable();
  return 0;
}
