// The harness that every comparison between our code and a reference tool goes through, so
// that the ratios it prints can be trusted from one run to the next:
//
//   std::optional<bench::Harness> harness = bench::Harness::fromArguments(argc, argv, {});
//   harness->compare({
//       .path = "copy 1 GiB file",
//       .ours = {"FileHandle::transferTo", {bench::self(), "--client=copy", source, target}},
//       .reference = {"cp", {"cp", source, target}},
//       .prepare = [&] { return std::filesystem::remove(target) || true; },
//   });
//   harness->printTable();
//
// The two sides take turns (ours, theirs, theirs, ours, ...) after one untimed warm-up run each,
// so that a machine growing busier or a cache warming up hurts both alike; every side runs at
// least five times, and the table gives the median with the range for both and the ratio of the
// medians. A command runs as a child of bench_measure, which reports the child's own wall time,
// CPU time and peak resident memory (wait4's rusage), never the benchmark's. Servers that a
// comparison needs run in their own process (bench::FileServer).
//
// `./run bench` sets TESSARO_BENCH_TABLE to a file that every benchmark appends its rows to, and
// prints that file as one table at the end. Every table ends with the machine's core count and
// its load average when the harness started and when the table was printed: a ratio measured on
// a busy machine says so.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "bench/flags.h"

namespace bench {

// One side of a comparison: a command run as a child process, or work done in this process
// (timed here, without a memory figure).
struct Side {
  // Shown in the table: "ours", "bsdtar -xf".
  std::string name;
  std::vector<std::string> command = {};
  // Returns false when the run failed.
  std::function<bool()> work = {};
};

struct Comparison {
  // The table's first column: what is compared, on what ("unzip 1,700 entries to tmpfs").
  std::string path;
  Side ours;
  Side reference;
  // Runs before every run of either side, untimed: emptying a destination, for instance.
  std::function<bool()> prepare = {};
  // Adds a row comparing the peak resident memory of the two commands.
  bool memory = false;
  // Adds a row comparing the CPU time (user and system) of the two commands: where both wait on
  // the same server, the time is mostly the server's and the CPU time is what each side spent.
  bool cpu = false;
  // Skips the untimed warm-up runs (for comparisons whose single run takes long).
  bool noWarmUp = false;
  // Keeps this many cores busy (a busy loop each, in processes of their own) during every run of
  // both sides, for a row at a stated background load; the path should say so.
  unsigned busyCores = 0;
};

// The spread of one figure over the runs of one side.
struct Figures {
  double median = 0;
  double min = 0;
  double max = 0;
};

class Harness {
 public:
  // Takes the harness's own flags out of the command line, besides the caller's `flags`:
  // --runs=N (runs per side, at least 5 unless --quick) and --filter=TEXT (only comparisons whose
  // path contains TEXT run). nullopt, with a message, for an argument nobody knows.
  static std::optional<Harness> fromArguments(int argc, char** argv,
                                              std::initializer_list<NumberFlag> flags);

  // Runs one comparison and adds its rows to the table. False when a run of either side
  // failed; the table then says so in that row.
  bool compare(const Comparison& comparison);

  // Prints the rows so far as a table on standard output, and appends them to the file named by
  // TESSARO_BENCH_TABLE when that is set.
  void printTable() const;

 private:
  struct Row {
    std::string path;
    std::string ours;
    std::string reference;
    std::string ratio;
  };

  Harness(int runs, std::string filter);
  // Each row is also printed as soon as it is measured, so that a long run that is stopped
  // keeps what it measured.
  static void printRow(const Row& row);

  int runs_;
  std::string filter_;
  std::vector<Row> rows_;
  // The one-minute load average when the harness started.
  double loadBefore_;
};

// This executable's path, for running it again in a client mode.
std::string self();
// The path of the program `name` built beside this executable (bench_measure,
// bench_file_server).
std::string sibling(const std::string& name);

// The one-minute load average (/proc/loadavg); -1 when it cannot be read.
double loadAverage();

}  // namespace bench
