// Runs a reference command (cp, curl, unzip, this binary in another mode...) as a child process
// and reports what it cost, so that benchmarks compare our code against the command's own run:
//
//   std::optional<bench::ChildRun> run = bench::runChild({"cp", source, destination});
//   if (!run || !run->succeeded) return false;
//   std::printf("%.0f ms, %.2f s CPU, %ld KiB peak\n", run->seconds * 1000, run->cpuSeconds,
//               run->peakKiB);
//
// The peak memory is the kernel's count for the child, which starts from the memory of the
// process that started it (it survives exec): a caller that needs the command's own peak starts
// it with ChildStart::kFork from a small process of its own.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bench {

// What one child run cost, as its parent saw it.
struct ChildRun {
  // True when the child exited with status 0.
  bool succeeded = false;
  // The child's exit status, or -1 when a signal ended it.
  int exitStatus = -1;
  // Wall time from the spawn to the end of the wait (both included).
  double seconds = 0;
  // User plus system CPU time of the child.
  double cpuSeconds = 0;
  // Peak resident memory of the child (ru_maxrss), in KiB.
  long peakKiB = 0;
};

// How the child is started.
enum class ChildStart {
  // posix_spawnp: cheap from a large process, but the child's peak starts at this process's
  // whole peak, since it shares this process's memory until exec.
  kSpawn,
  // fork and execvp: the child's peak starts at this process's private pages only, so from a
  // small process it is the command's own. A command that cannot be executed exits with 127.
  kFork,
};

// Starts `argv` (argv[0] looked up in PATH, this process's environment) and waits for it;
// nullopt when it cannot be started.
std::optional<ChildRun> runChild(const std::vector<std::string>& argv,
                                 ChildStart start = ChildStart::kSpawn);

}  // namespace bench
