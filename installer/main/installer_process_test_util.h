// Runs the real installer executable as a child process, for the tests that drive it end to
// end: its console is read as it comes, with the time each piece arrived.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace installer::testing {

using Clock = std::chrono::steady_clock;

struct InstallerRun {
  int waitStatus = 0;
  // The most memory the installer held resident at any moment.
  size_t peakResidentBytes = 0;
  std::string output;
  // When each byte count of `output` had arrived.
  std::vector<std::pair<size_t, Clock::time_point>> arrivals;
  Clock::time_point started;
  Clock::time_point exited;

  // When the output first held `text`.
  std::optional<Clock::time_point> arrivalOf(const std::string& text) const;
};

// Called with the whole output so far each time more of it arrives, on the test's thread,
// while the installer goes on.
using OutputWatcher = std::function<void(const std::string& output)>;

// The installer's bundle in the build tree, the folder that holds Contents/MacOS/<executable>.
std::filesystem::path installerBundlePath();

// A copy of the installer's bundle in `folder` whose Info.plist names product `product`, for a
// run with TESSARO_MAIN_BUNDLE set to it; the path of the copy.
std::filesystem::path copyInstallerBundleForProduct(const std::filesystem::path& folder,
                                                    int product);

// Runs the installer built into the bundle with the current environment, standard input from
// /dev/null, until it exits.
InstallerRun runInstaller(const OutputWatcher& watcher = nullptr);

// A running installer whose console is collected on a thread of its own, for tests that act
// while it runs, such as killing it at a chosen moment:
//
//   InstallerProcess installer;                       // started with the current environment
//   installer.waitUntil([&] { return installer.output().find("ea = Launch App;") != npos; });
//   installer.kill();                                 // SIGKILL, then collected
//
// The destructor kills and collects an installer that still runs.
class InstallerProcess {
 public:
  InstallerProcess();
  ~InstallerProcess();
  InstallerProcess(const InstallerProcess&) = delete;
  InstallerProcess& operator=(const InstallerProcess&) = delete;

  // The console so far.
  std::string output() const;
  // True when the installer has ended (it is then collected).
  bool exited();
  // Checks `condition` about every millisecond until it holds (true) or the installer has ended
  // or `seconds` have passed (false).
  bool waitUntil(const std::function<bool()>& condition, double seconds = 120);
  // Ends the installer with SIGKILL and collects it; its wait status.
  int kill();
  // Waits for the installer to end by itself; its wait status.
  int wait();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Every item of a bundle with its kind and size (or a link's target): two complete copies of a
// product match, a copy with a missing or half-written file does not.
using Manifest = std::map<std::string, std::string>;
Manifest manifestOf(const std::filesystem::path& bundle);

// The tracker's actions ("ea = ...;") in the order the console shows them.
std::vector<std::string> trackedActions(const std::string& output);
// Whether the console has tracked `action` so far.
bool tracksAction(const std::string& output, const std::string& action);

}  // namespace installer::testing
