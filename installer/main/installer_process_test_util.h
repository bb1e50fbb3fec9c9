// Runs the real installer executable as a child process, for the tests that drive it end to
// end: its console is read as it comes, with the time each piece arrived.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace installer::testing {

using Clock = std::chrono::steady_clock;

struct InstallerRun {
  int waitStatus = 0;
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

// Runs the installer built into the bundle with the current environment, standard input from
// /dev/null, until it exits.
InstallerRun runInstaller(const OutputWatcher& watcher = nullptr);

// The tracker's actions ("ea = ...;") in the order the console shows them.
std::vector<std::string> trackedActions(const std::string& output);

}  // namespace installer::testing
