// For the engine's tests: an installer sandbox wired to the local stand-ins of the maker's
// servers, a delegate that records what the download engine tells it, and a way to make a
// folder that nobody (root included) can change.
//
//   EngineTestEnvironment environment;                 // product 7, English, servers running
//   auto delegate = std::make_shared<RecordingDelegate>();
//   auto engine = environment.engine(delegate);        // the Brevalo archive's built-in address
//   engine->downloadSpecifiedApp();
//   ASSERT_TRUE(delegate->waitUntilFinished());
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "installer/app/installer_test_environment.h"
#include "installer/app/temp_helper.h"
#include "installer/engine/download_manager.h"
#include "installer/engine/download_progress.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/runloop.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/sync/mutex.h"
#include "os/value/exception.h"
#include "testsupport/files.h"
#include "testsupport/run_loop.h"
#include "tools/installer/resource_server.h"
#include "tools/installer/sample_product.h"

namespace engine_test {

namespace fs = std::filesystem;

// The address the download engine gets for Brevalo.
inline std::string brevaloArchiveAddress(const char* path = "/product/bv/Brevalo.zip") {
  return std::string("https://") + TSRHosts::kDownloadHost + path;
}

using testsupport::describeTree;
using testsupport::readFile;
using testsupport::writeFile;

// Makes a folder unchangeable while it lives: no entry can be added to it or removed from it,
// and it cannot be moved. Root ignores permission bits, so for root the folder is marked
// immutable (ext4, xfs, btrfs and recent tmpfs support it); for everyone else it loses its write
// permission. `pinned()` is false when neither works, and the test should then be skipped.
class PinnedFolder {
 public:
  explicit PinnedFolder(fs::path folder) : folder_(std::move(folder)) {
    if (geteuid() == 0) {
      pinned_ = setImmutable(true);
    } else {
      std::error_code error;
      fs::permissions(folder_, fs::perms(0555), error);
      pinned_ = !error;
    }
  }
  ~PinnedFolder() { unpin(); }
  PinnedFolder(const PinnedFolder&) = delete;
  PinnedFolder& operator=(const PinnedFolder&) = delete;

  bool pinned() const { return pinned_; }

  void unpin() {
    if (!pinned_) return;
    if (geteuid() == 0) {
      setImmutable(false);
    } else {
      std::error_code error;
      fs::permissions(folder_, fs::perms(0755), error);
    }
    pinned_ = false;
  }

 private:
  bool setImmutable(bool immutable) {
    int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
      flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
  }

  fs::path folder_;
  bool pinned_ = false;
};

// One call the engine made.
struct Call {
  std::string method;
  // The text arguments, in order.
  std::vector<std::string> texts;
  double percent = 0;
  int32_t errorNumber = 0;
  bool onMainThread = false;
  bool onGlobalQueue = false;
  std::chrono::steady_clock::time_point time;
};

// Records every call, on whatever thread it comes. The prompt answers what `promptAnswer` says
// (given the number of the prompt, from 1); the installComplete call throws `completeThrows`
// when set.
class RecordingDelegate : public TSRDownLoadProgress {
 public:
  std::function<int64_t(int prompt)> promptAnswer = [](int) { return int64_t{0}; };
  std::optional<os::Exception> completeThrows;

  void downProgressWithFileName(const std::string& fileName, double percent) override {
    Call call = make("progress", {fileName});
    call.percent = percent;
    record(std::move(call), false);
  }
  void downErrorWithFileName(const std::string& fileName, const std::string& displayError,
                             const std::string& analyticsError,
                             DownloadErrorEnum errorNumber) override {
    Call call = make("downError", {fileName, displayError, analyticsError});
    call.errorNumber = errorNumber;
    record(std::move(call), true);
  }
  void downComplete(const std::string& fileName) override {
    record(make("downComplete", {fileName}), false);
  }
  void installStart(const std::string& fileName) override {
    record(make("installStart", {fileName}), false);
  }
  void installComplete(const std::string& folder) override {
    record(make("installComplete", {folder}), !completeThrows);
    if (completeThrows) throw *completeThrows;
  }
  void installError(const std::string& name, const std::string& error,
                    DownloadErrorEnum errorNumber) override {
    Call call = make("installError", {name, error});
    call.errorNumber = errorNumber;
    record(std::move(call), true);
  }
  int64_t showPromptView(const std::string& appName, const os::Error& error) override {
    int prompt = 0;
    {
      os::MutexLock lock(mutex_);
      prompt = ++prompts_;
    }
    record(make("prompt", {appName, error.localizedDescription()}), false);
    return promptAnswer(prompt);
  }

  std::vector<Call> calls() const {
    os::MutexLock lock(mutex_);
    return calls_;
  }
  // The calls' method names, consecutive progress reports folded into one "progress".
  std::vector<std::string> sequence() const {
    std::vector<std::string> names;
    for (const Call& call : calls()) {
      if (call.method == "progress" && !names.empty() && names.back() == "progress") continue;
      names.push_back(call.method);
    }
    return names;
  }
  std::vector<Call> callsOf(const std::string& method) const {
    std::vector<Call> found;
    for (const Call& call : calls()) {
      if (call.method == method) found.push_back(call);
    }
    return found;
  }
  // The last call, which ended the engine's work.
  Call last() const {
    os::MutexLock lock(mutex_);
    return calls_.empty() ? Call() : calls_.back();
  }

  bool finished() const { return finished_.load(); }
  // Turns the main run loop until the engine's last call has come.
  bool waitUntilFinished(double seconds = testsupport::kPatience) {
    return testsupport::runUntil([this] { return finished(); }, seconds);
  }

 private:
  static Call make(std::string method, std::vector<std::string> texts) {
    Call call;
    call.method = std::move(method);
    call.texts = std::move(texts);
    call.onMainThread = os::isMainThread();
    call.onGlobalQueue = os::DispatchQueue::global()->isCurrent();
    call.time = std::chrono::steady_clock::now();
    return call;
  }
  void record(Call call, bool finishes) {
    os::MutexLock lock(mutex_);
    calls_.push_back(std::move(call));
    if (finishes) finished_ = true;
  }

  mutable os::Mutex mutex_;
  std::vector<Call> calls_ OS_GUARDED_BY(mutex_);
  int prompts_ OS_GUARDED_BY(mutex_) = 0;
  std::atomic<bool> finished_{false};
};

// An installer sandbox for product 7 whose maker's hosts lead to a local resource server, and
// whose product marks its start in marker().
class EngineTestEnvironment {
 public:
  explicit EngineTestEnvironment(tools::ResourceServer::Options options = {},
                                 InstallerTestOptions installer = {})
      : installer_(installer), server_(std::move(options)) {
    sandbox().setEnv("TESSARO_CONNECT_TO", server_.connectTo());
    sandbox().setEnv("TESSARO_CA_FILE", server_.certificatePath().string());
    sandbox().setEnv(tools::kMarkerEnvironmentVariable, marker().string());
  }

  InstallerTestEnvironment& installer() { return installer_; }
  testsupport::Sandbox& sandbox() { return installer_.sandbox(); }
  tools::ResourceServer& server() { return server_; }
  fs::path marker() { return sandbox().root() / "product-started"; }

  fs::path systemApplications() { return os::paths::systemApplications(); }
  fs::path userApplications() { return os::paths::userApplications(); }

  // A Brevalo engine for `address` with `delegate`.
  std::shared_ptr<TSRDownloadManager> engine(const std::shared_ptr<RecordingDelegate>& delegate,
                                             const std::string& address = brevaloArchiveAddress(),
                                             const std::string& bundle = "Brevalo.app") {
    return std::make_shared<TSRDownloadManager>(delegate, address, bundle, 0);
  }

 private:
  InstallerTestEnvironment installer_;
  tools::ResourceServer server_;
};

}  // namespace engine_test
