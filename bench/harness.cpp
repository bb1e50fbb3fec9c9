#include "bench/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace bench {
namespace {

constexpr int kMinimumRuns = 5;

struct RunCost {
  double seconds = 0;
  double cpuSeconds = 0;
  long peakKiB = 0;
};

// Runs `command` under bench_measure; nullopt when it cannot start or does not exit with 0.
std::optional<RunCost> runCommand(const std::vector<std::string>& command) {
  std::vector<std::string> arguments = {sibling("bench_measure"), "--"};
  arguments.insert(arguments.end(), command.begin(), command.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  int result[2];
  if (::pipe2(result, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, result[1], 3);
  pid_t child = -1;
  int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(result[1]);
  std::string report;
  char buffer[256];
  ssize_t got = 0;
  while (spawned == 0 && (got = ::read(result[0], buffer, sizeof buffer)) != 0) {
    if (got > 0) report.append(buffer, static_cast<size_t>(got));
    if (got < 0 && errno != EINTR) break;
  }
  ::close(result[0]);
  if (spawned != 0) return std::nullopt;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int exitStatus = -1;
  RunCost cost;
  if (std::sscanf(report.c_str(), "%d %lf %lf %ld", &exitStatus, &cost.seconds, &cost.cpuSeconds,
                  &cost.peakKiB) != 4 ||
      exitStatus != 0) {
    std::fprintf(stderr, "bench: %s failed (status %d)\n", command[0].c_str(), exitStatus);
    return std::nullopt;
  }
  return cost;
}

std::optional<RunCost> runSide(const Side& side) {
  if (!side.command.empty()) return runCommand(side.command);
  const auto started = std::chrono::steady_clock::now();
  if (!side.work()) return std::nullopt;
  return RunCost{
      .seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()};
}

// Busy loops in child processes, one per core asked for, for as long as this lives.
class BusyCores {
 public:
  explicit BusyCores(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      pid_t child = ::fork();
      if (child == 0) {
        volatile uint64_t spin = 0;
        while (true) spin = spin + 1;
      }
      if (child > 0) children_.push_back(child);
    }
  }
  ~BusyCores() {
    for (pid_t child : children_) ::kill(child, SIGKILL);
    for (pid_t child : children_) {
      while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
  BusyCores(const BusyCores&) = delete;
  BusyCores& operator=(const BusyCores&) = delete;

 private:
  std::vector<pid_t> children_;
};

Figures spread(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  double median = values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
  return {median, values.front(), values.back()};
}

std::string describeTime(const Figures& figures) {
  auto text = [](double seconds) {
    char buffer[32];
    if (seconds >= 1) {
      std::snprintf(buffer, sizeof buffer, "%.2f s", seconds);
    } else if (seconds >= 1e-3) {
      std::snprintf(buffer, sizeof buffer, "%.1f ms", seconds * 1e3);
    } else {
      std::snprintf(buffer, sizeof buffer, "%.1f us", seconds * 1e6);
    }
    return std::string(buffer);
  };
  return text(figures.median) + " [" + text(figures.min) + " - " + text(figures.max) + "]";
}

std::string describeMemory(const Figures& figures) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.1f MiB [%.1f - %.1f]", figures.median / 1024,
                figures.min / 1024, figures.max / 1024);
  return buffer;
}

std::string describeRatio(double reference, double ours) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2fx", ours > 0 ? reference / ours : 0);
  return buffer;
}

}  // namespace

std::optional<Harness> Harness::fromArguments(int argc, char** argv,
                                              std::initializer_list<NumberFlag> flags) {
  uint64_t runs = kMinimumRuns;
  std::vector<char*> rest;
  if (!takeNumberFlags(argc, argv, flags, &rest)) return std::nullopt;
  std::vector<char*> unknown;
  std::string filter;
  bool quick = false;
  for (size_t i = 1; i < rest.size(); ++i) {
    const std::string argument = rest[i];
    if (argument.rfind("--runs=", 0) == 0) {
      runs = std::strtoull(argument.c_str() + 7, nullptr, 10);
    } else if (argument.rfind("--filter=", 0) == 0) {
      filter = argument.substr(9);
    } else if (argument == "--quick") {
      quick = true;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", argument.c_str());
      return std::nullopt;
    }
  }
  if (runs < 1 || (runs < kMinimumRuns && !quick)) {
    std::fprintf(stderr, "--runs must be at least %d (or add --quick for a rough look)\n",
                 kMinimumRuns);
    return std::nullopt;
  }
  return Harness(static_cast<int>(runs), filter);
}

Harness::Harness(int runs, std::string filter)
    : runs_(runs), filter_(std::move(filter)), loadBefore_(loadAverage()) {}

bool Harness::compare(const Comparison& comparison) {
  if (!filter_.empty() && comparison.path.find(filter_) == std::string::npos) return true;
  std::fprintf(stderr, "bench: %s ...\n", comparison.path.c_str());
  const Side* sides[2] = {&comparison.ours, &comparison.reference};
  std::vector<double> seconds[2];
  std::vector<double> cpuSeconds[2];
  std::vector<double> peaks[2];
  bool failed = false;
  BusyCores busy(comparison.busyCores);
  // Warm-up, then ours-theirs, theirs-ours, ...: each side as often first as second.
  for (int round = comparison.noWarmUp ? 0 : -1; round < runs_ && !failed; ++round) {
    for (int turn = 0; turn < 2 && !failed; ++turn) {
      int side = round < 0 ? turn : (round + turn) % 2;
      if (comparison.prepare && !comparison.prepare()) {
        std::fprintf(stderr, "bench: preparing %s failed\n", comparison.path.c_str());
        failed = true;
        break;
      }
      std::optional<RunCost> cost = runSide(*sides[side]);
      if (!cost) {
        failed = true;
      } else if (round >= 0) {
        seconds[side].push_back(cost->seconds);
        cpuSeconds[side].push_back(cost->cpuSeconds);
        peaks[side].push_back(double(cost->peakKiB));
      }
    }
  }
  auto name = [](const Side& side, const std::string& figure) { return side.name + ": " + figure; };
  if (failed) {
    rows_.push_back({comparison.path, "failed", comparison.reference.name, "-"});
    printRow(rows_.back());
    return false;
  }
  const size_t firstRow = rows_.size();
  auto addRow = [&](const std::string& figure, const std::vector<double>* values,
                    std::string (*describe)(const Figures&)) {
    Figures spreads[2] = {spread(values[0]), spread(values[1])};
    rows_.push_back({comparison.path + ", " + figure, name(comparison.ours, describe(spreads[0])),
                     name(comparison.reference, describe(spreads[1])),
                     describeRatio(spreads[1].median, spreads[0].median)});
  };
  addRow("time", seconds, describeTime);
  if (comparison.cpu) addRow("CPU time", cpuSeconds, describeTime);
  if (comparison.memory) addRow("peak memory", peaks, describeMemory);
  for (size_t row = firstRow; row < rows_.size(); ++row) printRow(rows_[row]);
  return true;
}

void Harness::printRow(const Row& row) {
  std::printf("%s | %s | %s | %s\n", row.path.c_str(), row.ours.c_str(), row.reference.c_str(),
              row.ratio.c_str());
  std::fflush(stdout);
}

void Harness::printTable() const {
  size_t widths[3] = {4, 4, 9};
  for (const Row& row : rows_) {
    widths[0] = std::max(widths[0], row.path.size());
    widths[1] = std::max(widths[1], row.ours.size());
    widths[2] = std::max(widths[2], row.reference.size());
  }
  std::printf(
      "\n%d runs per side, alternating; median [min - max]; ratio = reference / ours "
      "(above 1: ours is faster or smaller)\n",
      runs_);
  std::printf("%-*s | %-*s | %-*s | ratio\n", int(widths[0]), "path", int(widths[1]), "ours",
              int(widths[2]), "reference");
  for (const Row& row : rows_) {
    std::printf("%-*s | %-*s | %-*s | %s\n", int(widths[0]), row.path.c_str(), int(widths[1]),
                row.ours.c_str(), int(widths[2]), row.reference.c_str(), row.ratio.c_str());
  }
  char machine[128];
  std::snprintf(machine, sizeof machine, "%u cores, load %.2f before and %.2f after",
                std::thread::hardware_concurrency(), loadBefore_, loadAverage());
  std::printf("%s\n", machine);
  std::fflush(stdout);
  if (const char* table = std::getenv("TESSARO_BENCH_TABLE"); table != nullptr && *table) {
    std::ofstream out(table, std::ios::app);
    for (const Row& row : rows_) {
      out << row.path << '\t' << row.ours << '\t' << row.reference << '\t' << row.ratio << '\n';
    }
    if (!rows_.empty()) {
      out << "(" << std::filesystem::path(self()).filename().string() << ": " << machine
          << ")\t\t\t\n";
    }
  }
}

double loadAverage() {
  double load = -1;
  if (FILE* file = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(file, "%lf", &load) != 1) load = -1;
    std::fclose(file);
  }
  return load;
}

std::string self() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

std::string sibling(const std::string& name) {
  return (std::filesystem::path(self()).parent_path() / name).string();
}

}  // namespace bench
