#include "installer/main/installer_process_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <thread>

#include "os/sync/mutex.h"
#include "os/value/plist.h"
#include "testsupport/child_process.h"
#include "testsupport/files.h"

namespace installer::testing {

std::optional<Clock::time_point> InstallerRun::arrivalOf(const std::string& text) const {
  size_t at = output.find(text);
  if (at == std::string::npos) return std::nullopt;
  for (const auto& [length, time] : arrivals) {
    if (length >= at + text.size()) return time;
  }
  return std::nullopt;
}

std::filesystem::path installerBundlePath() {
  return std::filesystem::path(INSTALLER_EXECUTABLE).parent_path().parent_path().parent_path();
}

std::filesystem::path copyInstallerBundleForProduct(const std::filesystem::path& folder,
                                                    int product) {
  const std::filesystem::path bundle = folder / installerBundlePath().filename();
  std::filesystem::copy(installerBundlePath(), bundle, std::filesystem::copy_options::recursive);
  const std::filesystem::path infoPath = bundle / "Contents/Info.plist";
  os::Value info = os::plist::parse(testsupport::readFile(infoPath)).value_or(os::Dictionary{});
  if (os::Dictionary* entries = info.asDictionary()) {
    entries->insert_or_assign("InstallProduct", product);
  }
  std::ofstream(infoPath, std::ios::trunc)
      << os::plist::serialize(info, os::plist::Format::Xml).value_or("");
  return bundle;
}

InstallerRun runInstaller(const OutputWatcher& watcher) {
  InstallerRun run;
  run.started = Clock::now();
  testsupport::Child installer({INSTALLER_EXECUTABLE}, testsupport::ChildOutput::StandardError);
  if (!installer.started()) {
    ADD_FAILURE() << "cannot start " << INSTALLER_EXECUTABLE;
    return run;
  }
  while (installer.readSome(run.output) > 0) {
    run.arrivals.emplace_back(run.output.size(), Clock::now());
    if (watcher) watcher(run.output);
  }
  const testsupport::ChildRun ended = installer.wait();
  run.waitStatus = ended.waitStatus;
  run.peakResidentBytes = ended.peakResidentBytes;
  run.exited = Clock::now();
  return run;
}

struct InstallerProcess::State {
  testsupport::Child installer{{INSTALLER_EXECUTABLE}, testsupport::ChildOutput::StandardError};
  std::optional<int> waitStatus;
  std::thread reader;
  mutable os::Mutex mutex;
  std::string output OS_GUARDED_BY(mutex);
};

InstallerProcess::InstallerProcess() : state_(std::make_unique<State>()) {
  if (!state_->installer.started()) {
    ADD_FAILURE() << "cannot start " << INSTALLER_EXECUTABLE;
    state_->waitStatus = 0;
    return;
  }
  state_->reader = std::thread([state = state_.get()] {
    std::string piece;
    while (state->installer.readSome(piece) > 0) {
      os::MutexLock lock(state->mutex);
      state->output += piece;
      piece.clear();
    }
  });
}

InstallerProcess::~InstallerProcess() {
  if (!state_->waitStatus) kill();
  if (state_->reader.joinable()) state_->reader.join();
}

std::string InstallerProcess::output() const {
  os::MutexLock lock(state_->mutex);
  return state_->output;
}

bool InstallerProcess::exited() {
  if (state_->waitStatus) return true;
  std::optional<testsupport::ChildRun> ended = state_->installer.waitIfEnded();
  if (!ended) return false;
  state_->waitStatus = ended->waitStatus;
  return true;
}

bool InstallerProcess::waitUntil(const std::function<bool()>& condition, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    if (condition()) return true;
    if (exited()) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

int InstallerProcess::kill() {
  if (!state_->waitStatus) state_->installer.signal(SIGKILL);
  return wait();
}

int InstallerProcess::wait() {
  // The reader thread takes the console.
  if (!state_->waitStatus) state_->waitStatus = state_->installer.wait(false).waitStatus;
  // The console ends with the process (children it started may hold it a little longer).
  if (state_->reader.joinable()) state_->reader.join();
  return *state_->waitStatus;
}

Manifest manifestOf(const std::filesystem::path& bundle) {
  Manifest manifest;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(bundle, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    manifest[std::filesystem::relative(it->path(), bundle).string()] =
        it->is_symlink()     ? "link " + std::filesystem::read_symlink(it->path()).string()
        : it->is_directory() ? "folder"
                             : "file " + std::to_string(it->file_size());
  }
  return manifest;
}

std::vector<std::string> trackedActions(const std::string& output) {
  std::vector<std::string> actions;
  const std::string marker = "    ea = ";
  for (size_t at = output.find(marker); at != std::string::npos; at = output.find(marker, at + 1)) {
    size_t start = at + marker.size();
    std::string value = output.substr(start, output.find(";\n", start) - start);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    actions.push_back(value);
  }
  return actions;
}

bool tracksAction(const std::string& output, const std::string& action) {
  const std::vector<std::string> actions = trackedActions(output);
  return std::find(actions.begin(), actions.end(), action) != actions.end();
}

}  // namespace installer::testing
