#include "bench/child_process.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace bench {

std::optional<ChildRun> runChild(const std::vector<std::string>& argv, ChildStart start) {
  if (argv.empty()) return std::nullopt;
  std::vector<char*> pointers;
  for (const std::string& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
  pointers.push_back(nullptr);
  const auto started = std::chrono::steady_clock::now();
  pid_t child = -1;
  if (start == ChildStart::kFork) {
    child = fork();
    if (child == 0) {
      execvp(pointers[0], pointers.data());
      _exit(127);
    }
    if (child < 0) return std::nullopt;
  } else if (posix_spawnp(&child, pointers[0], nullptr, nullptr, pointers.data(), environ) != 0) {
    return std::nullopt;
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  ChildRun run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.peakKiB = usage.ru_maxrss;
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.succeeded = run.exitStatus == 0;
  return run;
}

}  // namespace bench
